#include "server/main_program.h"

#include "engine/globals.h"
#include "engine/ip_range.h"
#include "platform/descriptors.h"
#include "platform/form.h"
#include "platform/msg_box.h"
#include "server/automation_bus.h"
#include "server/automation_registration.h"
#include "server/single_instance.h"
#include "server/tftp_server_window.h"
#include "toolkit/help_menu_functions.h"

#include <QApplication>
#include <QStringList>

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kAutomationSwitch = "--automation";
constexpr const char* kRegisterSwitch = "--regserver";
constexpr const char* kUnregisterSwitch = "--unregserver";
constexpr const char* kAlreadyRunning = "The TFTP server is already running !";
constexpr const char* kLookInTray = "Look in Windows SystemTray.";
constexpr const char* kHelpFile = "/Help/Quorvane.chm";
constexpr const char* kTipSection = "TFTPServer";

bool hasSwitch(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

int Main(int argc, char** argv) {
    // Every transfer holds descriptors; serve as many at once as the system lets us.
    platform::RaiseDescriptorLimit();
    // Without a display the program still serves, on Qt's offscreen platform.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QLatin1String(platform::kDefaultMsgBoxTitle));
    // The process lives while a form is loaded, not while a window is visible.
    QApplication::setQuitOnLastWindowClosed(false);
    // Registering for automation clients starts nothing else.
    if (hasSwitch(argc, argv, kRegisterSwitch)) {
        return RegisterAutomationServer(QCoreApplication::applicationFilePath()) ? 0 : 1;
    }
    if (hasSwitch(argc, argv, kUnregisterSwitch)) {
        return UnregisterAutomationServer() ? 0 : 1;
    }
    SetAutomationMode(hasSwitch(argc, argv, kAutomationSwitch));
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
            return 0;
        }
        platform::Forms::SetOnEmpty([] { QCoreApplication::exit(0); });
        HelpMenuFunctions::HelpFile = Globals::ProgramFolder() + QLatin1String(kHelpFile);
        // A window that could not bind has shown why and unloaded itself: showing it now would
        // load it a second time.
        TFTPServerWindow& window = MainWindow();
        if (TFTPServerLoaded()) {
            window.Show();
        }
        ToolTips::ShowTipOfTheDay(QLatin1String(kTipSection), false);
        if (platform::Forms::Count() == 0) {
            return 0;
        }
    } else if (!StartAutomationBus()) {
        // Nobody could reach the server: no bus, or another process serves the name.
        return 1;
    }
    return QApplication::exec();
}
