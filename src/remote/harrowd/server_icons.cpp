#include "remote/harrowd/server_icons.h"

#include <QPainter>
#include <QPainterPath>

namespace harrow::remote {
namespace {

const QColor kLit(0x2e, 0xb8, 0x3c);
const QColor kDark(0x8a, 0x8a, 0x8a);

// A drive with its lamp, at `size` pixels square.
QPixmap drive(int size, bool online) {
    QPixmap p(size, size);
    p.fill(Qt::transparent);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 32.0;
    g.scale(s, s);
    g.setPen(QPen(QColor(0x3a, 0x3a, 0x3a), 1.5));
    g.setBrush(QColor(0xd8, 0xdc, 0xe2));
    g.drawRoundedRect(QRectF(2, 9, 28, 14), 3, 3);
    g.setBrush(online ? kLit : kDark);
    g.drawEllipse(QRectF(22, 13.5, 5, 5));
    g.setPen(QPen(QColor(0x5a, 0x5a, 0x5a), 1.2));
    for (int x = 6; x <= 16; x += 3) g.drawLine(QPointF(x, 13), QPointF(x, 19));
    if (online) {
        // The link to the network the server is serving on.
        g.setPen(QPen(kLit, 2));
        g.drawLine(QPointF(16, 23), QPointF(16, 29));
        g.drawLine(QPointF(8, 29), QPointF(24, 29));
    }
    return p;
}

}  // namespace

QPixmap activityPicture(bool busy) {
    QPixmap p(12, 12);
    p.fill(Qt::transparent);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    g.setBrush(busy ? kLit : kDark);
    g.drawEllipse(QRectF(1.5, 1.5, 9, 9));
    return p;
}

QIcon trayIcon(bool online) {
    QIcon icon;
    for (int size : {16, 22, 32, 48}) icon.addPixmap(drive(size, online));
    return icon;
}

}  // namespace harrow::remote
