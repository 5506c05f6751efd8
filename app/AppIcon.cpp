#include "app/AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

QIcon ApplicationIcon() {
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 32.0, size / 32.0);
        // The database: a blue cylinder.
        const QColor blue(30, 90, 180), light(90, 150, 230);
        p.setPen(QPen(blue.darker(130), 1.2));
        p.setBrush(light);
        p.drawRect(QRectF(3, 6, 18, 18));
        p.setPen(Qt::NoPen);
        p.drawRect(QRectF(3.6, 6, 16.8, 18));
        p.setPen(QPen(blue.darker(130), 1.2));
        p.setBrush(light);
        p.drawEllipse(QRectF(3, 20, 18, 7));
        p.setPen(Qt::NoPen);
        p.drawRect(QRectF(3.6, 8, 16.8, 15));
        p.setPen(QPen(blue.darker(130), 1.2));
        p.drawLine(QPointF(3, 9.5), QPointF(3, 23.5));
        p.drawLine(QPointF(21, 9.5), QPointF(21, 23.5));
        p.setBrush(QColor(170, 205, 250));
        p.drawEllipse(QRectF(3, 6, 18, 7));
        // The mail: a white envelope at the lower right.
        p.setBrush(Qt::white);
        p.setPen(QPen(QColor(200, 120, 0), 1.4));
        p.drawRect(QRectF(14, 17, 16, 12));
        QPainterPath flap;
        flap.moveTo(14, 17);
        flap.lineTo(22, 24);
        flap.lineTo(30, 17);
        p.setBrush(Qt::NoBrush);
        p.drawPath(flap);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
