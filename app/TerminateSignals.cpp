#include "app/TerminateSignals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void OnTerminateSignal(int) {
    const int saved = errno;
    const char byte = 1;
    (void)!::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

TTerminateSignals::TTerminateSignals(std::function<void()> onTerminate) : onTerminate_(std::move(onTerminate)) {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = OnTerminateSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &previousTerm_);
    sigaction(SIGINT, &action, &previousInt_);
    installed_ = true;
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        onTerminate_();
    });
}

TTerminateSignals::~TTerminateSignals() {
    if (!installed_)
        return;
    sigaction(SIGTERM, &previousTerm_, nullptr);
    sigaction(SIGINT, &previousInt_, nullptr);
}
