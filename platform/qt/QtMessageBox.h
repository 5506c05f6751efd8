#pragma once
// Message boxes on the desktop: the QMessageBox handler behind ShowMessageBox.
#include "platform/AnsiString.h"

// Shows a modal box (its own event loop keeps timers running) with the
// buttons, icon and default button the flags ask for; closing it with the
// window's close box answers Cancel when the box has it, else the default.
int QtMessageBox(const AnsiString& text, const AnsiString& caption, unsigned flags);

// Installs QtMessageBox as the program's message box handler.
void InstallQtMessageBox();
