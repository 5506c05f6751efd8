// Fuzz target: the update-info reader, the version and date comparisons and
// the HTTP-date reader, on whatever a hostile server might send.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "upgrade/HttpPieces.h"
#include "upgrade/UpgradeInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TUpgradeInfo info = ReadUpgradeInfo(text, "https://www.quorvel.com/upsoft/quorvel.inf");
    if (info.Files.size() > MaxInfoFiles) __builtin_trap();
    for (const TUpgradeFile& file : info.Files)
        if (info.Refusal.empty() && !StagingNameFault(file.StagingName).empty()) __builtin_trap();
    // A version is never newer than itself, whatever its text.
    if (IsNewerVersion(info.Version, info.Version)) __builtin_trap();
    (void)IsNewerVersion(info.Version, "2.2.0.0");
    (void)IsNewerDate(info.Date, "04/15/2010", TCalendarDate{2026, 12, 10});
    (void)ParseHttpDate(text);
    (void)RealmFromHeader(text);
    (void)UrlHostName(text);
    return 0;
}
