#pragma once
// A numbered reply of a line protocol ("250-first", "250 last"), and the pure
// parsing of its lines, reachable by tests without a socket.
#include <vector>

#include "platform/AnsiString.h"

class TIdRFCReply {
public:
    int NumericCode = 0;
    AnsiString TextCode;          // the code as received, e.g. "250" or "2xx"
    std::vector<AnsiString> Text; // each line from its fifth byte on

    void Clear();
    // Fills the reply from the lines of one reply (as ReadReply collected them).
    void ParseReply(const std::vector<AnsiString>& lines);
    // The text lines, each followed by CR LF: the message of a reply error.
    AnsiString TextWithLineBreaks() const;
};
