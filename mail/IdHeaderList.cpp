#include "mail/IdHeaderList.h"

namespace {

bool IsContinuation(const AnsiString& line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

bool IsFoldBreak(char c) { return c == ' ' || c == '\t' || c == ','; }

AnsiString TrimRight(std::string_view s) {
    std::size_t e = s.size();
    while (e > 0 && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return AnsiString(s.substr(0, e));
}

} // namespace

int TIdHeaderList::IndexOfName(std::string_view name) const {
    for (std::size_t i = 0; i < FLines.size(); ++i) {
        const std::string_view line = FLines[i];
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && SameText(line.substr(0, colon), name)) return static_cast<int>(i);
    }
    return -1;
}

AnsiString TIdHeaderList::Values(std::string_view name) const {
    const int at = IndexOfName(name);
    if (at < 0) return {};
    const AnsiString& first = FLines[static_cast<std::size_t>(at)];
    AnsiString value(Trim(std::string_view(first).substr(first.find(':') + 1)));
    for (std::size_t i = static_cast<std::size_t>(at) + 1; i < FLines.size() && IsContinuation(FLines[i]); ++i)
        value += FLines[i];
    return value;
}

void TIdHeaderList::SetHeader(std::string_view name, std::string_view value) {
    int found = IndexOfName(name);
    auto removeContinuations = [this](std::size_t at) {
        std::size_t end = at + 1;
        while (end < FLines.size() && IsContinuation(FLines[end])) ++end;
        FLines.erase(FLines.begin() + static_cast<std::ptrdiff_t>(at) + 1, FLines.begin() + static_cast<std::ptrdiff_t>(end));
    };
    if (value.empty()) {
        if (found >= 0) {
            removeContinuations(static_cast<std::size_t>(found));
            FLines.erase(FLines.begin() + found);
        }
        return;
    }
    if (found < 0) {
        FLines.emplace_back();
        found = static_cast<int>(FLines.size()) - 1;
    }
    const std::size_t at = static_cast<std::size_t>(found);
    removeContinuations(at);

    AnsiString field(name);
    field += ": ";
    field += value;
    const AnsiString folded = FoldText(field);

    std::vector<AnsiString> pieces;
    std::size_t start = 0;
    while (start <= folded.size()) {
        std::size_t end = folded.find("\r\n", start);
        if (end == AnsiString::npos) end = folded.size();
        AnsiString piece = TrimRight(std::string_view(folded).substr(start, end - start));
        // Line ends inside a value must not start a field the caller never set (or
        // end the header block): a bare CR or LF becomes a space, and a piece that
        // would begin a new field is made a continuation line.
        for (char& c : piece)
            if (c == '\r' || c == '\n') c = ' ';
        if (!pieces.empty() && !piece.empty() && !IsContinuation(piece)) piece.insert(0, 1, ' ');
        if (!piece.empty()) pieces.push_back(std::move(piece));
        start = end + 2;
    }
    FLines.erase(FLines.begin() + static_cast<std::ptrdiff_t>(at));
    FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(at), pieces.begin(), pieces.end());
}

AnsiString FoldText(std::string_view line) {
    // Positions count from 1 as in the folding rules; s(i) is the byte at i.
    const std::size_t length = line.size();
    auto s = [line](std::size_t i) { return line[i - 1]; };
    std::size_t column = 1, position = 1, lineStart = 1, breakPosition = 0;
    bool quoting = false, existingBreak = false;
    AnsiString result;

    while (position <= length) {
        const char c = s(position);
        if (IsLeadByte(c)) {
            ++position;
            ++column;
        } else if (c == '\r' && !quoting) {
            existingBreak = position + 2 <= length && s(position + 1) == '\n' && s(position + 2) == ' ';
            if (existingBreak) {
                position += 2;
                breakPosition = position;
            }
        } else if (IsFoldBreak(c) && !quoting) {
            breakPosition = position;
        } else if (c == '"') {
            quoting = !quoting;
        }
        ++position;
        ++column;

        if (!quoting && (existingBreak || (column > TIdHeaderList::FoldWidth && breakPosition > lineStart))) {
            column = position - breakPosition;
            result.append(line.substr(lineStart - 1, breakPosition - lineStart + 1));
            if (c != '"') {
                while (position <= length) {
                    const char n = s(position);
                    if (!IsFoldBreak(n) && n != '\r' && n != '\n') break;
                    ++position;
                }
            }
            if (!existingBreak && position < length) result += "\r\n ";
            ++breakPosition;
            lineStart = breakPosition;
            existingBreak = false;
        }
    }
    if (lineStart <= length) result.append(line.substr(lineStart - 1));
    return result;
}
