#include "mail/IdCoderMIME.h"

namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Writes the encoding of `n` bytes (n = 1..3) at `dst`; returns 4.
inline void EncodeGroup(const unsigned char* src, std::size_t n, char* dst) {
    const unsigned v = (unsigned(src[0]) << 16) | (n > 1 ? unsigned(src[1]) << 8 : 0u) | (n > 2 ? unsigned(src[2]) : 0u);
    dst[0] = Alphabet[(v >> 18) & 63];
    dst[1] = Alphabet[(v >> 12) & 63];
    dst[2] = n > 1 ? Alphabet[(v >> 6) & 63] : '=';
    dst[3] = n > 2 ? Alphabet[v & 63] : '=';
}

// Encodes into `dst`, which has room for 4 * ceil(size / 3) characters.
char* EncodeInto(std::string_view bytes, char* dst) {
    const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    for (; n >= 3; n -= 3, src += 3, dst += 4) EncodeGroup(src, 3, dst);
    if (n > 0) {
        EncodeGroup(src, n, dst);
        dst += 4;
    }
    return dst;
}

constexpr std::size_t EncodedSize(std::size_t n) { return (n + 2) / 3 * 4; }

} // namespace

void AppendBase64(std::string& out, std::string_view bytes) {
    const std::size_t start = out.size();
    out.resize(start + EncodedSize(bytes.size()));
    EncodeInto(bytes, out.data() + start);
}

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    AppendBase64(out, bytes);
    return out;
}

void AppendBase64Lines(std::string& out, std::string_view bytes) {
    const std::size_t lines = (bytes.size() + Base64LineBytes - 1) / Base64LineBytes;
    const std::size_t start = out.size();
    out.resize(start + EncodedSize(bytes.size()) + 2 * lines);
    char* dst = out.data() + start;
    for (std::size_t at = 0; at < bytes.size(); at += Base64LineBytes) {
        dst = EncodeInto(bytes.substr(at, Base64LineBytes), dst);
        *dst++ = '\r';
        *dst++ = '\n';
    }
}
