#include "mail/IdReply.h"

#include <charconv>
#include <cstdio>

#include "platform/Exception.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Three digits, then the end, a blank or a "-".
bool IsReplyLine(std::string_view line) {
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return false;
    return line.size() == 3 || line[3] == ' ' || line[3] == '-';
}

} // namespace

void TIdRFCReply::Clear() {
    NumericCode = 0;
    TextCode.clear();
    Text.clear();
}

void TIdRFCReply::ParseReply(const std::vector<AnsiString>& lines) {
    Clear();
    if (lines.empty()) return;
    AnsiString code(Trim(std::string_view(lines.front()).substr(0, 4)));
    if (code.size() == 4 && code[3] == '-') code.resize(3);
    TextCode = code;
    if (!TextCode.empty()) {
        int value = 0;
        const char* end = TextCode.data() + TextCode.size();
        auto [ptr, ec] = std::from_chars(TextCode.data(), end, value);
        // Only a whole decimal number counts; "2xx" and the like give 0.
        NumericCode = (ec == std::errc() && ptr == end) ? value : 0;
    }
    for (const AnsiString& line : lines) Text.push_back(line.size() > 4 ? line.substr(4) : AnsiString());
}

AnsiString TIdRFCReply::TextWithLineBreaks() const {
    AnsiString message;
    for (const AnsiString& line : Text) message += line + "\r\n";
    return message;
}

bool TIdReplyLines::Add(std::string_view line) {
    if (FComplete) throw Exception("A complete reply takes no further lines");
    ++FLinesSeen;
    FBytesSeen += line.size();
    if (FLinesSeen > MaxLines)
        throw EIdReplyTooLong(Format("Reply has more than %zu lines", MaxLines));
    if (FBytesSeen > MaxBytes)
        throw EIdReplyTooLong(Format("Reply has more than %zu bytes", MaxBytes));
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty()) return false;
    if (!IsReplyLine(trimmed))
        throw EIdInvalidReplyLine("Malformed reply line " + QuotedForMessage(trimmed));
    FLines.emplace_back(trimmed);
    if (FLines.size() == 1) {
        if (trimmed.size() > 3 && trimmed[3] == '-') {
            FEndMark = AnsiString(trimmed.substr(0, 3)) + " ";
            return false;
        }
        return FComplete = true;
    }
    FComplete = trimmed.size() < 4 || trimmed.substr(0, 4) == FEndMark;
    return FComplete;
}

std::vector<std::vector<AnsiString>> GroupReplies(const std::vector<AnsiString>& lines) {
    std::vector<std::vector<AnsiString>> replies;
    TIdReplyLines reply;
    for (const AnsiString& line : lines) {
        if (!reply.Add(line)) continue;
        replies.push_back(reply.Lines());
        reply = TIdReplyLines();
    }
    if (!reply.Lines().empty()) replies.push_back(reply.Lines());
    return replies;
}

AnsiString QuotedForMessage(std::string_view text, std::size_t maxBytes) {
    AnsiString out = "\"";
    const std::size_t shown = text.size() > maxBytes ? maxBytes : text.size();
    for (std::size_t i = 0; i < shown; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '"' || c == '\\') (out += '\\') += static_cast<char>(c);
        else if (c < 0x20 || c == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    if (shown < text.size()) out += "...";
    return out;
}
