#pragma once
// The accessor of a settings file: points at one INI file and reads or writes
// one value at a time. Without a path it falls back to the file named like the
// executable with ".ini" in the executable's folder, as the profile functions do.
#include <string>

#include "platform/AnsiString.h"

class TSettingsAccessor {
public:
    std::string Path; // empty: <executable folder>/<executable name>.ini

    std::string EffectivePath() const;
    AnsiString ReadString(const AnsiString& section, const AnsiString& key, const AnsiString& defaultValue) const;
    // Raises EIniFileException "Unable to write to <path>" when the file cannot be
    // written, with the reason added for an entry that would not read back. A new
    // file is created 0600; an existing one that others can read is made 0600
    // first (said once on standard error).
    void WriteString(const AnsiString& section, const AnsiString& key, const AnsiString& value) const;
};
