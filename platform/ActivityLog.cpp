#include "platform/ActivityLog.h"

void TActivityLog::AddLog(const AnsiString& text) {
    if (lines_.size() > MaxLines - 1) lines_.pop_front();
    lines_.push_back(FormatDateTime(ToLocal(clock_->Now())) + " " + text);
    for (const TObserver& observer : observers_) observer(lines_.back());
}
