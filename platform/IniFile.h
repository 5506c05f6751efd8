#pragma once
// The private-profile functions as Windows gives them to the program: one value
// of an INI file read or written at a time, bytes passed through unconverted.
#include <string>

#include "platform/AnsiString.h"

// Longest value a read returns; longer values read as their first bytes.
constexpr std::size_t MaxProfileValue = 2047;

// Section and key are matched without regard to case and surrounding blanks;
// a value in matching double or single quotes loses them. A missing file,
// section or key reads as `defaultValue`.
AnsiString GetPrivateProfileString(const AnsiString& section, const AnsiString& key,
                                   const AnsiString& defaultValue, const std::string& path);

// Why an entry could not be read back as written, empty when it can: a line
// break (or NUL) anywhere, "]" in a section name, "=" in a key, a key starting
// with ";" or "[" (read as a comment or a section).
std::string ProfileEntryFault(const AnsiString& section, const AnsiString& key, const AnsiString& value);

// Replaces the key's value in place, or appends the key at the end of its
// section, or appends the section (creating the file if needed); every other
// line stays byte for byte. Returns false when the file cannot be written, or
// (errno EINVAL) when the entry has a fault that ProfileEntryFault names.
bool WritePrivateProfileString(const AnsiString& section, const AnsiString& key, const AnsiString& value,
                               const std::string& path);
