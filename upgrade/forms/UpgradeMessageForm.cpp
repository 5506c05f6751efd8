#include "upgrade/forms/UpgradeMessageForm.h"

#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <algorithm>

#include "upgrade/AuMessages.h"
#include "upgrade/forms/UpgradePictures.h"

namespace {

QPointer<TauAutoUpgraderUpgradeMessageForm> instance;

constexpr int ClientWidth = 318;
constexpr int TextLeft = 45;
constexpr int TextTop = 5;
constexpr int PanelHeight = 45;

} // namespace

TauAutoUpgraderUpgradeMessageForm* TauAutoUpgraderUpgradeMessageForm::Instance() {
    return instance.data();
}

TauAutoUpgraderUpgradeMessageForm::TauAutoUpgraderUpgradeMessageForm(const AnsiString& question)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint) {
    instance = this;
    QFont font(QString::fromUtf8("宋体"));
    font.setPointSize(9);
    setFont(font);
    setWindowTitle(UpgradeText(auMessage(0)));

    Image = new QLabel(this);
    Image->setGeometry(7, 5, 32, 32);
    Image->setPixmap(UpgradeQuestionIcon());

    const int textWidth = ClientWidth - TextLeft - 11;
    TextLabel = new QLabel;
    TextLabel->setTextFormat(Qt::PlainText); // the server's words are never markup
    TextLabel->setWordWrap(true);
    TextLabel->setText(UpgradeText(question));
    TextLabel->setFixedWidth(textWidth);
    const int textHeight = TextLabel->heightForWidth(textWidth);
    TextLabel->setFixedHeight(textHeight);

    // Never taller than the screen: a long message scrolls.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int limit = screen ? screen->availableGeometry().height() - 80 : 600;
    const int shown = std::min(textHeight, std::max(limit - TextTop - PanelHeight, 40));
    TextArea = new QScrollArea(this);
    TextArea->setFrameShape(QFrame::NoFrame);
    TextArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    TextArea->setWidget(TextLabel);
    const int scrollWidth = shown < textHeight ? TextArea->verticalScrollBar()->sizeHint().width() : 0;
    TextArea->setGeometry(TextLeft, TextTop, textWidth + scrollWidth, shown);

    const int height = TextTop + shown + PanelHeight;
    YesButton = new QPushButton(UpgradeText(auMessage(14)), this);
    YesButton->setGeometry(78, height - PanelHeight + 13, 75, 23);
    YesButton->setDefault(true);
    LaterButton = new QPushButton(UpgradeText(auMessage(19)), this);
    LaterButton->setGeometry(167, height - PanelHeight + 13, 75, 23);
    connect(YesButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(LaterButton, &QPushButton::clicked, this, &QDialog::reject); // also Esc and the close box
    setFixedSize(std::max(ClientWidth, TextLeft + textWidth + scrollWidth + 11), height);
}

TauAutoUpgraderUpgradeMessageForm::~TauAutoUpgraderUpgradeMessageForm() {
    if (instance == this)
        instance = nullptr;
}

bool AskUpgrade(const AnsiString& question) {
    TauAutoUpgraderUpgradeMessageForm form(question);
    form.raise();
    return form.exec() == QDialog::Accepted;
}
