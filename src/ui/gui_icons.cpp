#include "ui/gui_icons.h"

#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

static void registerHarrowResources() { Q_INIT_RESOURCE(harrow); }

namespace harrow::gui {
namespace {

// All drawing happens on a 32 x 32 grid, scaled to the pixmap's size.
constexpr double kGrid = 32.0;

const QColor kInk(60, 60, 60);
const QColor kFolder(240, 196, 80);
const QColor kFolderDark(196, 146, 40);
const QColor kLost(196, 200, 210);
const QColor kPage(255, 255, 255);
const QColor kRed(204, 40, 40);
const QColor kOrange(230, 140, 20);
const QColor kGreen(40, 150, 60);
const QColor kBlue(40, 100, 200);

QPen pen(const QColor& c, double width = 1.4, Qt::PenStyle style = Qt::SolidLine) {
    QPen p(c, width, style, Qt::RoundCap, Qt::RoundJoin);
    return p;
}

void folder(QPainter& p, bool lost) {
    QPainterPath back;
    back.moveTo(3, 8);
    back.lineTo(12, 8);
    back.lineTo(15, 11);
    back.lineTo(29, 11);
    back.lineTo(29, 27);
    back.lineTo(3, 27);
    back.closeSubpath();
    p.setPen(pen(lost ? kInk : kFolderDark, 1.4, lost ? Qt::DashLine : Qt::SolidLine));
    p.setBrush(lost ? kLost : kFolder);
    p.drawPath(back);
    p.setBrush(lost ? kLost.lighter(110) : kFolder.lighter(115));
    p.drawRect(QRectF(3, 14, 26, 13));
}

void page(QPainter& p, bool deleted) {
    QPainterPath sheet;
    sheet.moveTo(7, 3);
    sheet.lineTo(20, 3);
    sheet.lineTo(26, 9);
    sheet.lineTo(26, 29);
    sheet.lineTo(7, 29);
    sheet.closeSubpath();
    p.setPen(pen(kInk, 1.4, deleted ? Qt::DashLine : Qt::SolidLine));
    p.setBrush(deleted ? QColor(235, 235, 235) : kPage);
    p.drawPath(sheet);
    p.drawPolyline(QPolygonF({QPointF(20, 3), QPointF(20, 9), QPointF(26, 9)}));
    p.setPen(pen(QColor(150, 150, 150), 1.2));
    for (double y : {13.0, 17.0, 21.0}) p.drawLine(QPointF(10, y), QPointF(23, y));
}

// A badge in the lower right corner: a disc with a white mark in it.
void badgeDisc(QPainter& p, const QColor& c) {
    p.setPen(pen(Qt::white, 1.2));
    p.setBrush(c);
    p.drawEllipse(QRectF(15, 15, 16, 16));
}

void markCross(QPainter& p) {
    p.setPen(pen(Qt::white, 2.6));
    p.drawLine(QPointF(19.5, 19.5), QPointF(26.5, 26.5));
    p.drawLine(QPointF(26.5, 19.5), QPointF(19.5, 26.5));
}

void markCheck(QPainter& p) {
    p.setPen(pen(Qt::white, 2.6));
    p.drawPolyline(QPolygonF({QPointF(18.5, 23.5), QPointF(21.8, 26.5), QPointF(27.5, 19.5)}));
}

void markText(QPainter& p, const QString& text, const QRectF& box, const QColor& c = Qt::white) {
    QFont f;
    f.setPixelSize(12);
    f.setBold(true);
    p.setFont(f);
    p.setPen(c);
    p.drawText(box, Qt::AlignCenter, text);
}

// A warning triangle with "!".
void badgeTriangle(QPainter& p) {
    p.setPen(pen(Qt::white, 1.2));
    p.setBrush(kOrange);
    p.drawPolygon(QPolygonF({QPointF(23, 14), QPointF(31.5, 30.5), QPointF(14.5, 30.5)}));
    markText(p, "!", QRectF(17, 18, 12, 12));
}

// A square: all of the file's clusters are free, so it can be taken back as one run.
void badgeFullSquare(QPainter& p) {
    p.setPen(pen(Qt::white, 1.2));
    p.setBrush(kBlue);
    p.drawRect(QRectF(16, 16, 14, 14));
}

// A square filled to its first quarter: only the first cluster is known to be free.
void badgePartSquare(QPainter& p) {
    p.setPen(pen(kBlue, 1.6));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(16, 16, 14, 14));
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawRect(QRectF(17, 17, 5, 12.5));
}

void badgeQuestion(QPainter& p) {
    badgeDisc(p, QColor(110, 110, 120));
    markText(p, "?", QRectF(15, 15, 16, 16));
}

// A roof: the parent was the root.
void badgeRoof(QPainter& p) {
    badgeDisc(p, QColor(110, 110, 120));
    p.setPen(pen(Qt::white, 2.0));
    p.drawPolyline(QPolygonF({QPointF(18.5, 24), QPointF(23, 19.5), QPointF(27.5, 24)}));
    p.drawLine(QPointF(20, 24), QPointF(20, 27.5));
    p.drawLine(QPointF(26, 24), QPointF(26, 27.5));
    p.drawLine(QPointF(20, 27.5), QPointF(26, 27.5));
}

// Two links of a chain: named through a lost parent.
void badgeLink(QPainter& p) {
    badgeDisc(p, QColor(110, 110, 120));
    p.setPen(pen(Qt::white, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(18, 20, 6, 6));
    p.drawEllipse(QRectF(22, 20, 6, 6));
}

// A pencil: renamed by the user.
void badgePencil(QPainter& p) {
    badgeDisc(p, kGreen);
    p.setPen(pen(Qt::white, 2.4));
    p.drawLine(QPointF(19, 27), QPointF(27, 19));
    p.setPen(pen(Qt::white, 1.2));
    p.drawLine(QPointF(18, 28), QPointF(19.5, 28));
}

// A small disc on the folder: the root level.
void badgeRoot(QPainter& p) {
    p.setPen(pen(Qt::white, 1.2));
    p.setBrush(kBlue);
    p.drawEllipse(QRectF(17, 17, 12, 12));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(21.5, 21.5, 3, 3));
}

void disk(QPainter& p, const QColor& body) {
    p.setPen(pen(kInk));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(3, 10, 26, 14), 3, 3);
    p.setBrush(kGreen);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(23, 19, 3, 3));
    p.setPen(pen(QColor(120, 120, 120), 1.0));
    p.drawLine(QPointF(6, 20.5), QPointF(18, 20.5));
}

