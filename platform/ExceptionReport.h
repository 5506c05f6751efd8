#pragma once
// The application's error reporting: where an error that no handler caught
// ends up (a timer tick, a command, a step of the window's creation). The
// desktop shows an error box; the service mode writes the system log; tests
// record. Without a handler the error goes to a message box (ShowMessageBox)
// with the error icon, captioned with the program's name.
#include <exception>
#include <functional>

#include "platform/AnsiString.h"

using TExceptionHandler = std::function<void(const AnsiString& message)>;

// The text the user sees for an error: Exception::Message, else what().
AnsiString ExceptionMessage(const std::exception& e);

// Reports an error through the installed handler.
void HandleException(const std::exception& e);
// Same for the exception being handled (call inside a catch block); a value
// that is no std::exception reports a fixed text.
void HandleCurrentException();

// Installs a handler (empty: the default box) and returns the previous one.
TExceptionHandler SetExceptionHandler(TExceptionHandler handler);

// Runs `work`, reporting any error it raises instead of passing it on: the
// boundary of every event handler.
template <typename TWork>
void RunReportingErrors(TWork&& work) {
    try {
        work();
    } catch (...) {
        HandleCurrentException();
    }
}

class TScopedExceptionHandler {
public:
    explicit TScopedExceptionHandler(TExceptionHandler handler)
        : previous_(SetExceptionHandler(std::move(handler))) {}
    ~TScopedExceptionHandler() { SetExceptionHandler(std::move(previous_)); }
    TScopedExceptionHandler(const TScopedExceptionHandler&) = delete;
    TScopedExceptionHandler& operator=(const TScopedExceptionHandler&) = delete;

private:
    TExceptionHandler previous_;
};
