#include "platform/Locale.h"

TUserLocale UserDefaultLocale() { return {LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED}; }