void removable(QPainter& p) {
    p.setPen(pen(kInk));
    p.setBrush(QColor(70, 110, 190));
    p.drawRoundedRect(QRectF(9, 10, 14, 19), 2, 2);
    p.setBrush(QColor(200, 200, 200));
    p.drawRect(QRectF(12, 3, 8, 7));
    p.setBrush(kInk);
    p.drawRect(QRectF(14, 5, 1.5, 2));
    p.drawRect(QRectF(16.5, 5, 1.5, 2));
}

void ramDisk(QPainter& p) {
    p.setPen(pen(kInk));
    for (double x = 7; x <= 25; x += 4.5) {
        p.drawLine(QPointF(x, 6), QPointF(x, 9));
        p.drawLine(QPointF(x, 23), QPointF(x, 26));
    }
    p.setBrush(QColor(40, 120, 80));
    p.drawRect(QRectF(4, 9, 24, 14));
    // Memory cells.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(230, 200, 90));
    for (double x = 7; x <= 22; x += 5) p.drawRect(QRectF(x, 12.5, 3, 7));
}

// A FAT copy: a small table; usable or not.
void fatTable(QPainter& p, bool good) {
    p.setPen(pen(kInk));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(3, 4, 20, 22));
    p.setPen(pen(QColor(150, 150, 150), 1.0));
    for (double y : {9.5, 15.0, 20.5}) p.drawLine(QPointF(3, y), QPointF(23, y));
    p.drawLine(QPointF(11, 4), QPointF(11, 26));
    if (good) {
        badgeDisc(p, kGreen);
        markCheck(p);
    } else {
        badgeDisc(p, kRed);
        markCross(p);
    }
}

