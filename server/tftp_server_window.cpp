#include "server/tftp_server_window.h"

#include "engine/globals.h"
#include "platform/msg_box.h"
#include "platform/twips.h"
#include "server/program_icon.h"
#include "toolkit/help_menu_functions.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QResizeEvent>
#include <QScreen>
#include <QShortcut>

#include <functional>

namespace {

constexpr const char* kCaption = "TFTP Server";
constexpr const char* kTrayTip = "Quorvane TFTP Server";
constexpr const char* kCannotStart = "Cannot start TFTP server.";
constexpr const char* kPortTaken = "A TFTP Server is already running on port ";
constexpr int kTftpPort = 69;

// The window's design, in twips.
using platform::kTwipsPerPixel;
constexpr int kClientWidth = 5610;
constexpr int kClientHeight = 3225;
constexpr int kBannerLeft = 720;
constexpr int kBannerTop = 60;
constexpr int kBannerWidth = 4095;
constexpr int kBannerHeight = 375;
constexpr int kLinkLineEnd = 2160;
constexpr int kLinkLineY = 360;
constexpr int kImageLeft = 60;
constexpr int kImageTop = 60;
constexpr int kImageSide = 480;
constexpr int kLogTop = 600;
constexpr int kBlockPanelWidth = 600;

constexpr const char* kBannerCaption = "Quorvane.Net TFTP Server";
constexpr const char* kBannerFont = "Arial";
constexpr qreal kBannerPointSize = 14.25;
const QColor kBannerText(0, 0, 128);
constexpr int kBannerTextMargin = 2; // the panel's own inset of its caption
constexpr int kBannerMinStretch = 60;
const QColor kLinkLineColour(0, 0, 255);

constexpr int kHelpContext = 2000;

constexpr int px(int twips) {
    return platform::TwipsToPixels(twips);
}

bool g_automation = false;

// Where Arial is missing, its stand-in may be wider than the banner: narrow the letters rather
// than cut the caption off.
QFont fitted(QFont font, const QString& text, int room) {
    for (int stretch = 99;
         stretch >= kBannerMinStretch && QFontMetrics(font).horizontalAdvance(text) > room;
         --stretch) {
        font.setStretch(stretch);
    }
    return font;
}

// The client area: its resize docks the status bar and then lets the form lay out the rest.
class ClientArea : public QWidget {
public:
    using QWidget::QWidget;
    std::function<void()> Resized;

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        if (Resized) {
            Resized();
        }
    }
};

// The window's close box unloads the form, as every other way out does.
class MainWindowWidget : public QMainWindow {
public:
    explicit MainWindowWidget(TFTPServerWindow* form) : form_(form) {
        setCentralWidget(new ClientArea(this));
    }

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

// Called once the menu bar exists, whose height adds to the client area's.
void placeCentred(QMainWindow* window) {
    const int width = px(kClientWidth);
    window->resize(width, px(kClientHeight) + window->menuBar()->heightForWidth(width));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), window->size());
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
}

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
      StatusBar(new platform::StatusBar(Window->centralWidget())),
      LogView(new TransferListView(Window->centralWidget())),
      InactivityTimer(new platform::Timer(kInactivityIntervalMs, false, this)),
      Icon(platform::IconPicture(ProgramIcon())),
      Banner(new platform::SSPanel(Window->centralWidget())), LinkLine(new QWidget(Banner)),
      Image1(new QLabel(Window->centralWidget())) {
    BuildFace();
    BuildMenus();
    placeCentred(Window);
    connect(InactivityTimer, &platform::Timer::Tick, this,
            &TFTPServerWindow::InactivityTimer_Timer);
}

TFTPServerWindow::~TFTPServerWindow() {
    delete Window;
}

void TFTPServerWindow::BuildFace() {
    Window->setWindowTitle(QLatin1String(kCaption));
    Window->setWindowIcon(Icon->Image);
    auto* client = static_cast<ClientArea*>(Window->centralWidget());

    SysTray->hide();
    SysTray->SetTrayIcon(platform::IconPicture(TrayIconImage()));

    StatusBar->AddPanel(QStringLiteral("Status"), QString(), platform::StatusBarPanel::sbrSpring);
    StatusBar->AddPanel(QStringLiteral("IP"), QString(), platform::StatusBarPanel::sbrContents);
    StatusBar->AddPanel(QStringLiteral("Block"), QString(), platform::StatusBarPanel::sbrNoAutoSize,
                        kBlockPanelWidth);

    Banner->setGeometry(px(kBannerLeft), px(kBannerTop), px(kBannerWidth), px(kBannerHeight));
    Banner->SetCaption(QLatin1String(kBannerCaption));
    QFont bannerFont{QLatin1String(kBannerFont)};
    bannerFont.setPointSizeF(kBannerPointSize);
    bannerFont.setBold(true);
    Banner->setFont(fitted(bannerFont, Banner->Caption(),
                           Banner->contentsRect().width() - 2 * kBannerTextMargin));
    QPalette bannerPalette = Banner->palette();
    bannerPalette.setColor(QPalette::WindowText, kBannerText);
    Banner->setPalette(bannerPalette);
    // Left-aligned, so that the link line runs under the start of the caption.
    Banner->SetAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Banner->setCursor(Qt::PointingHandCursor);
    connect(Banner, &platform::SSPanel::Click, this, &TFTPServerWindow::Banner_Click);
    connect(Banner, &platform::SSPanel::MouseEnter, this, &TFTPServerWindow::Banner_MouseEnter);
    connect(Banner, &platform::SSPanel::MouseLeave, this, &TFTPServerWindow::Banner_MouseLeave);

    LinkLine->setGeometry(0, px(kLinkLineY), px(kLinkLineEnd), 1);
    LinkLine->setAutoFillBackground(true);
    QPalette linePalette = LinkLine->palette();
    linePalette.setColor(QPalette::Window, kLinkLineColour);
    LinkLine->setPalette(linePalette);
    LinkLine->hide();

    LogView->setModel(Log);
    LogView->setGeometry(0, px(kLogTop), px(kClientWidth),
                         px(kClientHeight) - StatusBar->height() - px(kLogTop));

    Image1->setGeometry(px(kImageLeft), px(kImageTop), px(kImageSide), px(kImageSide));
    Image1->setPixmap(Icon->Image.pixmap(px(kImageSide), px(kImageSide)));

    client->Resized = [this, client] {
        // The status bar is docked at the bottom; Log follows it.
        StatusBar->setGeometry(0, client->height() - StatusBar->height(), client->width(),
                               StatusBar->height());
        Form_Resize();
    };

    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), Window);
    connect(help, &QShortcut::activated, this,
            [] { HelpMenuFunctions::ShowHelpTopic(kHelpContext); });
}

void TFTPServerWindow::Show() {
    Load();
    if (IsLoaded()) {
        Window->show();
    }
}

void TFTPServerWindow::Form_Resize() {
    QWidget* client = Window->centralWidget();
    const int top = LogView->y();
    const int height = client->height() - (StatusBar->height() + top);
    // The list box refuses a negative height, and a minimised window has no room at all: Log
    // then stays where it was.
    if (Window->isMinimized() || height < 0) {
        return;
    }
    LogView->setGeometry(0, top, client->width(), height);
}

void TFTPServerWindow::Banner_Click() {
    HelpMenuFunctions::OpenHomePage();
}

void TFTPServerWindow::Banner_MouseEnter() {
    LinkLine->show();
}

void TFTPServerWindow::Banner_MouseLeave() {
    LinkLine->hide();
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
