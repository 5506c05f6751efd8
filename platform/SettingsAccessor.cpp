#include "platform/SettingsAccessor.h"

#include <sys/stat.h>

#include <iostream>
#include <mutex>
#include <set>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/IniFile.h"

namespace {

// The settings file holds the SMTP password, whose cipher only hides it from a
// glance: the file's mode is what keeps other users out. A file others can read
// is made private before anything is written into it, and the user told once.
void MakePrivate(const std::string& path) {
    const std::string target = ResolveLinks(path);
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) == 0) return;
    if (::chmod(target.c_str(), 0600) != 0) return; // the write then says what is wrong
    static std::mutex mutex;
    static std::set<std::string> told;
    std::lock_guard lock(mutex);
    if (told.insert(target).second)
        std::cerr << "quorvel: " << target << " could be read by other users; its mode is now 0600, as it holds "
                  << "the mail password\n";
}

} // namespace

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
    if (const std::string fault = ProfileEntryFault(section, key, value); !fault.empty())
        throw EIniFileException(
            Format("Unable to write to %s: %s", Utf8ToAnsiLenient(path).c_str(), Utf8ToAnsiLenient(fault).c_str()));
    MakePrivate(path);
    if (!WritePrivateProfileString(section, key, value, path))
        throw EIniFileException(Format("Unable to write to %s", Utf8ToAnsiLenient(path).c_str()));
}