void arrowUp(QPainter& p) {
    folder(p, false);
    p.setPen(pen(kInk, 2.6));
    p.drawLine(QPointF(16, 25), QPointF(16, 15));
    p.drawPolyline(QPolygonF({QPointF(11.5, 19), QPointF(16, 14.5), QPointF(20.5, 19)}));
}

void squares(QPainter& p, int per, double gap) {
    const double cell = (26.0 - gap * (per - 1)) / per;
    p.setPen(pen(kInk, 1.0));
    p.setBrush(QColor(120, 160, 220));
    for (int r = 0; r < per; ++r)
        for (int c = 0; c < per; ++c) p.drawRect(QRectF(3 + c * (cell + gap), 3 + r * (cell + gap), cell, cell));
}

void listLines(QPainter& p, bool details) {
    p.setPen(pen(kInk, 1.0));
    p.setBrush(QColor(120, 160, 220));
    const int columns = details ? 1 : 2;
    for (int c = 0; c < columns; ++c)
        for (int r = 0; r < 5; ++r) {
            const double x = 3 + c * 14, y = 4 + r * 5.2;
            p.drawRect(QRectF(x, y, 3.5, 3.5));
            p.drawLine(QPointF(x + 5.5, y + 1.75), QPointF(details ? 29 : x + 11, y + 1.75));
        }
    if (details) p.drawLine(QPointF(19, 3), QPointF(19, 29));
}

void gear(QPainter& p) {
    p.setPen(pen(kInk, 1.3));
    p.setBrush(QColor(170, 170, 180));
    QPainterPath path;
    for (int i = 0; i < 8; ++i) {
        p.save();
        p.translate(16, 16);
        p.rotate(i * 45);
        p.drawRect(QRectF(-2.5, -14, 5, 6));
        p.restore();
    }
    p.drawEllipse(QRectF(6, 6, 20, 20));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(12, 12, 8, 8));
}

void magnifier(QPainter& p) {
    folder(p, false);
    p.setPen(pen(kInk, 2.2));
    p.setBrush(QColor(255, 255, 255, 200));
    p.drawEllipse(QRectF(11, 10, 12, 12));
    p.setPen(pen(kInk, 3.2));
    p.drawLine(QPointF(21.5, 20.5), QPointF(28, 27));
}

void tree(QPainter& p) {
    p.setPen(pen(kInk, 1.2));
    p.drawLine(QPointF(7, 10), QPointF(7, 26));
    p.drawLine(QPointF(7, 18), QPointF(13, 18));
    p.drawLine(QPointF(7, 26), QPointF(13, 26));
    auto small = [&](double x, double y) {
        p.setPen(pen(kFolderDark, 1.0));
        p.setBrush(kFolder);
        p.drawRect(QRectF(x, y, 11, 7));
    };
    small(2, 3);
    small(13, 14.5);
    small(13, 22.5);
}

void pages(QPainter& p) {
    p.save();
    p.translate(-3, -1);
    page(p, false);
    p.restore();
    p.save();
    p.translate(3, 2);
    page(p, false);
    p.restore();
}

void circleMark(QPainter& p, const QString& mark, const QColor& c) {
    p.setPen(pen(Qt::white, 1.2));
    p.setBrush(c);
    p.drawEllipse(QRectF(3, 3, 26, 26));
    QFont f;
    f.setPixelSize(19);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(3, 3, 26, 26), Qt::AlignCenter, mark);
}

void openDrive(QPainter& p) {
    disk(p, QColor(200, 200, 205));
    p.setPen(pen(kGreen, 2.6));
    p.drawLine(QPointF(16, 2), QPointF(16, 11));
    p.drawPolyline(QPolygonF({QPointF(12, 7), QPointF(16, 11), QPointF(20, 7)}));
}

void saveDisk(QPainter& p) {
    p.setPen(pen(kInk));
    p.setBrush(QColor(70, 110, 190));
    p.drawRoundedRect(QRectF(4, 4, 24, 24), 2, 2);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(8, 4, 16, 9));
    p.setBrush(QColor(200, 200, 200));
    p.drawRect(QRectF(9, 18, 14, 10));
}

