#pragma once
// Text inside the program is 8-bit text in code page 936 (GBK): widths are byte
// counts, and parsers walk bytes. Unicode appears only at the edges (UI, ODBC,
// file names, command line), through the conversions below.
#include <string>
#include <string_view>
#include <type_traits>

using AnsiString = std::string;

// Strict conversions: a byte sequence that does not convert raises EEncodingError
// naming the offset of the first bad byte.
AnsiString Utf8ToAnsi(std::string_view utf8);
std::string AnsiToUtf8(std::string_view ansi);
std::u16string AnsiToUtf16(std::string_view ansi);
AnsiString Utf16ToAnsi(std::u16string_view utf16);

// Lenient conversions for display: what does not convert becomes "?" (to CP936)
// or U+FFFD (to UTF-8), never an error.
std::string AnsiToUtf8Lenient(std::string_view ansi);
AnsiString Utf8ToAnsiLenient(std::string_view utf8);
std::string Utf16ToUtf8Lenient(std::u16string_view utf16);

// Code page 936 lead byte: the first byte of a double-byte character.
inline bool IsLeadByte(unsigned char b) { return b >= 0x81 && b <= 0xFE; }
inline bool IsLeadByte(char b) { return IsLeadByte(static_cast<unsigned char>(b)); }

// Locale-aware case mapping that keeps byte positions: ASCII letters change,
// double-byte characters (lead and trail byte) are left as they are.
AnsiString AnsiUpperCase(std::string_view s);
AnsiString AnsiLowerCase(std::string_view s);
// Compares without regard to ASCII letter case (the way names are matched).
bool SameText(std::string_view a, std::string_view b);

// Keeps at most `width` bytes; a cut that would split a double-byte character
// drops its lead byte too, so the result never ends in half a character.
AnsiString TruncateToWidth(std::string_view s, std::size_t width);

// Trims blanks and control characters (<= ' ') at both ends, as Delphi's Trim.
std::string_view Trim(std::string_view s);
// Trimming a temporary string would hand out a view that dangles once the
// statement ends; keep the string in a variable first.
template <class S>
    requires std::is_same_v<std::remove_cv_t<S>, std::string>
std::string_view Trim(S&& temporary) = delete;
