#include "app/GridLayout.h"

#include <charconv>
#include <cstdint>

#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/SettingsAccessor.h"

namespace {
const char* const Section = "task";
}

int IniInteger(const AnsiString& value, int defaultValue) {
    std::string_view text = Trim(value);
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return defaultValue;
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (error != std::errc() || end != text.data() + text.size())
        return defaultValue;
    // Hexadecimal spells the 32 bits (0xFFFFFFFF is -1); decimal must fit.
    if (base == 16 && !negative && magnitude <= 0xFFFFFFFFull)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(magnitude));
    const std::int64_t signedValue = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    if (magnitude > 0x80000000ull || signedValue > INT32_MAX || signedValue < INT32_MIN)
        return defaultValue;
    return static_cast<int>(signedValue);
}

std::optional<std::vector<int>> ReadGridLayout(const std::string& iniPath, int columnCount) {
    if (!FileExists(iniPath))
        return std::nullopt;
    std::vector<int> widths;
    for (int column = 0; column < columnCount; ++column) {
        const AnsiString value = GetPrivateProfileString(Section, std::to_string(column), "", iniPath);
        widths.push_back(IniInteger(value, DefaultGridColumnWidth));
    }
    return widths;
}

void WriteGridLayout(const std::string& iniPath, const std::vector<int>& widths) {
    TSettingsAccessor accessor;
    accessor.Path = iniPath;
    for (std::size_t column = 0; column < widths.size(); ++column)
        accessor.WriteString(Section, std::to_string(column), std::to_string(widths[column]));
}
