#pragma once
// The task grid's column widths in section "task" of config.ini: key "0",
// "1", ... (the column's position), value the width in pixels.
#include <optional>
#include <string>
#include <vector>

#include "platform/AnsiString.h"

// The default of a key that is missing or not a number.
constexpr int DefaultGridColumnWidth = 150;

// An INI integer: decimal, or hexadecimal after "0x"/"0X"; anything else
// (or a value outside 32 bits) gives `defaultValue`.
int IniInteger(const AnsiString& value, int defaultValue);

// The widths of `columnCount` columns; nothing when the file does not exist
// (the columns keep their design widths).
std::optional<std::vector<int>> ReadGridLayout(const std::string& iniPath, int columnCount);

// Writes every width; raises EIniFileException "Unable to write to %s".
void WriteGridLayout(const std::string& iniPath, const std::vector<int>& widths);
