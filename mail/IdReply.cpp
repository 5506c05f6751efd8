#include "mail/IdReply.h"

#include <charconv>

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
