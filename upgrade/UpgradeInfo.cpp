#include "upgrade/UpgradeInfo.h"

#include <algorithm>
#include <limits>
#include <set>

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = LowerAscii(c);
    return out;
}

// Case-insensitive search without copying the whole text for each key.
std::size_t FindNoCase(std::string_view text, std::string_view lowerPattern) {
    if (lowerPattern.empty() || lowerPattern.size() > text.size()) return std::string_view::npos;
    const std::size_t last = text.size() - lowerPattern.size();
    for (std::size_t i = 0; i <= last; ++i) {
        if (text[i] != lowerPattern[0]) continue; // patterns start with '#'
        std::size_t k = 1;
        while (k < lowerPattern.size() && LowerAscii(text[i + k]) == lowerPattern[k]) ++k;
        if (k == lowerPattern.size()) return i;
    }
    return std::string_view::npos;
}

// A whole piece as a 32-bit number; nothing when it is not one.
std::optional<std::int64_t> ReadInt32(std::string_view piece) {
    std::string_view digits = piece;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.size() > 11) return std::nullopt;
    std::int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (negative) value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return value;
}

std::vector<std::string_view> VersionPieces(std::string_view version) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (pieces.size() < 4) {
        const std::size_t dot = version.find('.', start);
        if (dot == std::string_view::npos) {
            pieces.push_back(version.substr(start));
            break;
        }
        pieces.push_back(version.substr(start, dot - start));
        start = dot + 1;
    }
    while (pieces.size() < 4) pieces.push_back("0");
    return pieces;
}

} // namespace

AnsiString ReadInfoValue(std::string_view text, std::string_view key) {
    const std::string pattern = "#" + LowerAscii(key) + "=";
    const std::size_t at = FindNoCase(text, pattern);
    if (at == std::string_view::npos) return {};
    const std::size_t start = at + pattern.size();
    std::size_t end = start;
    while (end < text.size() && static_cast<unsigned char>(text[end]) >= 32) ++end;
    return AnsiString(text.substr(start, end - start));
}

AnsiString ReadInfoMessage(std::string_view text) {
    const std::size_t at = FindNoCase(text, "#message={");
    if (at == std::string_view::npos) return {};
    const std::size_t start = at + 10;
    const std::size_t end = text.find('}', start);
    return AnsiString(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

TacUpgradeMethod ReadInfoMethod(std::string_view text) {
    const AnsiString method = ReadInfoValue(text, "method");
    if (method.empty()) return umSelfUpgrade;
    if (method[0] == '1') return umUseExternalSetup;
    if (method[0] == '2') return umRedirectToURL;
    return umSelfUpgrade;
}

std::vector<TInfoUrl> ReadInfoUrls(std::string_view text) {
    std::vector<TInfoUrl> urls;
    for (const char* key : {"url", "url0"}) {
        AnsiString value = ReadInfoValue(text, key);
        if (!value.empty()) urls.push_back({key, std::move(value)});
    }
    for (std::size_t n = urls.size() + 1; urls.size() <= MaxInfoFiles; ++n) {
        const std::string key = "url" + std::to_string(n);
        AnsiString value = ReadInfoValue(text, key);
        if (value.empty()) break;
        urls.push_back({key, std::move(value)});
    }
    return urls;
}

std::string StagingName(std::string_view url) {
    const std::size_t slash = url.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? url : url.substr(slash + 1));
}

std::string StagingNameFault(std::string_view name) {
    if (name.empty()) return "has no file name";
    if (name == "." || name == "..") return "names a folder, not a file";
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; }))
        return "has control characters in its file name";
    if (name[0] == '.') return "has a file name that starts with '.'";
    if (name.size() > 255) return "has a file name longer than 255 bytes";
    const std::string lower = LowerAscii(name);
    if (lower == "task.ini" || lower == "config.ini") return "would replace the user's own " + lower;
    return {};
}

