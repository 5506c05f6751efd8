#include "upgrade/HttpPieces.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "upgrade/UpgradeInfo.h"

namespace {

const char* const Months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
const char* const WeekDays[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

void SkipBlanks(std::string_view& s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
}

// The text up to `separator`, removed from `s` with the separator and the blanks after it.
std::string_view TakeToken(std::string_view& s, char separator) {
    const std::size_t at = s.find(separator);
    std::string_view token = s.substr(0, at);
    s = at == std::string_view::npos ? std::string_view() : s.substr(at + 1);
    SkipBlanks(s);
    return token;
}

// A decimal number of at most nine digits (so no sum below overflows).
std::optional<int> Number(std::string_view s) {
    if (s.empty() || s.size() > 9) return std::nullopt;
    int value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

int MonthOf(std::string_view token) {
    const std::string upper = Upper(token);
    for (int i = 0; i < 12; ++i)
        if (upper == Months[i]) return i + 1;
    return 0;
}

} // namespace

std::optional<TSysSeconds> ParseHttpDate(std::string_view text) {
    std::string_view s = TrimBlanks(text);
    if (s.empty()) return std::nullopt;
    if (s.size() >= 3) {
        const std::string head = Upper(s.substr(0, 3));
        for (const char* day : WeekDays) {
            if (head != day) continue;
            const std::size_t blank = s.find(' ');
            s = blank == std::string_view::npos ? std::string_view() : s.substr(blank + 1);
            SkipBlanks(s);
            break;
        }
    }
    const std::size_t dash = s.find('-');
    const std::size_t blank = s.find(' ');
    const char separator = (dash != std::string_view::npos && dash >= 1 && dash < blank) ? '-' : ' ';

    int day = 1;
    int month = 0;
    std::string_view first = TakeToken(s, separator);
    if (MonthOf(first) != 0) {
        month = MonthOf(first);
        day = Number(TakeToken(s, separator)).value_or(1);
    } else {
        day = Number(first).value_or(1);
        month = MonthOf(TakeToken(s, separator));
    }

    std::string_view yearToken = TakeToken(s, ' ');
    std::optional<int> year = Number(yearToken);
    if (!year) {
        // asctime: the time comes before the year.
        year = Number(TrimBlanks(s));
        s = yearToken;
    }
    if (!year) return std::nullopt;
    if (*year < 80)
        *year += 2000;
    else if (*year < 100)
        *year += 1900;

    int hour = 0, minute = 0, second = 0;
    if (s.find(':') != std::string_view::npos) {
        std::string_view time = TakeToken(s, ' ');
        hour = Number(TakeToken(time, ':')).value_or(0);
        minute = Number(TakeToken(time, ':')).value_or(0);
        second = Number(time).value_or(0);
    }
    if (!IsValidDate(*year, month, day) || hour > 23 || minute > 59 || second > 59) return std::nullopt;

    using namespace std::chrono;
    const sys_days date = year_month_day(std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day)));
    TSysSeconds result = date + hours(hour) + minutes(minute) + seconds(second);

    s = TrimBlanks(s);
    if (s.size() > 4 && (s[0] == '+' || s[0] == '-')) {
        const int offsetHours = Number(s.substr(1, 2)).value_or(0);
        const int offsetMinutes = Number(s.substr(3, 2)).value_or(0);
        const auto offset = hours(offsetHours) + minutes(offsetMinutes);
        result = s[0] == '+' ? result - offset : result + offset;
    }
    return result;
}

AnsiString RealmFromHeader(std::string_view header) {
    const std::size_t at = header.find("=\"");
    if (at == std::string_view::npos || header.size() < at + 3) return {};
    return AnsiString(header.substr(at + 2, header.size() - at - 3));
}

TProgressFigures ComputeProgress(std::int64_t bytesTransferred, std::int64_t contentLength, std::int64_t elapsedMs) {
    TProgressFigures figures;
    figures.ElapsedSeconds = elapsedMs / 1000;
    if (contentLength > 0) {
        const double percent = std::nearbyint(static_cast<double>(bytesTransferred) * 100.0 / static_cast<double>(contentLength));
        figures.PercentDone = static_cast<std::uint8_t>(std::min(255.0, std::max(0.0, percent)));
    }
    if (bytesTransferred > 0) {
        const double total = std::nearbyint(static_cast<double>(contentLength) / static_cast<double>(bytesTransferred) *
                                            static_cast<double>(figures.ElapsedSeconds));
        figures.EstimatedSecondsLeft = static_cast<std::int64_t>(total) - figures.ElapsedSeconds;
    } else {
        figures.EstimatedSecondsLeft = -figures.ElapsedSeconds;
    }
    const double kilobytes = static_cast<double>(bytesTransferred) / 1024.0;
    figures.TransferRate = static_cast<float>(figures.ElapsedSeconds != 0 ? kilobytes / static_cast<double>(figures.ElapsedSeconds) : kilobytes);
    return figures;
}
