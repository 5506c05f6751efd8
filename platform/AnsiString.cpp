#include "platform/AnsiString.h"

#include <iconv.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/Exception.h"

namespace {

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

IconvHandle OpenIconv(const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw EEncodingError(Format("Text conversion from %s to %s is not available", from, to));
    return IconvHandle(cd);
}

// Bytes of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
std::size_t Utf8SequenceLength(char lead) {
    auto b = static_cast<unsigned char>(lead);
    if (b >= 0xF0 && b <= 0xF4) return 4;
    if (b >= 0xE0) return b <= 0xEF ? 3 : 1;
    if (b >= 0xC2) return 2;
    return 1;
}

// Converts `in`; on a byte that does not convert either throws (strict) or
// appends `replacement` and skips one input unit of `unit` bytes (0: one UTF-8 character).
std::string Convert(const char* to, const char* from, std::string_view in, bool strict,
                    std::string_view replacement, std::size_t unit) {
    IconvHandle handle = OpenIconv(to, from);
    auto cd = static_cast<iconv_t>(handle.get());
    std::string out;
    out.reserve(in.size() * 2 + 4);
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    std::vector<char> buffer(4096);
    while (inLeft > 0) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer.data(), outPtr - buffer.data());
        if (rc != static_cast<std::size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ (bad sequence) or EINVAL (incomplete sequence at the end)
        if (strict) {
            std::size_t offset = in.size() - inLeft;
            throw EEncodingError(Format("Text cannot be converted from %s to %s: invalid byte 0x%02X at offset %zu",
                                        from, to, static_cast<unsigned char>(*inPtr), offset));
        }
        out.append(replacement);
        std::size_t skip = std::min(unit == 0 ? Utf8SequenceLength(*inPtr) : unit, inLeft);
        inPtr += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

} // namespace

AnsiString Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), format, args);
        out.resize(static_cast<std::size_t>(n));
    }
    va_end(args);
    return out;
}

AnsiString Utf8ToAnsi(std::string_view utf8) { return Convert("CP936", "UTF-8", utf8, true, "", 1); }
std::string AnsiToUtf8(std::string_view ansi) { return Convert("UTF-8", "CP936", ansi, true, "", 1); }
std::string AnsiToUtf8Lenient(std::string_view ansi) { return Convert("UTF-8", "CP936", ansi, false, "\xEF\xBF\xBD", 1); }
AnsiString Utf8ToAnsiLenient(std::string_view utf8) { return Convert("CP936", "UTF-8", utf8, false, "?", 0); }

std::u16string AnsiToUtf16(std::string_view ansi) {
    std::string bytes = Convert("UTF-16LE", "CP936", ansi, true, "", 1);
    std::u16string out(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return out;
}

namespace {
std::string Utf16LeBytes(std::u16string_view utf16) {
    std::string bytes(utf16.size() * 2, '\0');
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        bytes[2 * i] = static_cast<char>(utf16[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(utf16[i] >> 8);
    }
    return bytes;
}
} // namespace

AnsiString Utf16ToAnsi(std::u16string_view utf16) { return Convert("CP936", "UTF-16LE", Utf16LeBytes(utf16), true, "", 2); }

std::string Utf16ToUtf8Lenient(std::u16string_view utf16) {
    return Convert("UTF-8", "UTF-16LE", Utf16LeBytes(utf16), false, "\xEF\xBF\xBD", 2);
}

namespace {
template <typename Map>
AnsiString MapAscii(std::string_view s, Map map) {
    AnsiString out(s);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (IsLeadByte(out[i]) && i + 1 < out.size()) {
            ++i; // the trail byte may look like an ASCII letter; leave it
            continue;
        }
        out[i] = map(out[i]);
    }
    return out;
}
} // namespace

AnsiString AnsiUpperCase(std::string_view s) {
    return MapAscii(s, [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
}

AnsiString AnsiLowerCase(std::string_view s) {
    return MapAscii(s, [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; });
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

AnsiString TruncateToWidth(std::string_view s, std::size_t width) {
    if (s.size() <= width) return AnsiString(s);
    // Walk characters so that a trail byte is never taken for a lead byte.
    std::size_t i = 0;
    while (i < width) {
        std::size_t len = (IsLeadByte(s[i]) && i + 1 < s.size()) ? 2 : 1;
        if (i + len > width) break;
        i += len;
    }
    return AnsiString(s.substr(0, i));
}

std::string_view Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}