bool IsSha256Text(std::string_view text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

std::string UrlScheme(std::string_view url) {
    const std::size_t at = url.find("://");
    if (at == std::string_view::npos) return "http";
    return LowerAscii(url.substr(0, at));
}

TUpgradeInfo ReadUpgradeInfo(std::string_view text, std::string_view infoUrl) {
    TUpgradeInfo info;
    info.Version = ReadInfoValue(text, "version");
    info.Date = ReadInfoValue(text, "date");
    info.Message = ReadInfoMessage(text);
    info.Method = ReadInfoMethod(text);
    const std::string infoScheme = UrlScheme(infoUrl);
    std::set<std::string> staged;
    auto refuse = [&info](std::string reason) {
        if (info.Refusal.empty()) info.Refusal = std::move(reason);
    };
    for (TInfoUrl& entry : ReadInfoUrls(text)) {
        if (info.Files.size() == MaxInfoFiles) {
            refuse("it lists more than " + std::to_string(MaxInfoFiles) + " files");
            break;
        }
        TUpgradeFile file;
        file.Key = entry.Key;
        file.Url = std::move(entry.Url);
        file.StagingName = StagingName(file.Url);
        const AnsiString hash = ReadInfoValue(text, entry.Key + ".sha256");
        if (!hash.empty()) {
            if (IsSha256Text(hash))
                file.Sha256 = LowerAscii(hash);
            else
                refuse(entry.Key + ".sha256 is not 64 hex digits");
        }
        const std::string fault = StagingNameFault(file.StagingName);
        const std::string scheme = UrlScheme(file.Url);
        if (!fault.empty())
            refuse(entry.Key + " " + fault);
        else if (!staged.insert(LowerAscii(file.StagingName)).second)
            refuse(entry.Key + " repeats the file name " + file.StagingName);
        if (scheme != "http" && scheme != "https" && scheme != "file")
            refuse(entry.Key + " uses the scheme '" + scheme + "'");
        else if (scheme == "file" && infoScheme != "file")
            refuse(entry.Key + " names a local file, but the update information is not local");
        else if (infoScheme == "https" && scheme == "http" && file.Sha256.empty())
            refuse(entry.Key + " is plain HTTP without a SHA-256, listed by update information fetched over HTTPS");
        info.Files.push_back(std::move(file));
    }
    return info;
}

bool IsNewerVersion(std::string_view announced, std::string_view running) {
    const std::vector<std::string_view> a = VersionPieces(announced);
    const std::vector<std::string_view> b = VersionPieces(running);
    for (int i = 0; i < 4; ++i) {
        const std::optional<std::int64_t> x = ReadInt32(a[i]);
        const std::optional<std::int64_t> y = ReadInt32(b[i]);
        if (!x || !y || *x == -1 || *y == -1) return announced.compare(running) > 0;
        if (*x != *y) return *x > *y;
    }
    return false;
}

bool IsValidDate(int year, int month, int day) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

std::optional<TCalendarDate> ReadVersionDate(std::string_view text) {
    const std::size_t first = text.find('/');
    if (first == std::string_view::npos) return std::nullopt;
    const std::size_t second = text.find('/', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const std::optional<std::int64_t> month = ReadInt32(text.substr(0, first));
    const std::optional<std::int64_t> day = ReadInt32(text.substr(first + 1, second - first - 1));
    const std::optional<std::int64_t> year = ReadInt32(text.substr(second + 1));
    if (!month || !day || !year) return std::nullopt;
    if (!IsValidDate(static_cast<int>(*year), static_cast<int>(*month), static_cast<int>(*day))) return std::nullopt;
    return TCalendarDate{static_cast<int>(*year), static_cast<int>(*month), static_cast<int>(*day)};
}

bool IsNewerDate(std::string_view announced, std::string_view running, const TCalendarDate& today) {
    const std::optional<TCalendarDate> a = ReadVersionDate(announced);
    if (!a) return false;
    return *a > ReadVersionDate(running).value_or(today);
}

std::string UrlHostName(std::string_view url) {
    const std::size_t scheme = url.find("://");
    std::string_view rest = scheme == std::string_view::npos ? url : url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    const std::size_t at = rest.rfind('@');
    if (at != std::string_view::npos) rest.remove_prefix(at + 1);
    if (!rest.empty() && rest.front() == '[') return std::string(rest.substr(0, rest.find(']') + 1));
    return std::string(rest.substr(0, rest.find(':')));
}
