#pragma once
// The activity log: time-stamped lines in memory, oldest first, at most 101.
// Views (the main window's log box, standard output) observe it.
#include <cstddef>
#include <deque>
#include <functional>
#include <vector>

#include "platform/AnsiString.h"
#include "platform/Clock.h"

class TActivityLog {
public:
    static constexpr std::size_t MaxLines = 101;
    using TObserver = std::function<void(const AnsiString& line)>;

    explicit TActivityLog(const TClock& clock = SystemClock()) : clock_(&clock) {}

    // Appends "YYYY-MM-DD hh:nn:ss <text>", first dropping the oldest line when
    // the log already holds more than 100.
    void AddLog(const AnsiString& text);

    const std::deque<AnsiString>& Lines() const { return lines_; }
    // Called with each new line, after it was added.
    void AddObserver(TObserver observer) { observers_.push_back(std::move(observer)); }
    void SetClock(const TClock& clock) { clock_ = &clock; }

private:
    const TClock* clock_;
    std::deque<AnsiString> lines_;
    std::vector<TObserver> observers_;
};
