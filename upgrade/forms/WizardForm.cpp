#include "upgrade/forms/WizardForm.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>

#include "platform/Exception.h"
#include "platform/MessageBox.h"
#include "platform/qt/QtText.h"
#include "upgrade/AutoUpgrader.h"
#include "upgrade/forms/UpgradePictures.h"

namespace {

QPointer<TauAutoUpgraderWizardForm> instance;

// The layout was drawn at 120 pixels per inch; these are the positions at 96.
int S(int designed) {
    return designed * 4 / 5;
}
QRect R(int x, int y, int w, int h) {
    return QRect(S(x), S(y), S(w), S(h));
}

// A group box of this toolkit draws its title inside its frame: what it holds
// starts this much lower.
constexpr int GroupTitleSpace = 5;

QLabel* Label(QWidget* parent, int x, int y) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->move(S(x), S(y) + GroupTitleSpace);
    label->setMinimumWidth(S(370));
    return label;
}

QProgressBar* Progress(QWidget* parent, int x, int y) {
    auto* bar = new QProgressBar(parent);
    bar->setGeometry(R(x, y, 378, 27).translated(0, GroupTitleSpace));
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
}

// The URL field: shows the address, takes no key and no focus.
class TReadOnlyField : public QLineEdit {
public:
    using QLineEdit::QLineEdit;

protected:
    void keyPressEvent(QKeyEvent* event) override { event->ignore(); }
};

} // namespace

TauAutoUpgraderWizardForm* TauAutoUpgraderWizardForm::Instance() {
    return instance.data();
}

TauAutoUpgraderWizardForm::TauAutoUpgraderWizardForm(TauAutoUpgrader& component)
    : QDialog(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           (component.Wizard.StayOnTop ? Qt::WindowStaysOnTopHint : Qt::Widget)),
      component_(component) {
    instance = this;
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_ShowWithoutActivating, component.Wizard.StayOnTop);
    setFixedSize(S(570), S(346));
    setWindowTitle(UpgradeText(auMessage(0)));

    auto* picturePanel = new QFrame(this);
    picturePanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    picturePanel->setGeometry(R(12, 12, 148, 271));
    SidePicture = new QLabel(picturePanel);
    SidePicture->setGeometry(picturePanel->contentsRect());
    SidePicture->setScaledContents(true);
    SidePicture->setPixmap(WizardSidePicture());

    TitleLabel = new QLabel(UpgradeText(auMessage(1)), this);
    QFont titleFont(QStringLiteral("Times New Roman"));
    titleFont.setPixelSize(S(23));
    titleFont.setBold(true);
    titleFont.setItalic(true);
    TitleLabel->setFont(titleFont);
    TitleLabel->setGeometry(R(167, 12, 393, 30));

    AfterNote = new QLabel(this);
    AfterNote->setTextFormat(Qt::PlainText);
    AfterNote->setWordWrap(true);
    AfterNote->setGeometry(R(167, 54, 393, 150));
    AfterNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    AfterNote->hide();

    CurrentFileGroup = new QGroupBox(" " + UpgradeText(auMessage(3)) + " ", this);
    CurrentFileGroup->setGeometry(R(167, 42, 393, 154));
    SourceLabel = Label(CurrentFileGroup, 7, 17);
    SourceLabel->setText(UpgradeText(auMessage(5)));
    FileURL = new TReadOnlyField(CurrentFileGroup);
    FileURL->setGeometry(R(12, 34, 371, 16).translated(0, GroupTitleSpace));
    FileURL->setReadOnly(true);
    FileURL->setFrame(false);
    FileURL->setFocusPolicy(Qt::NoFocus);
    QPalette urlColours = FileURL->palette();
    urlColours.setColor(QPalette::Base, palette().color(QPalette::Window));
    urlColours.setColor(QPalette::Text, palette().color(QPalette::Highlight));
    FileURL->setPalette(urlColours);
    FileSizeLabel = Label(CurrentFileGroup, 7, 54);
    TransferRateLabel = Label(CurrentFileGroup, 7, 74);
    TimeLeftLabel = Label(CurrentFileGroup, 7, 94);
    TimeLeftLabel->setText(UpgradeText(auMessage(22)));
    CurrentFileProgress = Progress(CurrentFileGroup, 7, 118);

    AllFilesGroup = new QGroupBox(" " + UpgradeText(auMessage(4)) + " ", this);
    AllFilesGroup->setGeometry(R(167, 199, 393, 83));
    AllFilesLabel = Label(AllFilesGroup, 7, 20);
    AllFilesProgress = Progress(AllFilesGroup, 7, 47);

    auto* line = new QFrame(this);
    line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    line->setGeometry(R(12, 293, 550, 2));
    // Engraved: the light copy one pixel down-right under the dark one.
    const QString name = " " + UpgradeText(LoadUpgraderString(auNameResource)) + " ";
    NameShadow = new QLabel(name, this);
    NameShadow->move(S(38), S(288));
    NameShadow->setStyleSheet("color: palette(light);");
    NameLabel = new QLabel(name, this);
    NameLabel->move(S(37), S(287));
    NameLabel->setStyleSheet("color: palette(mid);");

    FinishButton = new QPushButton(UpgradeText(auMessage(18)), this);
    FinishButton->setGeometry(R(364, 305, 93, 31));
    FinishButton->setEnabled(false);
    FinishButton->setAutoDefault(false);
    CancelButton = new QPushButton(UpgradeText(auMessage(17)), this);
    CancelButton->setGeometry(R(468, 305, 92, 31));
    CancelButton->setDefault(true);
    CancelButton->setFocus();
    connect(FinishButton, &QPushButton::clicked, this, [this] {
        closeAllowed_ = true;
        close();
    });
    connect(CancelButton, &QPushButton::clicked, this, [this] { close(); });
}

