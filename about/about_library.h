#pragma once

#include <QCursor>
#include <QList>
#include <QString>

#include <functional>

class QWidget;

// What the About library's windows share: where the library lies, the maker's web site and the
// way its links are followed, the pointing hand and the z-order call.
namespace Kelvaring {

// The library's own file, and the folder that holds it (not the calling program's folder).
// Linked into a program instead, these are the program's file and folder.
QString LibraryFile();
QString LibraryFolder();

// The maker's home page, the target of every link of the library.
QString HomePageAddress();
// The web address as the credits windows show it.
QString WebSiteCaption();

// The 32 x 32 monochrome pointing hand with its hot spot at (12, 6).
QCursor HandCursor();

// A web link: the hourglass over the window (and over its hand-pointer controls), the browser
// opened on the home page (any message box about it shown and closed meanwhile), a blocking
// pause of `seconds`, then the pointers as they were.
void FollowWebLink(QWidget* window, const QList<QWidget*>& handControls, qint16 seconds);

// Tests see the addresses instead of a browser starting; an empty function restores OpenURL.
using UrlOpener = std::function<void(const QString& address)>;
void SetUrlOpenerForTests(UrlOpener opener);

// The z-order and placement call of the window system, for the library's own windows.
inline constexpr int HWND_TOP = 0;
inline constexpr unsigned SWP_NOSIZE = 0x1;
inline constexpr unsigned SWP_NOMOVE = 0x2;
// Puts the window at the top of the z-order (insertAfter HWND_TOP) without making it topmost,
// and moves or sizes it (pixels) unless the flags say not to.
bool SetWindowPos(QWidget* window, int insertAfter, int x, int y, int cx, int cy, unsigned flags);

} // namespace Kelvaring
