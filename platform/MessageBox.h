#pragma once
// Message boxes as the program asks for them (MessageBoxA's flags and answers),
// without a toolkit. The desktop installs a handler that shows a real box;
// tests install one that records the box and answers; with no handler, the
// box goes to standard error (caption and text, UTF-8) and takes its default
// answer, so a program without a display never waits for a click.
#include <functional>
#include <vector>

#include "platform/AnsiString.h"

// Buttons (low four bits).
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_ABORTRETRYIGNORE = 0x2;
constexpr unsigned MB_YESNOCANCEL = 0x3;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_RETRYCANCEL = 0x5;
// Icons.
constexpr unsigned MB_ICONERROR = 0x10; // also known as MB_ICONSTOP / MB_ICONHAND
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
// Default button (the first one when none is given).
constexpr unsigned MB_DEFBUTTON1 = 0x000;
constexpr unsigned MB_DEFBUTTON2 = 0x100;
constexpr unsigned MB_DEFBUTTON3 = 0x200;

constexpr unsigned MB_TYPEMASK = 0xF;
constexpr unsigned MB_ICONMASK = 0xF0;
constexpr unsigned MB_DEFMASK = 0xF00;

// Answers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Text and caption are code page 936. Returns one of the ID answers.
using TMessageBoxHandler = std::function<int(const AnsiString& text, const AnsiString& caption, unsigned flags)>;

// Shows a box through the installed handler (or the standard error one).
int ShowMessageBox(const AnsiString& text, const AnsiString& caption, unsigned flags);

// Installs a handler (an empty one restores the standard error box) and
// returns the one it replaces. Called on the main thread only.
TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler);

// The answer of the box's default button: the first button, or the second or
// third one when MB_DEFBUTTON2 or MB_DEFBUTTON3 names a button the box has.
int DefaultMessageBoxAnswer(unsigned flags);

// The buttons of a box, in order (IDOK, IDCANCEL, ...).
std::vector<int> MessageBoxButtons(unsigned flags);

// The box without a display: "caption: text" on standard error, default answer.
int StandardErrorMessageBox(const AnsiString& text, const AnsiString& caption, unsigned flags);

// Installs a handler for the life of a scope (tests), restoring the previous one.
class TScopedMessageBoxHandler {
public:
    explicit TScopedMessageBoxHandler(TMessageBoxHandler handler)
        : previous_(SetMessageBoxHandler(std::move(handler))) {}
    ~TScopedMessageBoxHandler() { SetMessageBoxHandler(std::move(previous_)); }
    TScopedMessageBoxHandler(const TScopedMessageBoxHandler&) = delete;
    TScopedMessageBoxHandler& operator=(const TScopedMessageBoxHandler&) = delete;

private:
    TMessageBoxHandler previous_;
};
