// The main window's menus, the tray icon's popup menu and their handlers.
#include "server/config_form.h"
#include "server/launch_tool.h"
#include "server/tftp_server_window.h"
#include "toolkit/about_box.h"
#include "toolkit/help_menu_functions.h"

#include <QCursor>
#include <QMenu>
#include <QMenuBar>

#include <array>

namespace {

constexpr const char* kFileMenu = "&File";
constexpr const char* kConfigure = "&Configure";
constexpr const char* kClearLog = "Clear &Log";
constexpr const char* kExit = "E&xit";
constexpr const char* kToolsMenu = "&Tools";
constexpr const char* kHelpMenu = "&Help";
constexpr const char* kContents = "&Contents ...";
constexpr const char* kHelpOnServer = "&Help on TFTP Server ...";
constexpr const char* kTipOfTheDay = "&Tip of the Day ...";
constexpr const char* kWebMenu = "Quorvane.Net &Web Site";
constexpr const char* kUpdates = "Software &Updates ...";
constexpr const char* kOnlineManual = "&On-Line Manual ...";
constexpr const char* kFAQ = "&Frequently Asked Questions ...";
constexpr const char* kFeedback = "Provide &Feedback ...";
constexpr const char* kAbout = "&About TFTP Server ...";
constexpr const char* kSystrayMenu = "Systray";
constexpr const char* kQuorvaneLink = "&Quorvane.Net TFTP Server";
constexpr const char* kStatus = "Status ...";
constexpr const char* kStop = "&Stop TFTP Server ..";

constexpr int kContentsContext = 1;
constexpr int kServerHelpContext = 2000;
constexpr const char* kTipSection = "TFTPServer";

// The companion programs: caption, program file in the program folder, product page.
struct ToolEntry {
    const char* caption;
    const char* fileName;
    const char* page;
};
constexpr std::array<ToolEntry, 13> kTools{{
    {"&Ping Plotter ...", "pingplotter", "https://www.quorvane.net/Products/PingPlotter.htm"},
    {"&Trace Route ...", "traceroute", "https://www.quorvane.net/Products/TraceRoute.htm"},
    {"&Whois Lookup ...", "whoislookup", "https://www.quorvane.net/Products/Whois.htm"},
    {"&DNS Lookup ...", "dnslookup", "https://www.quorvane.net/Products/DNSLookup.htm"},
    {"Port &Scanner ...", "portscanner", "https://www.quorvane.net/Products/PortScanner.htm"},
    {"Sys&log Server ...", "syslogserver", "https://www.quorvane.net/Products/Syslog.htm"},
    {"&FTP Client ...", "ftpclient", "https://www.quorvane.net/Products/FTP.htm#Client"},
    {"T&elnet Client ...", "telnetclient", "https://www.quorvane.net/Products/Telnet.htm"},
    {"&Network Monitor ...", "netmonitor", "https://www.quorvane.net/Products/NetMonitor.htm"},
    {"&IP Calculator ...", "ipcalculator", "https://www.quorvane.net/Products/IPCalc.htm"},
    {"&Bandwidth Meter ...", "bandwidthmeter", "https://www.quorvane.net/Products/Bandwidth.htm"},
    {"&Mail Checker ...", "mailchecker", "https://www.quorvane.net/Products/MailChecker.htm"},
    {"Time S&ynchroniser ...", "timesync", "https://www.quorvane.net/Products/TimeSync.htm"},
}};

template <typename Handler>
QAction* addItem(QMenu* menu, const char* caption, TFTPServerWindow* form, Handler handler) {
    QAction* action = menu->addAction(QLatin1String(caption));
    QObject::connect(action, &QAction::triggered, form, handler);
    return action;
}

} // namespace

