#include "upgrade/forms/PasswordForm.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include "platform/Exception.h"
#include "platform/qt/QtText.h"
#include "upgrade/AutoUpgrader.h"
#include "upgrade/forms/UpgradePictures.h"

namespace {

QPointer<TauAutoUpgraderPasswordForm> instance;

constexpr int TextWidth = 246;
constexpr int PanelHeight = 98;

// The last path component of the file asked for.
AnsiString FileNameOf(const std::string& url) {
    const std::size_t slash = url.find_last_of("/\\");
    return Utf8ToAnsiLenient(slash == std::string::npos ? url : url.substr(slash + 1));
}

} // namespace

TauAutoUpgraderPasswordForm* TauAutoUpgraderPasswordForm::Instance() {
    return instance.data();
}

TauAutoUpgraderPasswordForm::TauAutoUpgraderPasswordForm(TauAutoUpgrader& component)
    : QDialog(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      component_(component) {
    instance = this;
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSize(8);
    setFont(font);
    setWindowTitle(UpgradeText(auMessage(11)));

    Image = new QLabel(this);
    Image->setGeometry(7, 5, 32, 32);
    Image->setPixmap(UpgradePasswordIcon());
    TextLabel = new QLabel(this);
    TextLabel->setTextFormat(Qt::PlainText); // the file name comes from the server
    TextLabel->setWordWrap(true);
    TextLabel->setText(UpgradeText(Format(auMessage(29).c_str(), FileNameOf(component.URL).c_str())));
    const int textHeight = TextLabel->heightForWidth(TextWidth);
    TextLabel->setGeometry(45, 5, TextWidth, textHeight);

    const int top = 5 + textHeight;
    UserNameLabel = new QLabel(UpgradeText(auMessage(12)), this);
    UserNameLabel->move(45, top + 14);
    PasswordLabel = new QLabel(UpgradeText(auMessage(13)), this);
    PasswordLabel->move(45, top + 38);
    UserName = new QLineEdit(AnsiToQString(component.HTTPUsername), this);
    UserName->setGeometry(122, top + 10, 157, 21);
    Password = new QLineEdit(this);
    Password->setGeometry(122, top + 34, 157, 21);
    Password->setEchoMode(QLineEdit::Password);
    UserNameLabel->setBuddy(UserName);
    PasswordLabel->setBuddy(Password);
    OkButton = new QPushButton(UpgradeText(auMessage(16)), this);
    OkButton->setGeometry(114, top + 68, 75, 23);
    OkButton->setDefault(true);
    CancelButton = new QPushButton(UpgradeText(auMessage(17)), this);
    CancelButton->setGeometry(204, top + 68, 75, 23);
    connect(OkButton, &QPushButton::clicked, this, [this] { OkClick(); });
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    setFixedSize(297, top + PanelHeight);
    UserName->setFocus();
}

TauAutoUpgraderPasswordForm::~TauAutoUpgraderPasswordForm() {
    if (instance == this)
        instance = nullptr;
}

void TauAutoUpgraderPasswordForm::OkClick() {
    component_.HTTPUsername = QStringToAnsi(UserName->text());
    component_.HTTPPassword = QStringToAnsi(Password->text());
    accept();
}

bool AskPassword(TauAutoUpgrader& component) {
    TauAutoUpgraderPasswordForm form(component);
    return form.exec() == QDialog::Accepted;
}
