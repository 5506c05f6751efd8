#pragma once
// A numbered reply of a line protocol ("250-first", "250 last"), the grouping of
// received lines into one reply, and the pure parsing of its lines, reachable by
// tests without a socket.
#include <cstddef>
#include <string_view>
#include <vector>

#include "mail/IdException.h"
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

// Groups the lines of one reply as they arrive. Each line is trimmed; blank lines
// are skipped. A first line with "-" after its code opens a multi-line reply that
// ends at a line of three digits alone, or at one starting with the first line's
// code and a blank. Every other line must be three digits and then a blank, a "-"
// or the end; anything else raises EIdInvalidReplyLine naming the line. A reply
// may take at most MaxLines lines (skipped blank lines included) and MaxBytes
// bytes, so a server that never ends its reply cannot grow it without limit.
class TIdReplyLines {
public:
    static constexpr std::size_t MaxLines = 1000;
    static constexpr std::size_t MaxBytes = 1024 * 1024;

    // Takes the next line as read, without its line end; true when the reply is complete.
    bool Add(std::string_view line);
    bool Complete() const { return FComplete; }
    // The reply's lines, trimmed, blank lines left out.
    const std::vector<AnsiString>& Lines() const { return FLines; }

private:
    std::vector<AnsiString> FLines;
    AnsiString FEndMark; // "250 " while a multi-line reply is open
    std::size_t FLinesSeen = 0;
    std::size_t FBytesSeen = 0;
    bool FComplete = false;
};

// Groups a whole sequence of received lines into replies; a last reply that
// the lines leave open is returned as it stands.
std::vector<std::vector<AnsiString>> GroupReplies(const std::vector<AnsiString>& lines);

// `text` in double quotes for an error message: control bytes as \r, \n, \t or
// \xHH, and cut after `maxBytes` bytes with "..." so a hostile line cannot
// flood a log.
AnsiString QuotedForMessage(std::string_view text, std::size_t maxBytes = 200);
