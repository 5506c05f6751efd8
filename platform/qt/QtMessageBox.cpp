#include "platform/qt/QtMessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <map>

#include "platform/MessageBox.h"
#include "platform/qt/QtText.h"

namespace {

QMessageBox::Icon IconOf(unsigned flags) {
    switch (flags & MB_ICONMASK) {
    case MB_ICONERROR: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONWARNING: return QMessageBox::Warning;
    case MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

QMessageBox::StandardButton ButtonOf(int answer) {
    switch (answer) {
    case IDOK: return QMessageBox::Ok;
    case IDCANCEL: return QMessageBox::Cancel;
    case IDABORT: return QMessageBox::Abort;
    case IDRETRY: return QMessageBox::Retry;
    case IDIGNORE: return QMessageBox::Ignore;
    case IDYES: return QMessageBox::Yes;
    case IDNO: return QMessageBox::No;
    default: return QMessageBox::NoButton;
    }
}

} // namespace

int QtMessageBox(const AnsiString& text, const AnsiString& caption, unsigned flags) {
    QMessageBox box(IconOf(flags), AnsiToQString(caption), AnsiToQString(text), QMessageBox::NoButton,
                    QApplication::activeWindow());
    std::map<QAbstractButton*, int> answers;
    const std::vector<int> buttons = MessageBoxButtons(flags);
    bool hasCancel = false;
    for (int answer : buttons) {
        QPushButton* button = box.addButton(ButtonOf(answer));
        answers[button] = answer;
        hasCancel = hasCancel || answer == IDCANCEL;
        if (answer == DefaultMessageBoxAnswer(flags))
            box.setDefaultButton(button);
    }
    box.exec();
    auto it = answers.find(box.clickedButton());
    if (it != answers.end())
        return it->second;
    return hasCancel ? IDCANCEL : DefaultMessageBoxAnswer(flags);
}

void InstallQtMessageBox() {
    SetMessageBoxHandler(&QtMessageBox);
}