TauAutoUpgraderWizardForm::~TauAutoUpgraderWizardForm() {
    if (instance == this)
        instance = nullptr;
}

void TauAutoUpgraderWizardForm::SetFileURL(const std::string& url) {
    FileURL->setText(QString::fromStdString(AnsiToUtf8Lenient(url)));
    FileURL->setCursorPosition(0);
}

void TauAutoUpgraderWizardForm::ShowFinishPage() {
    finishPage_ = true;
    TitleLabel->setText(UpgradeText(auMessage(2)));
    AfterNote->setText(UpgradeText(Format(auMessage(10).c_str(), component_.ApplicationTitle.c_str())));
    AfterNote->show();
    CurrentFileGroup->hide();
    AllFilesGroup->hide();
    CancelButton->setEnabled(false);
    CancelButton->setDefault(false);
    FinishButton->setText(UpgradeText(auMessage(16)));
    FinishButton->setEnabled(true);
    FinishButton->setDefault(true);
    FinishButton->setFocus();
}

void TauAutoUpgraderWizardForm::CloseQuietly() {
    closeAllowed_ = true;
    close();
}

void TauAutoUpgraderWizardForm::reject() {
    close();
}

void TauAutoUpgraderWizardForm::closeEvent(QCloseEvent* event) {
    if (closed_) {
        event->accept();
        return;
    }
    if (!closeAllowed_) {
        if (ShowMessageBox(auMessage(27), component_.ApplicationTitle, MB_YESNO | MB_ICONQUESTION) != IDYES) {
            event->ignore();
            return;
        }
        closeAllowed_ = true;
        // The abort stops the transfer and asks the windows to close: this one
        // is closing already.
        component_.AbortUpgrade();
        if (closed_) {
            event->accept();
            return;
        }
    }
    closed_ = true;
    event->accept();
    if (instance == this)
        instance = nullptr;
    if (OnClosed)
        OnClosed();
}
