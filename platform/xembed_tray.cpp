#include "platform/xembed_tray.h"

#include <QByteArray>
#include <QGuiApplication>

// Xlib comes last: its macros (None, Bool, Status ...) would clash with Qt's names.
#include <X11/Xlib.h>

namespace platform {

bool XEmbedTrayOwned() {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    Display* display = x11 ? x11->display() : nullptr;
    if (display == nullptr)
        return false;
    // The application keeps one display connection for its life.
    static const Atom selection = XInternAtom(
        display,
        QByteArray("_NET_SYSTEM_TRAY_S" + QByteArray::number(DefaultScreen(display))).constData(),
        False);
    return XGetSelectionOwner(display, selection) != None;
}

} // namespace platform
