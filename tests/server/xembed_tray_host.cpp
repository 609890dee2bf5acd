// A bare XEmbed tray host, as a panel's notification area is to programs: it takes the tray
// selection of screen 0, announces itself to every client on the display, and prints one line
// "dock <window>" for each icon that asks to be docked. It embeds nothing and draws nothing.
// It ends after the seconds given (default 60), so that a failing test cannot leave it behind.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

constexpr long kRequestDock = 0;

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no display\n");
        return 1;
    }
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    const Atom selection = XInternAtom(display, "_NET_SYSTEM_TRAY_S0", False);
    const Atom opcode = XInternAtom(display, "_NET_SYSTEM_TRAY_OPCODE", False);
    const Atom manager = XInternAtom(display, "MANAGER", False);
    const Atom orientation = XInternAtom(display, "_NET_SYSTEM_TRAY_ORIENTATION", False);

    const Window tray = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
    const long horizontal = 0;
    XChangeProperty(display, tray, orientation, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&horizontal), 1);
    XSetSelectionOwner(display, selection, tray, CurrentTime);
    if (XGetSelectionOwner(display, selection) != tray) {
        std::fprintf(stderr, "the tray selection is taken\n");
        return 1;
    }

    XEvent announce{};
    announce.xclient.type = ClientMessage;
    announce.xclient.window = root;
    announce.xclient.message_type = manager;
    announce.xclient.format = 32;
    announce.xclient.data.l[0] = CurrentTime;
    announce.xclient.data.l[1] = static_cast<long>(selection);
    announce.xclient.data.l[2] = static_cast<long>(tray);
    XSendEvent(display, root, False, StructureNotifyMask, &announce);
    XFlush(display);
    std::printf("ready\n");
    std::fflush(stdout);

    const std::time_t end = std::time(nullptr) + seconds;
    struct pollfd fd = {ConnectionNumber(display), POLLIN, 0};
    while (std::time(nullptr) < end) {
        if (XPending(display) == 0) {
            poll(&fd, 1, 200);
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == ClientMessage && event.xclient.message_type == opcode &&
            event.xclient.data.l[1] == kRequestDock) {
            std::printf("dock %ld\n", event.xclient.data.l[2]);
            std::fflush(stdout);
        }
    }
    XCloseDisplay(display);
    return 0;
}
