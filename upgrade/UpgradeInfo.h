#pragma once
// The update-info file: "#key=value" entries anywhere in 8-bit text, the
// announced version and files, and the decision whether that version is
// newer than the running one. Pure functions, so the reader can be tested
// (and fuzzed) without a server.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AnsiString.h"

enum TacUpgradeMethod { umSelfUpgrade = 0, umUseExternalSetup = 1, umRedirectToURL = 2 };
enum TauAutoUpgraderVersionControl { byDate, byNumber };

// Larger update-info files are refused unread: the file is a few lines.
constexpr std::size_t MaxInfoFileSize = 1024 * 1024;
// More files than this are refused: no release of the program has that many.
constexpr std::size_t MaxInfoFiles = 100;

// The value of "#key=" (key matched without regard to case, anywhere, also
// mid-line): from after "=" up to the first character below 32 or the end,
// nothing trimmed. Empty when the key is absent.
AnsiString ReadInfoValue(std::string_view text, std::string_view key);
// The text of "#message={...}": up to the first "}" (line breaks kept), or to
// the end without one. No blank is allowed between "=" and "{".
AnsiString ReadInfoMessage(std::string_view text);
// The method's first character: "1" external setup, "2" web page, else self-upgrade.
TacUpgradeMethod ReadInfoMethod(std::string_view text);

struct TInfoUrl {
    std::string Key; // "url", "url0", "url1", ...
    std::string Url;
};
// "url", then "url0", then numbered keys from one past the count found so far
// until the first absent one; at most MaxInfoFiles + 1 are read, so that a
// longer list can be refused.
std::vector<TInfoUrl> ReadInfoUrls(std::string_view text);

// Where a listed file is staged beside the program: the URL's last component
// ("/" and "\" both separate).
std::string StagingName(std::string_view url);
// Why a staging name cannot be used ("" when it can): empty, "." or "..",
// control characters, a leading ".", over 255 bytes, or one of the user's own
// files (task.ini, config.ini), which an upgrade must never replace.
std::string StagingNameFault(std::string_view name);

// A SHA-256 written as 64 hex digits (either case).
bool IsSha256Text(std::string_view text);

struct TUpgradeFile {
    std::string Key;
    std::string Url;
    std::string StagingName;
    std::string Sha256; // lower-case hex, "" when the file announces none
};

struct TUpgradeInfo {
    AnsiString Version;
    AnsiString Date;
    AnsiString Message;
    TacUpgradeMethod Method = umSelfUpgrade;
    std::vector<TUpgradeFile> Files;
    // Why the files cannot be offered ("" when they can): a bad staging name,
    // a malformed hash, a plain-HTTP file without hash listed by an HTTPS
    // info file, a local file listed by a remote one, too many files.
    std::string Refusal;
};

// Reads a whole update-info file. `infoUrl` is where it came from: it decides
// which file addresses are acceptable.
TUpgradeInfo ReadUpgradeInfo(std::string_view text, std::string_view infoUrl);

// The scheme of a URL in lower case; "http" when it has no "://".
std::string UrlScheme(std::string_view url);

// byNumber: whether version `announced` is newer than `running` (four dotted
// pieces; a piece that is no 32-bit number, or is -1, makes the whole texts
// compare byte by byte).
bool IsNewerVersion(std::string_view announced, std::string_view running);

struct TCalendarDate {
    int Year = 0, Month = 0, Day = 0;
    auto operator<=>(const TCalendarDate&) const = default;
};
// "MM/DD/YYYY" (pieces as decimal numbers); nothing for a missing piece, a
// piece that is no number, or a day that does not exist.
std::optional<TCalendarDate> ReadVersionDate(std::string_view text);
// byDate: the announced date is later than the running one. An announced date
// that is missing or unreadable is not newer; an unreadable running date
// counts as `today`.
bool IsNewerDate(std::string_view announced, std::string_view running, const TCalendarDate& today);

// Whether a number of days exists in that month (Gregorian calendar).
bool IsValidDate(int year, int month, int day);

// The host part of a URL (no scheme, credentials or port), as the
// unreachable-host message shows it.
std::string UrlHostName(std::string_view url);
