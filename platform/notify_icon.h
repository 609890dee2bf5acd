#pragma once

#include <QIcon>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QSystemTrayIcon>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

// The shell's notification-area icons and the small window layer beneath them. Windows here are
// 32-bit handles with a window procedure and a user-data value; the shell delivers an icon's
// mouse messages to its window's procedure, as a window message. Everything runs on the
// user-interface thread.
namespace platform {

using DWORD = uint32_t;
using LONG = int32_t;
using HWND = uint32_t;

// ---- windows ------------------------------------------------------------------------------

using WNDPROC = LONG (*)(HWND hWnd, uint32_t Msg, uint32_t wParam, uint32_t lParam);

inline constexpr int GWL_WNDPROC = -4;
inline constexpr int GWL_USERDATA = -21;

// The procedure every control window starts with: it handles nothing and answers 0.
LONG DefWindowProcA(HWND hWnd, uint32_t Msg, uint32_t wParam, uint32_t lParam);

// A new window whose procedure is DefWindowProcA and whose user data is 0. Never returns 0.
HWND CreateControlWindow();
// Forgets the window and removes the notification icons it owns.
void DestroyControlWindow(HWND hWnd);
bool IsWindow(HWND hWnd);

// A procedure's 32-bit address, as the window layer stores it; the same procedure always gets
// the same address.
LONG AddressOfWndProc(WNDPROC proc);

// Sets GWL_WNDPROC or GWL_USERDATA and returns the previous value; 0 for an unknown window or
// index, or a procedure address that was never handed out (the window keeps its procedure).
LONG SetWindowLongA(HWND hWnd, int index, LONG value);
LONG GetWindowLongA(HWND hWnd, int index);
// Calls the procedure at `prevProc`; an unknown address answers 0 without a call.
LONG CallWindowProcA(LONG prevProc, HWND hWnd, uint32_t Msg, uint32_t wParam, uint32_t lParam);
// Delivers a message to the window's present procedure; 0 for an unknown window.
LONG SendMessageA(HWND hWnd, uint32_t Msg, uint32_t wParam, uint32_t lParam);

// Mouse messages as the shell reports them for an icon.
inline constexpr uint32_t WM_USER = 0x400;
inline constexpr uint32_t WM_MOUSEMOVE = 0x200;
inline constexpr uint32_t WM_LBUTTONDOWN = 0x201;
inline constexpr uint32_t WM_LBUTTONUP = 0x202;
inline constexpr uint32_t WM_LBUTTONDBLCLK = 0x203;
inline constexpr uint32_t WM_RBUTTONDOWN = 0x204;
inline constexpr uint32_t WM_RBUTTONUP = 0x205;
inline constexpr uint32_t WM_RBUTTONDBLCLK = 0x206;
inline constexpr uint32_t WM_MBUTTONDOWN = 0x207;

// ---- icons and pictures -------------------------------------------------------------------

// The 32-bit handle of an icon; the same icon always gets the same handle. Never returns 0.
uint32_t IconHandle(const QIcon& icon);
// The icon behind a handle; a null icon for 0 or an unknown handle.
QIcon IconFromHandle(uint32_t handle);

enum PictureType : int16_t {
    vbPicTypeNone = 0,
    vbPicTypeBitmap = 1,
    vbPicTypeMetafile = 2,
    vbPicTypeIcon = 3,
};

// A picture object: its kind, its handle (an IconHandle for icons) and what it draws.
struct StdPicture {
    int16_t Type = vbPicTypeNone;
    uint32_t Handle = 0;
    QIcon Image;
};
// Pictures are shared objects; a null reference is "nothing".
using PictureRef = std::shared_ptr<const StdPicture>;

PictureRef IconPicture(const QIcon& icon);
PictureRef BitmapPicture(const QPixmap& bitmap);
PictureRef EmptyPicture();

// ---- notification icons -------------------------------------------------------------------

inline constexpr DWORD NIM_ADD = 0;
inline constexpr DWORD NIM_MODIFY = 1;
inline constexpr DWORD NIM_DELETE = 2;

inline constexpr uint32_t NIF_MESSAGE = 1;
inline constexpr uint32_t NIF_ICON = 2;
inline constexpr uint32_t NIF_TIP = 4;

inline constexpr int kTipFieldSize = 64;

// The ANSI notify-icon record, laid out as the 32-bit shell reads it.
struct NOTIFYICONDATAA {
    uint32_t cbSize;
    uint32_t hWnd;
    uint32_t uID;
    uint32_t uFlags;
    uint32_t uCallbackMessage;
    uint32_t hIcon;
    char szTip[kTipFieldSize];
};
static_assert(sizeof(NOTIFYICONDATAA) == 88);
static_assert(offsetof(NOTIFYICONDATAA, cbSize) == 0);
static_assert(offsetof(NOTIFYICONDATAA, hWnd) == 4);
static_assert(offsetof(NOTIFYICONDATAA, uID) == 8);
static_assert(offsetof(NOTIFYICONDATAA, uFlags) == 12);
static_assert(offsetof(NOTIFYICONDATAA, uCallbackMessage) == 16);
static_assert(offsetof(NOTIFYICONDATAA, hIcon) == 20);
static_assert(offsetof(NOTIFYICONDATAA, szTip) == 24);

// Adds, modifies or deletes the icon (hWnd, uID). Fails for a null record, a cbSize other than
// 88, an unknown message, adding an icon that exists, or changing one that does not. An icon
// added while the desktop has no tray host is kept and shows once one appears (a StatusNotifier
// host on the session bus, or on X11 an XEmbed tray), and again after the host restarts;
// without a desktop (offscreen) it is kept but never shown.
bool Shell_NotifyIconA(DWORD message, NOTIFYICONDATAA* data);

// The tip a record carries: szTip up to its first NUL (or all of it), Latin-1, with trailing
// blanks trimmed.
QString TipText(const NOTIFYICONDATAA& data);

// The shell's mouse messages for one activation of a tray icon, in delivery order.
QList<uint32_t> ActivationMessages(QSystemTrayIcon::ActivationReason reason);

// ---- inspection, for tests ----------------------------------------------------------------

struct NotifyIconState {
    uint32_t hIcon = 0;
    uint32_t uCallbackMessage = 0;
    QString tip;
    bool shown = false; // a real tray icon is up; false while it waits for a tray host
};
// The icon as the shell holds it now; empty when there is none.
std::optional<NotifyIconState> NotifyIconStateOf(HWND hWnd, uint32_t uID);

struct NotifyCall {
    DWORD message;
    NOTIFYICONDATAA data;
    bool result;
};
// The recent calls, oldest first (the last few hundred are kept).
QList<NotifyCall> NotifyCallLog();
void ClearNotifyCallLog();
// The last record handed to the shell for that icon, whatever the message.
std::optional<NOTIFYICONDATAA> LastNotifyRecord(HWND hWnd, uint32_t uID);

// Delivers a mouse message for the icon as the shell would: its callback message to its
// window, with the identifier in wParam and the mouse message in lParam. False when there is
// no such icon or it has no callback message.
bool InjectTrayMouse(HWND hWnd, uint32_t uID, uint32_t mouseMessage);
// As a click of the real tray icon: every message of ActivationMessages(reason) in turn.
void InjectTrayActivation(HWND hWnd, uint32_t uID, QSystemTrayIcon::ActivationReason reason);

} // namespace platform

Q_DECLARE_METATYPE(platform::PictureRef)
