#include "upgrade/AuMessages.h"

#include <atomic>
#include <cstdlib>

namespace {

// UTF-8 here; converted to code page 936 when looked up.
const char* const English[auMessageCount] = {
    "Application update wizard",
    "Downloading files...",
    "Upgrade completed!",
    "Current file",
    "All files",
    "Downloading file from",
    "File size: %.1f Kb",
    "Transfer rate: %.1f Kb/s",
    "Estimated time left: %d:%.2d:%.2d",
    "Downloading %d of %d",
    "The update of %s has been successfully completed.\r\rPress the OK button to restart program.",
    "Enter password",
    "User Name",
    "Password",
    "&Yes",
    "&No",
    "&OK",
    "&Cancel",
    "&Next >",
    "&Later",
    "Warning",
    "Error",
    "Preparing. . .",
    "A newer version of %s was released.\n%s\nDo you want to update your version with the latest one?",
    "Newer version not found. You actually are\rusing most recent version of this program.",
    "File which contains upgrade information was not found on developer's site.",
    "Host %s unreachable.\r\rPlease check your Internet connection and\rtry to upgrade this software again later.",
    "The update is not completed.\rWould you like to abort upgrading?",
    "File %s not found or inaccessible.\r\rTry to skip this file and continue upgrade?",
    "Access to remote file \"%s\" is password protected.\n\nPlease enter your username and password (received after "
    "registration) to continue software upgrade.",
    "Connection with remote server lost.\r\rPlease restore connection and try to\rupgrade this software again later.",
    "File %s is damaged (checksum mismatch).\r\rThe upgrade was cancelled.",
    "The upgrade could not be completed: %s",
};

const char* const ChineseSimplified[auMessageCount] = {
    "软件升级",
    "文档下载中",
    "升级完成！",
    "当前的文档",
    "全部的文档",
    "文档下载源",
    "文档大小:%.1f Kb",
    "传输速率:%.1f Kb/s",
    "估计剩余时间: %d:%.2d:%.2d",
    "当前正在下载:%d of %d",
    "%s 已经升级完成，\r\r请按[确定]键重新启动程序",
    "请输入密码",
    "帐号",
    "密码",
    "是 (&Y)",
    "否 (&N)",
    "确定(&O)",
    "取消(&C)",
    "下一个>(&N)",
    "稍等一下(&L)",
    "警告",
    "错误",
    "准备中",
    "  %s已经有新版本推出，\n%s\n您要升级到新版本吗？",
    "没有发现新的版本，您目前已经是最新版本。",
    "在服务器中无法找到升级的相关信息。",
    "无法与服务器%s连接。\r\r请检查您的internet设定之后再进行升级操作。",
    "升级操作尚未完成，\r您确定要放弃升级吗？",
    "文档%s找不到或者发生错误，\r\r您要忽略这个文档并且继续升级操作吗？",
    "远端的文档\"%s\"被密码保护，\n\n请输入您的帐号及密码[注册用户]来继续进行升级操作。",
    "与远端服务器的连接中断，\r\r请重新连接后再进行升级操作。",
    "文档%s校验失败，\r\r升级操作已取消。",
    "升级操作无法完成：%s",
};

// Traditional Chinese: only the title is translated so far.
const char* const ChineseTraditional[auMessageCount] = {"軟體升級精靈"};

struct TLanguageName {
    const char* Code; // ISO 639-1
    TauAutoUpgraderLanguage Language;
};

const TLanguageName LanguageNames[] = {
    {"en", wlEnglish}, {"ru", wlRussian},   {"de", wlGerman},    {"fr", wlFrench},   {"es", wlSpanish},
    {"it", wlItalian}, {"nl", wlDutch},     {"da", wlDanish},    {"sv", wlSwedish},  {"fi", wlFinnish},
    {"et", wlEstonian}, {"uk", wlUkrainian}, {"cs", wlCzech},    {"hu", wlHungarian}, {"ro", wlRomanian},
    {"ca", wlCatalan}, {"eu", wlBasque},    {"af", wlAfrikaans}, {"id", wlIndonesian}, {"ms", wlMalay},
    {"is", wlIcelandic},
};

std::atomic<int> chosenLanguage{wlEnglish};

const char* Translation(TauAutoUpgraderLanguage language, int m) {
    switch (language) {
    case wlChineseSimplified: return ChineseSimplified[m];
    case wlChineseTraditional: return ChineseTraditional[m];
    default: return nullptr;
    }
}

} // namespace

TauAutoUpgraderLanguage LanguageFromLocaleName(std::string_view locale) {
    // "ll_TT.codeset@modifier": language, then territory.
    const std::size_t end = locale.find_first_of(".@");
    const std::string_view name = locale.substr(0, end);
    const std::size_t underscore = name.find('_');
    const std::string_view language = name.substr(0, underscore);
    const std::string_view territory = underscore == std::string_view::npos ? std::string_view() : name.substr(underscore + 1);
    if (language == "zh") return (territory == "CN" || territory == "SG") ? wlChineseSimplified : wlChineseTraditional;
    if (language == "pt") return territory == "BR" ? wlPortugueseBrazilian : wlPortuguese;
    for (const TLanguageName& entry : LanguageNames)
        if (language == entry.Code) return entry.Language;
    return wlEnglish;
}

std::string MessageLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) return value;
    }
    return "C";
}

void SetUpgraderLanguage(TauAutoUpgraderLanguage language) {
    if (language == wlAuto) language = LanguageFromLocaleName(MessageLocaleName());
    if (language < wlEnglish || language > wlIcelandic) language = wlEnglish;
    chosenLanguage = language;
}

TauAutoUpgraderLanguage UpgraderLanguage() {
    return static_cast<TauAutoUpgraderLanguage>(chosenLanguage.load());
}

int UpgraderBlockStart() {
    return auFirstBlock + auBlockSize * (chosenLanguage.load() - 1);
}

AnsiString LoadUpgraderString(int resource) {
    switch (resource) {
    case auAppTitleResource: return "<AppTitle>";
    case auDefaultTitleResource: return "Project"; // the title a project carries until it is given its own
    case auNameResource: return "AutoUpgrader";
    default: break;
    }
    const int offset = resource - auFirstBlock;
    if (offset < 0) return {};
    const int block = offset / auBlockSize + 1;
    const int m = offset % auBlockSize;
    if (block > wlIcelandic || m >= auMessageCount) return {};
    const char* text = Translation(static_cast<TauAutoUpgraderLanguage>(block), m);
    return Utf8ToAnsi(text ? text : English[m]);
}

AnsiString auMessage(int m) {
    return LoadUpgraderString(UpgraderBlockStart() + m);
}
