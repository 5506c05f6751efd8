#include "platform/ExceptionReport.h"

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"

namespace {
TExceptionHandler& InstalledHandler() {
    static TExceptionHandler handler;
    return handler;
}
} // namespace

AnsiString ExceptionMessage(const std::exception& e) {
    if (const auto* own = dynamic_cast<const Exception*>(&e))
        return own->Message;
    return e.what();
}

void HandleException(const std::exception& e) {
    const AnsiString message = ExceptionMessage(e);
    const TExceptionHandler handler = InstalledHandler();
    if (handler)
        handler(message);
    else
        ShowMessageBox(message, ExeName(), MB_OK | MB_ICONERROR);
}

void HandleCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        HandleException(e);
    } catch (...) {
        HandleException(Exception("Unknown error"));
    }
}

TExceptionHandler SetExceptionHandler(TExceptionHandler handler) {
    TExceptionHandler previous = std::move(InstalledHandler());
    InstalledHandler() = std::move(handler);
    return previous;
}
