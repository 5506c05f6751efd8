#pragma once
// Base64 of RFC 2045: the attachment lines, the B encoded words and the AUTH LOGIN
// credentials all use it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The base64 text of `bytes`, padded with "=", on one line without breaks.
std::string EncodeBase64(std::string_view bytes);

// Appends the base64 text of `bytes` to `out`.
void AppendBase64(std::string& out, std::string_view bytes);

// Bytes per base64 line of an attachment: 57 bytes give 76 characters.
constexpr std::size_t Base64LineBytes = 57;

// Appends `bytes` as base64 lines of Base64LineBytes input bytes each, every line
// followed by CR LF (the last one shorter and padded).
void AppendBase64Lines(std::string& out, std::string_view bytes);

// The length of AppendBase64Lines' output for `size` input bytes.
constexpr std::uint64_t Base64LinesSize(std::uint64_t size) {
    return (size + 2) / 3 * 4 + 2 * ((size + Base64LineBytes - 1) / Base64LineBytes);
}
