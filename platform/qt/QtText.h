#pragma once
// The one edge where the program's code page 936 text meets Qt's Unicode.
#include <QString>

#include "platform/AnsiString.h"

// Lenient both ways: a byte that does not convert shows as U+FFFD, a
// character without a code page 936 form becomes "?"; the UI never fails on text.
inline QString AnsiToQString(const AnsiString& text) {
    return QString::fromStdString(AnsiToUtf8Lenient(text));
}
inline AnsiString QStringToAnsi(const QString& text) {
    return Utf8ToAnsiLenient(text.toStdString());
}
// Strict, for what the user typed into a box that is stored: a character code
// page 936 cannot hold raises EEncodingError instead of being stored as "?".
inline AnsiString QStringToAnsiStrict(const QString& text) {
    return Utf8ToAnsi(text.toStdString());
}
// A UTF-8 literal of the source (the program's own Chinese texts).
inline QString Utf8Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}
