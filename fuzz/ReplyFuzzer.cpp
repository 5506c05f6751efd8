// libFuzzer target over the reply grouping: any received lines must group into
// replies or fail with a protocol error, never crash or grow past the bound.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/IdReply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<AnsiString> lines;
    for (std::size_t start = 0; start <= bytes.size();) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) end = bytes.size();
        lines.emplace_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    try {
        for (const std::vector<AnsiString>& reply : GroupReplies(lines)) {
            if (reply.empty() || reply.size() > TIdReplyLines::MaxLines) __builtin_trap();
            TIdRFCReply parsed;
            parsed.ParseReply(reply);
            // Every line taken is a reply line, so its code is a number.
            if (parsed.TextCode.size() != 3 || parsed.NumericCode < 0 || parsed.NumericCode > 999) __builtin_trap();
            if (parsed.Text.size() != reply.size()) __builtin_trap();
        }
    } catch (const EIdProtocolReplyError& e) {
        if (e.ReplyCode != 0 || e.Message.empty()) __builtin_trap();
    }
    return 0;
}
