#include "server/main_program.h"

#include "engine/globals.h"
#include "engine/ip_range.h"
#include "platform/descriptors.h"
#include "platform/end_signals.h"
#include "platform/form.h"
#include "platform/msg_box.h"
#include "platform/registry.h"
#include "platform/win_file.h"
#include "server/automation_bus.h"
#include "server/automation_registration.h"
#include "server/single_instance.h"
#include "server/tftp_server_window.h"
#include "toolkit/help_menu_functions.h"

#include <QApplication>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* kAutomationSwitch = "--automation";
constexpr const char* kRegisterSwitch = "--regserver";
constexpr const char* kUnregisterSwitch = "--unregserver";
constexpr const char* kHelpSwitches[] = {"--help", "-h"};
constexpr const char* kUsage =
    "usage: %s [--automation | --regserver | --unregserver]\n"
    "  (none)          serve TFTP on UDP port 69 and show the server's window\n"
    "  --automation    start for an automation client on the session bus\n"
    "  --regserver     register the program for automation clients, then end\n"
    "  --unregserver   remove that registration, then end\n"
    "  --help          show this text\n";
constexpr const char* kAlreadyRunning = "The TFTP server is already running !";
constexpr const char* kLookInTray = "Look in Windows SystemTray.";
constexpr const char* kStoreUnreadable = "Cannot read the settings store ";
constexpr const char* kNotStarted = "The TFTP server was not started.";
constexpr const char* kHelpFile = "/Help/Quorvane.chm";
constexpr const char* kTipSection = "TFTPServer";

constexpr int kExitNormal = 0;
constexpr int kExitNotServing = 1;
constexpr int kExitUsage = 2;

// Set once an end signal has asked the program to end; no later step of the start-up runs.
bool g_ending = false;
int g_exitCode = kExitNormal;

bool isSwitch(const char* arg, const char* name) {
    return std::strcmp(arg, name) == 0;
}

bool hasSwitch(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc; ++i) {
        if (isSwitch(argv[i], name)) {
            return true;
        }
    }
    return false;
}

bool asksForHelp(int argc, char** argv) {
    for (const char* help : kHelpSwitches) {
        if (hasSwitch(argc, argv, help)) {
            return true;
        }
    }
    return false;
}

// The first argument that is neither ours nor taken by the toolkit, or nullptr.
const char* unknownArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!isSwitch(argv[i], kAutomationSwitch) && !isSwitch(argv[i], kRegisterSwitch) &&
            !isSwitch(argv[i], kUnregisterSwitch)) {
            return argv[i];
        }
    }
    return nullptr;
}

void printUsage(const char* program) {
    std::fprintf(stderr, kUsage, program);
}

// The store is there but cannot be read: starting on defaults would drop its permitted ranges
// and serve a root directory nobody chose, so the program says why and does not start.
bool settingsStoreReadable() {
    std::string file;
    std::string reason;
    if (RegistryUsable(file, reason)) {
        return true;
    }
    const QString text = QLatin1String(kStoreUnreadable) + QString::fromLocal8Bit(file) +
                         QStringLiteral(": ") + QString::fromLocal8Bit(reason) + QLatin1Char('.') +
                         QLatin1Char('\r') + QLatin1String(kNotStarted);
    if (AutomationMode()) {
        // Nobody sat down to start it: the bus's log is where this is read.
        QString flat = text;
        flat.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        std::fprintf(stderr, "%s: %s\n", platform::kDefaultMsgBoxTitle,
                     flat.toLocal8Bit().constData());
    } else {
        platform::MsgBox(text, platform::vbCritical | platform::vbOKOnly,
                         QLatin1String(platform::kDefaultMsgBoxTitle));
    }
    return false;
}

// Whether anyone could see and close a window: on the offscreen platform nobody can.
bool windowsCanBeSeen() {
    return QGuiApplication::platformName() != QLatin1String("offscreen") &&
           QGuiApplication::platformName() != QLatin1String("minimal");
}

// Notices of the toolkit's that tell the user of nothing amiss, and nothing to do.
QtMessageHandler g_nextHandler = nullptr;
bool g_offscreen = false;
void quietNotices(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg) {
        // Started without a session's runtime folder (su -, a service, cron), Qt makes one of its
        // own, private to the user, and says so. Any fault with that folder is still told.
        if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) {
            return;
        }
        // The offscreen platform says of each window call it cannot carry out (raise, size
        // hints) that it does not support it; without a display that is no fault of ours.
        if (g_offscreen && message.startsWith(QLatin1String("This plugin does not support"))) {
            return;
        }
    }
    g_nextHandler(type, context, message);
}

} // namespace

