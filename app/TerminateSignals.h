#pragma once
// SIGTERM and SIGINT turned into a call on the main thread's event loop: the
// handler only writes a byte into a pipe that a socket notifier watches. The
// signals' previous handling comes back when the object goes.
#include <QObject>
#include <csignal>
#include <functional>

class QSocketNotifier;

class TTerminateSignals : public QObject {
public:
    explicit TTerminateSignals(std::function<void()> onTerminate);
    ~TTerminateSignals() override;
    TTerminateSignals(const TTerminateSignals&) = delete;
    TTerminateSignals& operator=(const TTerminateSignals&) = delete;

private:
    std::function<void()> onTerminate_;
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction previousTerm_ {};
    struct sigaction previousInt_ {};
    bool installed_ = false;
};
