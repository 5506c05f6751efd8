#include "platform/VersionInfo.h"

#include <string>

AnsiString GetVersionText() {
    return "V" + std::to_string(QUORVEL_VERSION_MAJOR) + "." + std::to_string(QUORVEL_VERSION_MINOR) + "." +
           std::to_string(QUORVEL_VERSION_PATCH) + "." + std::to_string(QUORVEL_VERSION_TWEAK);
}
