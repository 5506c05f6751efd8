// libFuzzer target over the EHLO keyword reader: any reply text yields login
// methods, STARTTLS and SIZE that agree with each other, never a crash; and a
// SIZE line with a number always gives back that number.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/FuzzLines.h"
#include "mail/IdReply.h"
#include "mail/IdSMTP.h"

namespace {

void CheckExtensions(const std::vector<AnsiString>& text) {
    const TSmtpExtensions extensions = TIdSMTP::ParseExtensions(text);
    if (extensions.AuthSchemes != TIdSMTP::ParseAuthSchemes(text)) __builtin_trap();
    for (std::size_t i = 0; i < extensions.AuthSchemes.size(); ++i) {
        const AnsiString& scheme = extensions.AuthSchemes[i];
        // One word, upper case, each once: AUTH compares methods by equality.
        // Upper case in code page 936: the second byte of a double-byte
        // character may be a lower-case letter and stays as it is.
        if (scheme.find_first_of(" =") != AnsiString::npos) __builtin_trap();
        for (std::size_t k = 0; k < scheme.size(); ++k) {
            const unsigned char c = static_cast<unsigned char>(scheme[k]);
            if (c >= 0x81 && c <= 0xFE) ++k; // a lead byte and its trail
            else if (c >= 'a' && c <= 'z') __builtin_trap();
        }
        for (std::size_t j = 0; j < i; ++j)
            if (extensions.AuthSchemes[j] == scheme) __builtin_trap();
    }
    if (!extensions.Size && extensions.MaxMessageSize != 0) __builtin_trap();
    // A limit must come from digits the server sent.
    if (extensions.MaxMessageSize != 0) {
        const std::string digits = std::to_string(extensions.MaxMessageSize);
        bool seen = false;
        for (std::size_t i = 1; i < text.size() && !seen; ++i) seen = text[i].find(digits) != AnsiString::npos;
        if (!seen) __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<AnsiString> lines = FuzzLines(bytes);
    CheckExtensions(lines);
    // The way the client meets them: reply lines grouped and their codes taken off.
    try {
        for (const std::vector<AnsiString>& reply : GroupReplies(lines)) {
            TIdRFCReply parsed;
            parsed.ParseReply(reply);
            CheckExtensions(parsed.Text);
        }
    } catch (const EIdProtocolReplyError&) {
        // Not a reply; the reader is never reached with it.
    }
    if (size >= 8) {
        std::uint64_t value = 0;
        std::memcpy(&value, data, sizeof value);
        std::uint64_t limit = 1;
        if (!TIdSMTP::ParseSizeLine("SIZE " + std::to_string(value), limit) || limit != value) __builtin_trap();
    }
    return 0;
}
