// libFuzzer target over the reply grouping: any received lines must group into
// replies or fail with a protocol error, never crash or grow past the bound.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzLines.h"
#include "mail/IdReply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<AnsiString> lines = FuzzLines(std::string_view(reinterpret_cast<const char*>(data), size));
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
