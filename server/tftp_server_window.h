#pragma once

#include "engine/tftp_server_core.h"
#include "platform/icmp_control.h"
#include "platform/notify_icon.h"
#include "platform/ss_panel.h"
#include "platform/status_bar.h"
#include "platform/timer.h"
#include "server/c_sys_tray.h"
#include "server/transfer_list_view.h"

#include <QList>
#include <QMainWindow>

class QAction;
class QLabel;
class QMenu;

// The main window TFTPServer: the engine's listening socket and transfer list, shown with its
// banner, menus, status bar, tray icon and inactivity timer.
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
    TransferListView* LogView;
    platform::Timer* InactivityTimer;
    qint16 InactivitySeconds = 0;

    static constexpr int kInactivityIntervalMs = 10000;

    // The program icon, the same picture object that the About box is handed.
    platform::PictureRef Icon;
    platform::SSPanel* Banner;
    QWidget* LinkLine;
    QLabel* Image1;

    QMenu* FileMenu = nullptr;
    QAction* ConfigureSelection = nullptr;
    QAction* ClearLogSelection = nullptr;
    QAction* ExitSelection = nullptr;
    QMenu* ToolsMenu = nullptr;
    QList<QAction*> ToolSelections;
    QMenu* HelpMenu = nullptr;
    QAction* ContentsSelection = nullptr;
    QAction* HelpSelection = nullptr;
    QAction* HelpToolTip = nullptr;
    QMenu* QuorvaneWebMenu = nullptr;
    QAction* UpdatesSelection = nullptr;
    QAction* HelpOnLineSelection = nullptr;
    QAction* FAQSelection = nullptr;
    QAction* FeedbackSelection = nullptr;
    QAction* AboutSelection = nullptr;
    // In the menu bar but never shown there: the tray icon opens it as a popup.
    QMenu* SystrayPopup = nullptr;
    QAction* QuorvaneLink = nullptr;
    QAction* StatusPopup = nullptr;
    QAction* StopPopup = nullptr;

    void InactivityTimer_Timer();

    void ConfigureSelection_Click();
    void ClearLogSelection_Click();
    void ContentsSelection_Click();
    void HelpSelection_Click();
    void HelpToolTip_Click();
    void UpdatesSelection_Click();
    void HelpOnLineSelection_Click();
    void FAQSelection_Click();
    void FeedbackSelection_Click();
    void AboutSelection_Click();
    void QuorvaneLink_Click();
    void StatusPopup_Click();
    void StopPopup_Click();
    void SysTray_MouseDown(qint16 Button, qint32 ID);
    void Banner_Click();
    void Banner_MouseEnter();
    void Banner_MouseLeave();
    // Lays Log out between the banner row and the status bar.
    void Form_Resize();

protected:
    void Form_Load() override;
    void Form_QueryUnload(int& cancel, platform::UnloadMode mode) override;
    void Form_Unload(int& cancel) override;

private:
    void BuildFace();
    void BuildMenus();
    void RestoreAndShow();
    void LoadFailed();
    void Withdraw();
};

// Whether the process was started for an automation client rather than by a user.
bool AutomationMode();
void SetAutomationMode(bool on);

// The program's default instance of the main window (TFTPServer() as the window class).
TFTPServerWindow& MainWindow();
