#include "about/about_library.h"

#include "about/wait.h"
#include "toolkit/common_functions.h"

#include <QBitmap>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QWidget>

#include <array>
#include <dlfcn.h>
#include <utility>

namespace Kelvaring {

namespace {

UrlOpener& urlOpenerOverride() {
    static UrlOpener opener;
    return opener;
}

// '#' black, '.' white, anything else transparent; the finger tip is the hot spot.
constexpr std::array<const char*, 32> kHandRows = {
    "",
    "",
    "",
    "",
    "",
    "           ##",
    "          #..#",
    "          #..#",
    "          #..#",
    "          #..#",
    "          #..###",
    "          #..#..###",
    "          #..#..#..##",
    "          #..#..#..#.#",
    "       ## #..#..#..#..#",
    "      #..##..........#",
    "      #...#..........#",
    "       #.............#",
    "        #............#",
    "        #............#",
    "         #..........#",
    "         #..........#",
    "          #........#",
    "          #........#",
    "          ##########",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
};
constexpr int kHandSize = 32;
constexpr int kHandHotX = 12;
constexpr int kHandHotY = 6;

} // namespace

QString LibraryFile() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&LibraryFile), &info) != 0 && info.dli_fname) {
        const QFileInfo file(QFile::decodeName(info.dli_fname));
        // The loader may name a program relative to a folder long left; a library loaded by
        // its path is always named absolutely.
        if (file.isAbsolute()) {
            return file.absoluteFilePath();
        }
    }
    return QCoreApplication::applicationFilePath();
}

QString LibraryFolder() {
    return QFileInfo(LibraryFile()).absolutePath();
}

QString HomePageAddress() {
    return Common_Functions::WebSiteBase() + QLatin1Char('/');
}

QString WebSiteCaption() {
    // The address as people write it: the label has room for little more.
    QString caption = Common_Functions::WebSiteBase();
    for (const char* scheme : {"https://", "http://"}) {
        if (caption.startsWith(QLatin1String(scheme), Qt::CaseInsensitive)) {
            caption.remove(0, static_cast<qsizetype>(qstrlen(scheme)));
            break;
        }
    }
    return caption;
}

QCursor HandCursor() {
    QImage bits(kHandSize, kHandSize, QImage::Format_MonoLSB);
    QImage mask(kHandSize, kHandSize, QImage::Format_MonoLSB);
    // QBitmap reads index 1 as black (set) and 0 as white; a bare mono image's table is the
    // other way round, which would turn the hand into its negative.
    const QList<QRgb> table{qRgb(255, 255, 255), qRgb(0, 0, 0)};
    bits.setColorTable(table);
    mask.setColorTable(table);
    bits.fill(0);
    mask.fill(0);
    for (int y = 0; y < kHandSize; ++y) {
        const QByteArray row(kHandRows[static_cast<size_t>(y)]);
        for (int x = 0; x < row.size() && x < kHandSize; ++x) {
            if (row[x] == '#' || row[x] == '.') {
                mask.setPixel(x, y, 1);
                bits.setPixel(x, y, row[x] == '#' ? 1 : 0);
            }
        }
    }
    return QCursor(QBitmap::fromImage(bits), QBitmap::fromImage(mask), kHandHotX, kHandHotY);
}

void FollowWebLink(QWidget* window, const QList<QWidget*>& handControls, qint16 seconds) {
    window->setCursor(Qt::WaitCursor);
    for (QWidget* control : handControls) {
        control->setCursor(Qt::WaitCursor);
    }
    const QString address = HomePageAddress();
    if (const UrlOpener& opener = urlOpenerOverride()) {
        opener(address);
    } else {
        Common_Functions::OpenURL(address);
    }
    Common_Functions::Wait(seconds);
    window->unsetCursor();
    for (QWidget* control : handControls) {
        control->setCursor(HandCursor());
    }
}

void SetUrlOpenerForTests(UrlOpener opener) {
    urlOpenerOverride() = std::move(opener);
}

bool SetWindowPos(QWidget* window, int insertAfter, int x, int y, int cx, int cy, unsigned flags) {
    if (!window || !window->isWindow()) {
        return false;
    }
    if (insertAfter == HWND_TOP) {
        window->raise();
    }
    if (!(flags & SWP_NOMOVE)) {
        window->move(x, y);
    }
    if (!(flags & SWP_NOSIZE)) {
        window->resize(cx, cy);
    }
    return true;
}

} // namespace Kelvaring
