#include "server/program_icon.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QPolygon>

namespace {

// Colours of the standard 16-colour palette.
const QColor kBlack(0, 0, 0);
const QColor kGray(128, 128, 128);
const QColor kSilver(192, 192, 192);
const QColor kWhite(255, 255, 255);
const QColor kNavy(0, 0, 128);
const QColor kRed(255, 0, 0);
const QColor kLime(0, 255, 0);
const QColor kTeal(0, 128, 128);

QImage blank(int side) {
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

// A server tower, a page beside it and an arrow carrying the page across: a file served.
// `u` is the size of one grid step (1 for 16 x 16, 2 for 32 x 32).
QImage serverPicture(int u) {
    QImage image = blank(16 * u);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);
    const auto rect = [u](int x, int y, int w, int h) { return QRect(x * u, y * u, w * u, h * u); };

    // The tower.
    p.setPen(kBlack);
    p.setBrush(kSilver);
    p.drawRect(rect(1, 1, 6, 14).adjusted(0, 0, -1, -1));
    p.setPen(kGray);
    for (int y : {4, 6}) {
        p.drawLine(2 * u, y * u, 6 * u - 1, y * u);
    }
    p.fillRect(rect(2, 12, 1, 1), kLime);

    // The page, with its corner folded.
    const QPolygon page({QPoint(9 * u, 2 * u), QPoint(13 * u, 2 * u), QPoint(15 * u, 4 * u),
                         QPoint(15 * u, 10 * u), QPoint(9 * u, 10 * u)});
    p.setPen(kBlack);
    p.setBrush(kWhite);
    p.drawPolygon(page);
    p.setBrush(kSilver);
    p.drawPolygon(QPolygon({QPoint(13 * u, 2 * u), QPoint(13 * u, 4 * u), QPoint(15 * u, 4 * u)}));
    p.setPen(kNavy);
    for (int y : {5, 7}) {
        p.drawLine(10 * u, y * u, 14 * u - 1, y * u);
    }

    // The arrow from the tower across to the page's side.
    p.setPen(Qt::NoPen);
    p.setBrush(kRed);
    p.drawRect(rect(5, 12, 6, 2).adjusted(0, 0, 0, -1));
    p.drawPolygon(QPolygon(
        {QPoint(11 * u, 10 * u + u / 2), QPoint(15 * u, 13 * u), QPoint(11 * u, 15 * u + u / 2)}));
    return image;
}

} // namespace

QIcon ProgramIcon() {
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(serverPicture(2)));
    icon.addPixmap(QPixmap::fromImage(serverPicture(1)));
    return icon;
}

QIcon TrayIconImage() {
    QImage image = blank(32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(kBlack);
    p.setBrush(kTeal);
    p.drawRect(1, 1, 29, 29);
    p.drawImage(0, 0, serverPicture(2));
    return QIcon(QPixmap::fromImage(image));
}
