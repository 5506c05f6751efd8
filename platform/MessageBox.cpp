#include "platform/MessageBox.h"

#include <cstdio>

namespace {
TMessageBoxHandler& InstalledHandler() {
    static TMessageBoxHandler handler;
    return handler;
}
} // namespace

std::vector<int> MessageBoxButtons(unsigned flags) {
    switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL: return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO: return {IDYES, IDNO};
    case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
    default: return {IDOK};
    }
}

int DefaultMessageBoxAnswer(unsigned flags) {
    const std::vector<int> buttons = MessageBoxButtons(flags);
    const std::size_t index = (flags & MB_DEFMASK) >> 8;
    return index < buttons.size() ? buttons[index] : buttons.front();
}

int StandardErrorMessageBox(const AnsiString& text, const AnsiString& caption, unsigned flags) {
    const std::string line = AnsiToUtf8Lenient(caption) + ": " + AnsiToUtf8Lenient(text) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    return DefaultMessageBoxAnswer(flags);
}

int ShowMessageBox(const AnsiString& text, const AnsiString& caption, unsigned flags) {
    // A copy: the handler may replace itself while its box is up.
    const TMessageBoxHandler handler = InstalledHandler();
    if (handler)
        return handler(text, caption, flags);
    return StandardErrorMessageBox(text, caption, flags);
}

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler) {
    TMessageBoxHandler previous = std::move(InstalledHandler());
    InstalledHandler() = std::move(handler);
    return previous;
}
