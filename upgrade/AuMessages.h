#pragma once
// The message table of the auto-upgrade windows and boxes: 33 texts per
// language block, resource numbers 41000 + 50 x (n - 1) + m, plus 40997-40999.
// The block is chosen once per process from the user's locale.
#include <string>

#include "platform/AnsiString.h"

enum TauAutoUpgraderLanguage {
    wlAuto, wlEnglish, wlRussian, wlGerman, wlFrench, wlSpanish, wlPortuguese, wlPortugueseBrazilian,
    wlItalian, wlDutch, wlDanish, wlSwedish, wlFinnish, wlEstonian, wlUkrainian, wlCzech, wlHungarian,
    wlRomanian, wlCatalan, wlBasque, wlAfrikaans, wlChineseTraditional, wlChineseSimplified, wlIndonesian,
    wlMalay, wlIcelandic
};

constexpr int auMessageCount = 33;
constexpr int auFirstBlock = 41000;
constexpr int auBlockSize = 50;
constexpr int auAppTitleResource = 40997;     // "<AppTitle>"
constexpr int auDefaultTitleResource = 40998; // marks a default application title
constexpr int auNameResource = 40999;         // "AutoUpgrader"

// The language a locale name (as in LANG: "zh_CN.UTF-8", "pt_BR", "de") selects;
// English for names outside the table, "C" and "POSIX".
TauAutoUpgraderLanguage LanguageFromLocaleName(std::string_view locale);
// The locale the user's messages follow: LC_ALL, else LC_MESSAGES, else LANG.
std::string MessageLocaleName();

// Chooses the block (wlAuto: from MessageLocaleName()) for every component of the process.
void SetUpgraderLanguage(TauAutoUpgraderLanguage language);
TauAutoUpgraderLanguage UpgraderLanguage(); // the language of the chosen block
int UpgraderBlockStart();

// A string resource by number, code page 936: English where the block has no
// translation; "" for a number outside the table.
AnsiString LoadUpgraderString(int resource);
// Message m (0 to 32) of the chosen block.
AnsiString auMessage(int m);
