#pragma once
// The user's locale as the mail header code sees it: a primary and a secondary
// language number, as Windows language identifiers count them.

// Primary language numbers the header charset table distinguishes.
constexpr int LANG_CHINESE = 4;
constexpr int LANG_JAPANESE = 17;
constexpr int LANG_KOREAN = 18;
constexpr int LANG_ENGLISH = 9;
// Secondary numbers of Chinese.
constexpr int SUBLANG_CHINESE_TRADITIONAL = 1;
constexpr int SUBLANG_CHINESE_SIMPLIFIED = 2;

struct TUserLocale {
    int PrimaryLanguage = 0;
    int SubLanguage = 0;
};

// The program's texts are code page 936 bytes whatever the environment says, so
// the locale that matches them is Chinese (PRC); reporting anything else would
// label GBK bytes with a charset they are not in.
TUserLocale UserDefaultLocale();
