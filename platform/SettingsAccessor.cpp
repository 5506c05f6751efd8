#include "platform/SettingsAccessor.h"

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/IniFile.h"

std::string TSettingsAccessor::EffectivePath() const {
    if (!Path.empty()) return Path;
    return ExeFolder() + ExeName() + ".ini";
}

AnsiString TSettingsAccessor::ReadString(const AnsiString& section, const AnsiString& key,
                                         const AnsiString& defaultValue) const {
    return GetPrivateProfileString(section, key, defaultValue, EffectivePath());
}

void TSettingsAccessor::WriteString(const AnsiString& section, const AnsiString& key,
                                    const AnsiString& value) const {
    std::string path = EffectivePath();
    if (!WritePrivateProfileString(section, key, value, path))
        throw EIniFileException(Format("Unable to write to %s", Utf8ToAnsiLenient(path).c_str()));
}
