#include "upgrade/forms/UpgradePictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "platform/qt/QtText.h"

namespace {

// A box with an arrow leaving it upwards: something new arriving.
void DrawPackage(QPainter& p, const QRectF& box) {
    p.setPen(QPen(QColor(60, 60, 110), 1.5));
    p.setBrush(QColor(235, 200, 120));
    p.drawRect(box);
    p.drawLine(QPointF(box.left(), box.top() + box.height() / 3), QPointF(box.right(), box.top() + box.height() / 3));
}

// An arrow pointing up, its tip at `tip`, `width` wide and `height` long.
QPainterPath UpArrow(QPointF tip, qreal width, qreal height) {
    const qreal head = height / 2, shaft = width / 3;
    QPainterPath arrow;
    arrow.moveTo(tip);
    arrow.lineTo(tip.x() + width / 2, tip.y() + head);
    arrow.lineTo(tip.x() + shaft / 2, tip.y() + head);
    arrow.lineTo(tip.x() + shaft / 2, tip.y() + height);
    arrow.lineTo(tip.x() - shaft / 2, tip.y() + height);
    arrow.lineTo(tip.x() - shaft / 2, tip.y() + head);
    arrow.lineTo(tip.x() - width / 2, tip.y() + head);
    arrow.closeSubpath();
    return arrow;
}

} // namespace

QPixmap WizardSidePicture() {
    QPixmap picture(118, 218);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 218);
    sky.setColorAt(0, QColor(30, 60, 140));
    sky.setColorAt(1, QColor(120, 170, 230));
    p.fillRect(picture.rect(), sky);
    // A globe the files come from, and the package they make.
    p.setPen(QPen(QColor(220, 235, 255), 1.2));
    p.setBrush(QColor(70, 120, 200));
    p.drawEllipse(QPointF(59, 62), 38, 38);
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(59, 62), 16, 38);
    p.drawLine(QPointF(21, 62), QPointF(97, 62));
    p.drawLine(QPointF(59, 24), QPointF(59, 100));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255));
    p.drawPath(UpArrow(QPointF(59, 108), 24, 32));
    DrawPackage(p, QRectF(34, 148, 50, 40));
    return picture;
}

QPixmap UpgradeQuestionIcon() {
    QPixmap icon(32, 32);
    icon.fill(Qt::transparent);
    QPainter p(&icon);
    p.setRenderHint(QPainter::Antialiasing);
    DrawPackage(p, QRectF(4, 12, 24, 17));
    p.setPen(QPen(QColor(20, 90, 30), 1));
    p.setBrush(QColor(60, 180, 80));
    p.drawPath(UpArrow(QPointF(16, 1), 16, 13));
    return icon;
}

QPixmap UpgradePasswordIcon() {
    QPixmap icon(32, 32);
    icon.fill(Qt::transparent);
    QPainter p(&icon);
    p.setRenderHint(QPainter::Antialiasing);
    // A padlock.
    p.setPen(QPen(QColor(90, 90, 90), 3));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(9, 3, 14, 16), 0, 180 * 16);
    p.drawLine(QPointF(9, 11), QPointF(9, 15));
    p.drawLine(QPointF(23, 11), QPointF(23, 15));
    p.setPen(QPen(QColor(120, 80, 10), 1.2));
    p.setBrush(QColor(230, 180, 50));
    p.drawRoundedRect(QRectF(5, 14, 22, 16), 2, 2);
    p.setBrush(QColor(60, 40, 10));
    p.drawEllipse(QPointF(16, 21), 2.5, 2.5);
    return icon;
}

QString UpgradeText(const AnsiString& text) {
    QString unicode = AnsiToQString(text);
    unicode.replace("\r\n", "\n");
    unicode.replace('\r', '\n');
    return unicode;
}
