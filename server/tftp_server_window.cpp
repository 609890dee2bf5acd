#include "server/tftp_server_window.h"

#include "engine/globals.h"
#include "platform/msg_box.h"

#include <QCloseEvent>
#include <QListView>
#include <QVBoxLayout>

namespace {

constexpr const char* kCaption = "TFTP Server";
constexpr const char* kTrayTip = "Quorvane TFTP Server";
constexpr const char* kCannotStart = "Cannot start TFTP server.";
constexpr const char* kPortTaken = "A TFTP Server is already running on port ";
constexpr int kTftpPort = 69;

bool g_automation = false;

// The window's close box unloads the form, as every other way out does.
class MainWindowWidget : public QMainWindow {
public:
    explicit MainWindowWidget(TFTPServerWindow* form) : form_(form) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        if (form_->IsLoaded()) {
            form_->Unload(platform::vbFormControlMenu);
        }
        event->accept();
    }

private:
    TFTPServerWindow* form_;
};

} // namespace

bool AutomationMode() {
    return g_automation;
}
void SetAutomationMode(bool on) {
    g_automation = on;
}

TFTPServerWindow& MainWindow() {
    return static_cast<TFTPServerWindow&>(TFTPServer());
}

TFTPServerWindow::TFTPServerWindow(QObject* parent)
    : TFTPServerCore(parent), Window(new MainWindowWidget(this)),
      ICMP(new platform::IcmpControl(this)), SysTray(new cSysTray(Window)),
      StatusBar(new platform::StatusBar(Window)), LogView(new QListView(Window)),
      InactivityTimer(new platform::Timer(kInactivityIntervalMs, false, this)) {
    Window->setWindowTitle(QLatin1String(kCaption));
    LogView->setModel(Log);
    LogView->setUniformItemSizes(true);
    LogView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    auto* central = new QWidget(Window);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(LogView);
    Window->setCentralWidget(central);
    SysTray->hide();
    StatusBar->AddPanel(QStringLiteral("Status"), QString(), platform::StatusBarPanel::sbrSpring);
    StatusBar->AddPanel(QStringLiteral("IP"), QString(), platform::StatusBarPanel::sbrContents);
    StatusBar->AddPanel(QStringLiteral("Block"), QString(),
                        platform::StatusBarPanel::sbrNoAutoSize);
    layout->addWidget(StatusBar);
    connect(InactivityTimer, &platform::Timer::Tick, this,
            &TFTPServerWindow::InactivityTimer_Timer);
}

TFTPServerWindow::~TFTPServerWindow() {
    delete Window;
}

void TFTPServerWindow::Show() {
    Load();
    if (IsLoaded()) {
        Window->show();
    }
}

void TFTPServerWindow::Form_Load() {
    InactivityTimer->SetEnabled(true);
    if (!BindListener()) {
        LoadFailed();
        return;
    }
    SysTray->SetInTray(Globals::TaskBar);
    SysTray->SetTrayTip(QLatin1String(kTrayTip));
    StatusBar->Panels(QStringLiteral("Status"))->SetText(Globals::RootDir);
    StatusBar->Panels(QStringLiteral("IP"))->SetText(ICMP->Property16());
}

void TFTPServerWindow::LoadFailed() {
    if (!AutomationMode()) {
        platform::MsgBox(QLatin1String(kCannotStart) + QLatin1Char('\r') +
                             QLatin1String(kPortTaken) + QString::number(kTftpPort),
                         platform::vbCritical | platform::vbOKOnly,
                         QLatin1String(platform::kDefaultMsgBoxTitle));
    }
    Unload();
}

// Both unload handlers take the icon out of the tray and close the socket; doing it twice is
// harmless.
void TFTPServerWindow::Withdraw() {
    SysTray->SetInTray(false);
    TFTP->Close();
}

void TFTPServerWindow::Form_QueryUnload(int& cancel, platform::UnloadMode mode) {
    Q_UNUSED(cancel);
    Q_UNUSED(mode);
    Withdraw();
}

void TFTPServerWindow::Form_Unload(int& cancel) {
    Q_UNUSED(cancel);
    Withdraw();
    InactivityTimer->SetEnabled(false);
    Window->hide();
}

void TFTPServerWindow::InactivityTimer_Timer() {
    InactivitySeconds =
        qint16(qRound(double(InactivityTimer->Interval()) / 1000.0 + InactivitySeconds));
    if (InactivitySeconds >= 60) {
        --Globals::MinutesRemaining;
        if (Globals::MinutesRemaining <= 0) {
            ExitSelection_Click();
        }
        InactivitySeconds = 0;
    }
}