// A disk image: a page with a disk on it.
void imageFile(QPainter& p) {
    page(p, false);
    p.save();
    p.translate(8, 12);
    p.scale(0.55, 0.55);
    disk(p, QColor(200, 200, 205));
    p.restore();
}

// A drive on another machine: a disk on a network line.
void networkDrive(QPainter& p) {
    p.save();
    p.translate(0, -6);
    disk(p, QColor(200, 200, 205));
    p.restore();
    p.setPen(pen(kInk, 1.6));
    p.drawLine(QPointF(16, 18), QPointF(16, 26));
    p.drawLine(QPointF(5, 27), QPointF(27, 27));
    p.setBrush(kBlue);
    p.drawRect(QRectF(13, 24.5, 6, 5));
}

void draw(QPainter& p, int number) {
    switch (number) {
    case 140: folder(p, false); badgeRoot(p); break;
    case 142: folder(p, false); break;
    case 144: folder(p, true); badgeRoof(p); break;
    case 145: folder(p, true); badgeQuestion(p); break;
    case 173: page(p, false); badgeQuestion(p); break;
    case 162: folder(p, true); badgeLink(p); break;
    case 168: folder(p, true); badgePencil(p); break;
    case 147: page(p, false); break;
    case 148: page(p, false); badgeDisc(p, kGreen); markCheck(p); break;
    case 200: page(p, false); badgeDisc(p, kRed); markCross(p); break;
    case 201: page(p, false); badgeTriangle(p); break;
    case 202: page(p, true); badgeFullSquare(p); break;
    case 206: page(p, true); badgePartSquare(p); break;
    case 132: removable(p); break;
    case 134: disk(p, QColor(200, 200, 205)); break;
    case 191: ramDisk(p); break;
    case 197: fatTable(p, true); break;
    case 199: fatTable(p, false); break;
    // Commands.
    case 57601: openDrive(p); break;
    case 33001: imageFile(p); break;
    case 32813: networkDrive(p); break;
    case 57603: saveDisk(p); break;
    case 32771: gear(p); break;
    case 32772: folder(p, false); badgeRoot(p); break;
    case 32773: magnifier(p); break;
    case 32774: folder(p, true); badgeQuestion(p); break;
    case 32775: tree(p); break;
    case 32798: pages(p); break;
    case 32779: squares(p, 2, 4); break;
    case 32780: squares(p, 3, 2.5); break;
    case 32781: listLines(p, false); break;
    case 32782: listLines(p, true); break;
    case 32793: arrowUp(p); break;
    case 57664: circleMark(p, "i", kBlue); break;
    case 57667: circleMark(p, "?", kGreen); break;
    default: break;
    }
}

QIcon drawn(int number) {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / kGrid, size / kGrid);
        draw(p, number);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon cached(int number) {
    static QHash<int, QIcon> icons;
    auto it = icons.find(number);
    if (it == icons.end()) it = icons.insert(number, drawn(number));
    return *it;
}

}  // namespace

QIcon itemIcon(int number) { return cached(number); }

QIcon commandIcon(int commandId) {
    // Theme names only where the freedesktop naming has the same meaning.
    const char* theme = nullptr;
    switch (commandId) {
    case 57603: theme = "document-save"; break;
    case 32771: theme = "preferences-system"; break;
    case 32793: theme = "go-up"; break;
    case 57664: theme = "help-about"; break;
    case 57667: theme = "help-contents"; break;
    default: break;
    }
    if (theme && QIcon::hasThemeIcon(QString::fromLatin1(theme))) return QIcon::fromTheme(QString::fromLatin1(theme));
    return cached(commandId);
}

void loadResources() {
    static const bool loaded = [] {
        registerHarrowResources();
        return true;
    }();
    (void)loaded;
}

QIcon appIcon() {
    loadResources();
    static const QIcon icon(QStringLiteral(":/harrow/harrow.svg"));
    return icon;
}

}  // namespace harrow::gui
