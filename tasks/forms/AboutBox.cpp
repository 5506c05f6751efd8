#include "tasks/forms/AboutBox.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QGraphicsDropShadowEffect>
#include <QLinearGradient>
#include <QPainter>

#include "platform/Publisher.h"
#include "platform/ShellExecute.h"
#include "platform/VersionInfo.h"
#include "platform/qt/QtText.h"

namespace {

// "楷体_GB2312" where it exists, else another KaiTi-style face, else any
// installed Chinese face, so the title always renders.
QString TitleFamily() {
    const QStringList families = QFontDatabase::families();
    for (const char* wanted :
         {"楷体_GB2312", "KaiTi_GB2312", "楷体", "KaiTi", "AR PL UKai CN", "AR PL KaitiM GB", "Noto Serif CJK SC",
          "Noto Sans CJK SC", "WenQuanYi Zen Hei"}) {
        const QString family = Utf8Text(wanted);
        if (families.contains(family, Qt::CaseInsensitive)) return family;
    }
    const QStringList chinese = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
    return chinese.isEmpty() ? QApplication::font().family() : chinese.first();
}

} // namespace

TAboutBox::TAboutBox(QWidget* owner) : QDialog(owner) {
    setWindowTitle(Utf8Text("关于"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(400, 230);

    ProgramIcon = new QLabel(this);
    ProgramIcon->setGeometry(16, 16, 48, 48);
    const QIcon icon = owner ? owner->window()->windowIcon() : QApplication::windowIcon();
    if (!icon.isNull()) ProgramIcon->setPixmap(icon.pixmap(48, 48));

    ProductName = new QLabel(Utf8Text("SQL Server数据库备份工具"), this);
    QFont titleFont(TitleFamily());
    titleFont.setPixelSize(20);
    titleFont.setBold(true);
    ProductName->setFont(titleFont);
    ProductName->setGeometry(80, 18, 310, 30);
    // Raised: a hard grey shadow down-right, as if lit from the top left.
    auto* raised = new QGraphicsDropShadowEffect(ProductName);
    raised->setOffset(1, 1);
    raised->setBlurRadius(0);
    raised->setColor(QColor(128, 128, 128));
    ProductName->setGraphicsEffect(raised);
    ProductName->setStyleSheet("color: rgb(40, 40, 90);");

    Version = new QLabel(this);
    Version->setGeometry(80, 54, 310, 20);

    Comments = new QLabel(Utf8Text("    对SQL Server 数据库自动备份，压缩后发到您的邮箱。让您的数据高枕无忧。"), this);
    Comments->setWordWrap(true);
    Comments->setGeometry(16, 86, 368, 50);
    Comments->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    lblWebsite = new QLabel(QString::fromStdString(PublisherWebSite()), this);
    QFont linkFont = lblWebsite->font();
    linkFont.setUnderline(true);
    lblWebsite->setFont(linkFont);
    lblWebsite->setStyleSheet("color: navy;");
    lblWebsite->setCursor(Qt::PointingHandCursor);
    lblWebsite->setGeometry(16, 146, 368, 20);
    lblWebsite->installEventFilter(this);

    OKButton = new QPushButton(Utf8Text("确定"), this);
    OKButton->setGeometry(160, 186, 80, 28);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    FormCreate();
}

void TAboutBox::FormCreate() { Version->setText(AnsiToQString(GetVersionText())); }

void TAboutBox::lblWebsiteClick() { ShellOpen(PublisherWebSite()); }

QString TAboutBox::TitleFontFamily() const { return ProductName->font().family(); }

bool TAboutBox::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lblWebsite && event->type() == QEvent::MouseButtonRelease) {
        lblWebsiteClick();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TAboutBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QLinearGradient gradient(0, 0, 0, height());
    gradient.setColorAt(0, Qt::white);
    gradient.setColorAt(1, QColor(187, 196, 255));
    painter.fillRect(rect(), gradient);
}
