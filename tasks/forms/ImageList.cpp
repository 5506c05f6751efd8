#include "tasks/forms/ImageList.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

using TDraw = std::function<void(QPainter&)>;

// Draws on a 16-unit square, at 16 and at 32 pixels, so the picture stays sharp
// on screens that scale.
QIcon Draw(const TDraw& draw) {
    QIcon icon;
    for (int size : {16, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 16.0, size / 16.0);
        draw(painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void Page(QPainter& p, QRectF r, QColor fill = Qt::white) {
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(fill);
    p.drawRect(r);
}

void Arrow(QPainter& p, QPointF from, QPointF to, QColor color) {
    p.setPen(QPen(color, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(from, to);
    const QPointF d = (to - from) / std::max(1.0, std::hypot(to.x() - from.x(), to.y() - from.y()));
    const QPointF n(-d.y(), d.x());
    QPainterPath head;
    head.moveTo(to + d * 1.5);
    head.lineTo(to - d * 2.5 + n * 3);
    head.lineTo(to - d * 2.5 - n * 3);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPath(head);
}

void Sheet(QPainter& p) {
    Page(p, QRectF(1.5, 1.5, 10, 13), QColor(235, 250, 235));
    p.setPen(QPen(QColor(40, 140, 60), 0.8));
    for (double y = 5; y < 14; y += 3) p.drawLine(QPointF(2, y), QPointF(11, y));
    p.drawLine(QPointF(6.5, 2), QPointF(6.5, 14));
}

void Disc(QPainter& p, QColor color, const char* letter) {
    p.setPen(QPen(color.darker(140), 1));
    p.setBrush(color);
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    QFont font;
    font.setBold(true);
    font.setPixelSize(11);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(1.5, 1.5, 13, 13), Qt::AlignCenter, letter);
}

} // namespace

std::vector<QIcon> MakeImageList1() {
    std::vector<QIcon> images;
    images.push_back(Draw([](QPainter& p) { // 0 copy: two pages
        Page(p, QRectF(1.5, 1.5, 9, 11));
        Page(p, QRectF(5.5, 4.5, 9, 11), QColor(220, 235, 255));
    }));
    images.push_back(Draw([](QPainter& p) { // 1 paste: clipboard with a page
        p.setPen(QPen(QColor(110, 70, 30), 1));
        p.setBrush(QColor(200, 150, 80));
        p.drawRoundedRect(QRectF(1.5, 2.5, 11, 13), 1.5, 1.5);
        p.setBrush(QColor(160, 160, 160));
        p.drawRect(QRectF(4.5, 1.5, 5, 3));
        Page(p, QRectF(7.5, 6.5, 7, 9), QColor(220, 235, 255));
    }));
    images.push_back(Draw([](QPainter& p) { // 2 export: sheet, arrow out
        Sheet(p);
        Arrow(p, QPointF(8, 11), QPointF(13.5, 11), QColor(200, 80, 20));
    }));
    images.push_back(Draw([](QPainter& p) { // 3 import: sheet, arrow in
        Sheet(p);
        Arrow(p, QPointF(15, 11), QPointF(9.5, 11), QColor(30, 90, 200));
    }));
    images.push_back(Draw([](QPainter& p) { // 4 new: page with a plus
        Page(p, QRectF(2.5, 1.5, 10, 13));
        p.setPen(QPen(QColor(20, 150, 40), 2.5));
        p.drawLine(QPointF(11, 8), QPointF(11, 15));
        p.drawLine(QPointF(7.5, 11.5), QPointF(14.5, 11.5));
    }));
    images.push_back(Draw([](QPainter& p) { // 5 save: a diskette
        p.setPen(QPen(QColor(20, 40, 110), 1));
        p.setBrush(QColor(50, 90, 190));
        p.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 1.5, 1.5);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(4, 1.5, 8, 5));
        p.setBrush(QColor(190, 190, 190));
        p.drawRect(QRectF(4, 9.5, 8, 5));
    }));
    images.push_back(Draw([](QPainter& p) { // 6 delete: red cross
        p.setPen(QPen(QColor(210, 30, 30), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
        p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
    }));
    images.push_back(Draw([](QPainter& p) { // 7 pause: two bars
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(220, 120, 0));
        p.drawRoundedRect(QRectF(3, 2, 3.5, 12), 1, 1);
        p.drawRoundedRect(QRectF(9.5, 2, 3.5, 12), 1, 1);
    }));
    images.push_back(Draw([](QPainter& p) { // 8 resume: play triangle
        QPainterPath path;
        path.moveTo(3.5, 2);
        path.lineTo(14, 8);
        path.lineTo(3.5, 14);
        path.closeSubpath();
        p.setPen(QPen(QColor(0, 110, 0), 1));
        p.setBrush(QColor(0, 180, 0));
        p.drawPath(path);
    }));
    images.push_back(Draw([](QPainter& p) { // 9 settings: a gear
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(100, 110, 125));
        p.translate(8, 8);
        for (int i = 0; i < 8; ++i) {
            p.drawRect(QRectF(-1.3, -7.5, 2.6, 4));
            p.rotate(45);
        }
        p.drawEllipse(QPointF(0, 0), 5.2, 5.2);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(0, 0), 2, 2);
    }));
    images.push_back(Draw([](QPainter& p) { Disc(p, QColor(40, 110, 210), "i"); })); // 10 about
    images.push_back(Draw([](QPainter& p) { Disc(p, QColor(20, 150, 140), "?"); })); // 11 help
    return images;
}
