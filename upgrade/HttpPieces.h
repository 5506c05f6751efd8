#pragma once
// Pure pieces of the HTTP transfer: the HTTP-date reader, the realm of an
// authentication challenge and the progress figures.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/AnsiString.h"

using TSysSeconds = std::chrono::sys_seconds;

// Reads the three date forms in use on the web (RFC 1123, RFC 850, asctime),
// with a zone name or a "+hhmm"/"-hhmm" offset. Nothing for an empty text or
// a date or time that does not exist. The result is an instant (UTC), which
// the local calendar shows in the zone in force then.
std::optional<TSysSeconds> ParseHttpDate(std::string_view text);

// The realm of a WWW-Authenticate value: after the first `="`, without the
// value's last character (`Basic realm="Updates"` gives Updates).
AnsiString RealmFromHeader(std::string_view header);

struct TProgressFigures {
    std::uint8_t PercentDone = 0;
    std::int64_t ElapsedSeconds = 0;
    std::int64_t EstimatedSecondsLeft = 0;
    float TransferRate = 0; // KB/s
};
// The figures shown while a file arrives. Without an announced length the
// percentage stays 0 and the estimate is minus the elapsed time.
TProgressFigures ComputeProgress(std::int64_t bytesTransferred, std::int64_t contentLength, std::int64_t elapsedMs);
