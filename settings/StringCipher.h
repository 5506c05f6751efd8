#pragma once
// The reversible hex cipher that keeps the SMTP password out of plain sight in
// config.ini. It hides the password from a casual reader; the key is in the program.
#include "platform/AnsiString.h"

// The key under which the program stores the SMTP password.
inline constexpr const char* SmtpPasswordKey = "kesto947";

// encipher: seed byte then one byte per source byte, as capital hex digits.
// decipher: the reverse; raises EConvertError for a text that is not hex pairs.
AnsiString CipherText(const AnsiString& source, const AnsiString& key, bool encipher);