void TFTPServerWindow::BuildMenus() {
    QMenuBar* bar = Window->menuBar();

    FileMenu = bar->addMenu(QLatin1String(kFileMenu));
    ConfigureSelection =
        addItem(FileMenu, kConfigure, this, [this] { ConfigureSelection_Click(); });
    FileMenu->addSeparator();
    ClearLogSelection = addItem(FileMenu, kClearLog, this, [this] { ClearLogSelection_Click(); });
    ExitSelection = addItem(FileMenu, kExit, this, [this] { ExitSelection_Click(); });

    ToolsMenu = bar->addMenu(QLatin1String(kToolsMenu));
    for (const ToolEntry& tool : kTools) {
        ToolSelections.append(addItem(ToolsMenu, tool.caption, this, [tool] {
            LaunchTool(QLatin1String(tool.fileName), QLatin1String(tool.page));
        }));
    }

    HelpMenu = bar->addMenu(QLatin1String(kHelpMenu));
    ContentsSelection = addItem(HelpMenu, kContents, this, [this] { ContentsSelection_Click(); });
    HelpSelection = addItem(HelpMenu, kHelpOnServer, this, [this] { HelpSelection_Click(); });
    HelpToolTip = addItem(HelpMenu, kTipOfTheDay, this, [this] { HelpToolTip_Click(); });
    HelpMenu->addSeparator();
    QuorvaneWebMenu = HelpMenu->addMenu(QLatin1String(kWebMenu));
    UpdatesSelection =
        addItem(QuorvaneWebMenu, kUpdates, this, [this] { UpdatesSelection_Click(); });
    HelpOnLineSelection =
        addItem(QuorvaneWebMenu, kOnlineManual, this, [this] { HelpOnLineSelection_Click(); });
    FAQSelection = addItem(QuorvaneWebMenu, kFAQ, this, [this] { FAQSelection_Click(); });
    QuorvaneWebMenu->addSeparator();
    FeedbackSelection =
        addItem(QuorvaneWebMenu, kFeedback, this, [this] { FeedbackSelection_Click(); });
    HelpMenu->addSeparator();
    AboutSelection = addItem(HelpMenu, kAbout, this, [this] { AboutSelection_Click(); });

    SystrayPopup = bar->addMenu(QLatin1String(kSystrayMenu));
    SystrayPopup->menuAction()->setVisible(false);
    QuorvaneLink = addItem(SystrayPopup, kQuorvaneLink, this, [this] { QuorvaneLink_Click(); });
    SystrayPopup->addSeparator();
    StatusPopup = addItem(SystrayPopup, kStatus, this, [this] { StatusPopup_Click(); });
    StopPopup = addItem(SystrayPopup, kStop, this, [this] { StopPopup_Click(); });

    connect(SysTray, &cSysTray::MouseDown, this, &TFTPServerWindow::SysTray_MouseDown);
}

void TFTPServerWindow::ConfigureSelection_Click() {
    Window->setCursor(Qt::WaitCursor);
    ShowConfigForm();
    Window->unsetCursor();
}

void TFTPServerWindow::ClearLogSelection_Click() {
    Log->Clear();
}

void TFTPServerWindow::ContentsSelection_Click() {
    HelpMenuFunctions::ShowHelpTopic(kContentsContext);
}

void TFTPServerWindow::HelpSelection_Click() {
    HelpMenuFunctions::ShowHelpTopic(kServerHelpContext);
}

void TFTPServerWindow::HelpToolTip_Click() {
    ToolTips::ShowTipOfTheDay(QLatin1String(kTipSection), true);
}

void TFTPServerWindow::UpdatesSelection_Click() {
    HelpMenuFunctions::OpenUpdatesPage();
}

void TFTPServerWindow::HelpOnLineSelection_Click() {
    HelpMenuFunctions::OpenOnlineManual();
}

void TFTPServerWindow::FAQSelection_Click() {
    HelpMenuFunctions::OpenFAQPage();
}

void TFTPServerWindow::FeedbackSelection_Click() {
    HelpMenuFunctions::OpenFeedbackPage();
}

void TFTPServerWindow::AboutSelection_Click() {
    HelpMenuFunctions::ShowAboutBox(Icon, QString());
}

void TFTPServerWindow::RestoreAndShow() {
    Window->setWindowState(Window->windowState() &
                           ~(Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen));
    Show();
    // Asked for from the tray, the window comes to the front even when it was only covered.
    Window->raise();
    Window->activateWindow();
}

void TFTPServerWindow::QuorvaneLink_Click() {
    RestoreAndShow();
}

void TFTPServerWindow::StatusPopup_Click() {
    RestoreAndShow();
}

void TFTPServerWindow::StopPopup_Click() {
    ExitSelection_Click();
}

void TFTPServerWindow::SysTray_MouseDown(qint16 Button, qint32 ID) {
    Q_UNUSED(Button);
    Q_UNUSED(ID);
    SystrayPopup->popup(QCursor::pos());
}
