#pragma once
// The fuzzers' input as received lines: split at LF, the LFs dropped, a last
// line without one kept.
#include <string_view>
#include <vector>

#include "platform/AnsiString.h"

inline std::vector<AnsiString> FuzzLines(std::string_view bytes) {
    std::vector<AnsiString> lines;
    for (std::size_t start = 0; start <= bytes.size();) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) end = bytes.size();
        lines.emplace_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
