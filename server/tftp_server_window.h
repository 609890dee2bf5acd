#pragma once

#include "engine/tftp_server_core.h"
#include "platform/icmp_control.h"
#include "platform/status_bar.h"
#include "platform/timer.h"
#include "server/c_sys_tray.h"

#include <QMainWindow>

class QListView;

// The main window TFTPServer: the engine's listening socket and transfer list, shown with its
// status bar, tray icon and inactivity timer.
class TFTPServerWindow : public TFTPServerCore {
    Q_OBJECT
public:
    explicit TFTPServerWindow(QObject* parent = nullptr);
    ~TFTPServerWindow() override;

    // Loads the window when needed, then makes it visible (modeless).
    void Show();

    QMainWindow* Window;
    platform::IcmpControl* ICMP;
    cSysTray* SysTray;
    platform::StatusBar* StatusBar;
    QListView* LogView;
    platform::Timer* InactivityTimer;
    qint16 InactivitySeconds = 0;

    static constexpr int kInactivityIntervalMs = 10000;

    void InactivityTimer_Timer();

protected:
    void Form_Load() override;
    void Form_QueryUnload(int& cancel, platform::UnloadMode mode) override;
    void Form_Unload(int& cancel) override;

private:
    void LoadFailed();
    void Withdraw();
};

// Whether the process was started for an automation client rather than by a user.
bool AutomationMode();
void SetAutomationMode(bool on);

// The program's default instance of the main window (TFTPServer() as the window class).
TFTPServerWindow& MainWindow();
