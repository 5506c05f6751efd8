#include "platform/MessageLoop.h"

TTimer::TTimer(TMessageLoop& loop, TInterval interval, bool enabled)
    : loop_(&loop), id_(loop.NextTimerId()), interval_(interval), enabled_(enabled) {
    Update();
}

TTimer::~TTimer() {
    loop_->StopTimer(*this);
}

void TTimer::SetEnabled(bool value) {
    if (value == enabled_)
        return;
    enabled_ = value;
    Update();
}

void TTimer::SetInterval(TInterval value) {
    if (value == interval_)
        return;
    interval_ = value;
    Update();
}

void TTimer::Update() {
    if (enabled_ && interval_ != 0)
        loop_->StartTimer(*this);
    else
        loop_->StopTimer(*this);
}