void EndProgram() {
    g_ending = true;
    QList<QPointer<platform::Form>> forms;
    for (platform::Form* f : platform::Forms::Loaded()) {
        forms.append(f);
    }
    for (const QPointer<platform::Form>& f : forms) {
        if (f && f->IsLoaded()) {
            f->Unload(platform::vbAppWindows);
        }
    }
    QCoreApplication::exit(g_exitCode);
}

void WaitForOpenWindows() {
    bool open = false;
    for (const QWidget* w : QApplication::topLevelWidgets()) {
        open = open || w->isVisible();
    }
    if (!open) {
        return;
    }
    const bool quitOnClose = QGuiApplication::quitOnLastWindowClosed();
    QGuiApplication::setQuitOnLastWindowClosed(true);
    QApplication::exec();
    QGuiApplication::setQuitOnLastWindowClosed(quitOnClose);
}

int Main(int argc, char** argv) {
    // The command line is read before anything starts.
    if (asksForHelp(argc, argv)) {
        printUsage(argv[0]);
        return kExitNormal;
    }
    // Every transfer holds descriptors; serve as many at once as the system lets us.
    platform::RaiseDescriptorLimit();
    // Under a file-size limit an upload past it must fail on its own, not end every transfer.
    platform::IgnoreFileSizeSignal();
    // Without a display the program still serves, on Qt's offscreen platform.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // Before the toolkit starts, which already speaks while it comes up.
    g_nextHandler = qInstallMessageHandler(quietNotices);
    // The toolkit takes its own options (-platform, -style, -session ...) out of the line.
    QApplication app(argc, argv);
    g_offscreen = QGuiApplication::platformName() == QLatin1String("offscreen");
    if (const char* unknown = unknownArgument(argc, argv)) {
        std::fprintf(stderr, "%s: unknown option '%s'\n", argv[0], unknown);
        printUsage(argv[0]);
        return kExitUsage;
    }
    QApplication::setApplicationName(QLatin1String(platform::kDefaultMsgBoxTitle));
    // The process lives while a form is loaded, not while a window is visible.
    QApplication::setQuitOnLastWindowClosed(false);
    // Registering for automation clients starts nothing else.
    if (hasSwitch(argc, argv, kRegisterSwitch)) {
        return RegisterAutomationServer(QCoreApplication::applicationFilePath()) ? kExitNormal
                                                                                 : kExitNotServing;
    }
    if (hasSwitch(argc, argv, kUnregisterSwitch)) {
        return UnregisterAutomationServer() ? kExitNormal : kExitNotServing;
    }
    SetAutomationMode(hasSwitch(argc, argv, kAutomationSwitch));
    platform::OnEndSignal([](int) { EndProgram(); });
    if (!settingsStoreReadable()) {
        return kExitNotServing;
    }
    SetTFTPServerFactory([] { return new TFTPServerWindow; });

    Globals::LoadSettings();
    LoadIPRanges();

    // Either mode counts as a running instance for a later standalone start.
    const bool previous = PreviousInstanceRunning();
    if (!AutomationMode()) {
        if (previous) {
            platform::MsgBox(QLatin1String(kAlreadyRunning) + QLatin1Char('\r') +
                                 QLatin1String(kLookInTray),
                             platform::vbOKOnly, QLatin1String(platform::kDefaultMsgBoxTitle));
            return kExitNotServing;
        }
        platform::Forms::SetOnEmpty([] { QCoreApplication::exit(g_exitCode); });
        HelpMenuFunctions::HelpFile = Globals::ProgramFolder() + QLatin1String(kHelpFile);
        // A window that could not bind has shown why and unloaded itself: showing it now would
        // load it a second time.
        TFTPServerWindow& window = MainWindow();
        const bool serving = TFTPServerLoaded();
        if (serving) {
            window.Show();
        } else {
            g_exitCode = kExitNotServing;
        }
        if (g_ending) {
            return g_exitCode;
        }
        ToolTips::ShowTipOfTheDay(QLatin1String(kTipSection), false);
        if (!serving) {
            // The tip is offered all the same: it is read and closed before the program ends.
            if (windowsCanBeSeen()) {
                WaitForOpenWindows();
            }
            return kExitNotServing;
        }
        if (platform::Forms::Count() == 0) {
            return g_exitCode;
        }
    } else if (!StartAutomationBus()) {
        // Nobody could reach the server: no bus, or another process serves the name.
        return kExitNotServing;
    }
    if (g_ending) {
        return g_exitCode;
    }
    return QApplication::exec();
}
