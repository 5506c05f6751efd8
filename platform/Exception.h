#pragma once
// The error family the whole program raises: every failure carries the text
// that the user (error box, activity log, service journal) gets to see.
#include <exception>
#include <string>

#include "platform/AnsiString.h"

class Exception : public std::exception {
public:
    explicit Exception(AnsiString message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }

    AnsiString Message; // code page 936, like every text inside the program
};

// A text that does not convert to a number, a boolean or a date.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// An INI file that cannot be written.
class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

// A file that cannot be created, read or written.
class EFCreateError : public Exception {
public:
    using Exception::Exception;
};

// A file that cannot be opened for reading (a task file, an attachment).
class EFOpenError : public Exception {
public:
    using Exception::Exception;
};

// Text that cannot pass between code page 936 and Unicode.
class EEncodingError : public Exception {
public:
    using Exception::Exception;
};

// printf-style formatting into an AnsiString (the program's message texts use %s and %d).
AnsiString Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
