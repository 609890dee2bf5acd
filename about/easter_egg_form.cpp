#include "about/easter_egg_form.h"

#include "about/about_form.h"
#include "about/about_library.h"
#include "platform/ss_panel.h"
#include "platform/timer.h"

#include <QDir>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

#include <array>

namespace Kelvaring {

namespace {

constexpr const char* kSounds = "Sounds";
constexpr const char* kFirstSound = "/Y2.dll";
constexpr const char* kSecondSound = "/S2.dll";
constexpr const char* kLinkFont = "MS Sans Serif";
constexpr qreal kLinkPoints = 8.25;
const QColor kLinkColour(255, 255, 128);
constexpr qint16 kLinkPauseSeconds = 3;

struct CreditsDesign {
    const char* name;
    const char* caption;
    int clientWidth; // twips, as every position here
    int clientHeight;
    CreditsPortrait portrait;
    int soundsLeft;
    int soundsTop;
    int linkLeft;
    int linkTop;
};

constexpr std::array<CreditsDesign, 3> kDesigns = {{
    {"EasterEggVardle", "Quorvane.Net Senior Technologist", 6915, 4875, CreditsPortrait::Vardle,
     5280, 180, 4740, 4560},
    {"EasterEggTembrin", "Quorvane.Net Founder and Chief Architect", 6765, 4350,
     CreditsPortrait::Tembrin, 4260, 360, 2400, 3960},
    {"EasterEggMurrask", "Quorvane.Net President and CEO", 6555, 3990, CreditsPortrait::Murrask,
     2460, 540, 1380, 3660},
}};
constexpr int kSoundsWidth = 1215;
constexpr int kSoundsHeight = 435;
constexpr int kLinkWidth = 1995;
constexpr int kLinkHeight = 195;

const CreditsDesign& designOf(CreditsWindow which) {
    return kDesigns[static_cast<size_t>(which)];
}

QPointer<EasterEggForm>& windowOf(CreditsWindow which) {
    static std::array<QPointer<EasterEggForm>, 3> windows;
    return windows[static_cast<size_t>(which)];
}

} // namespace

EasterEggForm* EasterEggForm::Show(CreditsWindow which) {
    QPointer<EasterEggForm>& window = windowOf(which);
    if (!window) {
        window = new EasterEggForm(which);
        window->Form_Load();
        window->show();
        // A window that opens takes the keys, as one brought forward does.
        window->activateWindow();
        return window;
    }
    // Already open: only brought forward, without loading it again.
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

EasterEggForm* EasterEggForm::Existing(CreditsWindow which) {
    return windowOf(which);
}

void ShowCreditsWindow(CreditsWindow which) {
    EasterEggForm::Show(which);
}

EasterEggForm::EasterEggForm(CreditsWindow which)
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      portrait_(designOf(which).portrait) {
    const CreditsDesign& design = designOf(which);
    setObjectName(QLatin1String(design.name));
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(QLatin1String(design.caption));
    setWindowIcon(CreditsIcon());
    setFixedSize(TwipsRect(0, 0, design.clientWidth, design.clientHeight).size());

    // Only the receiver of the sound file: it stays out of the picture.
    Sounds = new platform::SSPanel(this);
    Sounds->setObjectName(QLatin1String("Sounds"));
    Sounds->setGeometry(
        TwipsRect(design.soundsLeft, design.soundsTop, kSoundsWidth, kSoundsHeight));
    Sounds->SetCaption(QLatin1String(kSounds));
    Sounds->hide();

    QuorvaneWebLink = new QLabel(WebSiteCaption(), this);
    QuorvaneWebLink->setObjectName(QLatin1String("QuorvaneWebLink"));
    QuorvaneWebLink->setTextFormat(Qt::PlainText);
    QuorvaneWebLink->setGeometry(
        TwipsRect(design.linkLeft, design.linkTop, kLinkWidth, kLinkHeight));
    QFont font(QString::fromLatin1(kLinkFont));
    font.setBold(true);
    font.setPointSizeF(kLinkPoints);
    font.setUnderline(false);
    QuorvaneWebLink->setFont(font);
    QPalette palette = QuorvaneWebLink->palette();
    palette.setColor(QPalette::WindowText, kLinkColour);
    QuorvaneWebLink->setPalette(palette);
    QuorvaneWebLink->setCursor(HandCursor());
    QuorvaneWebLink->setMouseTracking(true);
    QuorvaneWebLink->installEventFilter(this);
}

void EasterEggForm::Form_Load() {
    const int second = platform::Clock::Now().time().second();
    // To the top of the z-order, not topmost; position and size stay.
    SetWindowPos(this, HWND_TOP, x(), y(), width(), height(), SWP_NOMOVE | SWP_NOSIZE);
    const char* sound = nullptr;
    if (second < 20) {
        sound = kFirstSound;
    } else if (second < 40) {
        sound = kSecondSound;
    } else {
        return;
    }
    Sounds->Method30(LibraryFolder() + QLatin1String(sound));
}

void EasterEggForm::paintEvent(QPaintEvent* event) {
    Q_UNUSED(event);
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), CreditsPicture(portrait_));
}

bool EasterEggForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched != QuorvaneWebLink) {
        return QWidget::eventFilter(watched, event);
    }
    switch (event->type()) {
    case QEvent::MouseMove: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        const QPointF at = mouse->position() * kTwipsPerPixel;
        const Qt::MouseButtons held = mouse->buttons();
        const auto button = static_cast<qint16>(((held & Qt::LeftButton) ? 1 : 0) |
                                                ((held & Qt::RightButton) ? 2 : 0) |
                                                ((held & Qt::MiddleButton) ? 4 : 0));
        QuorvaneWebLink_MouseMove(button, 0, static_cast<float>(at.x()),
                                  static_cast<float>(at.y()));
        return true;
    }
    case QEvent::MouseButtonPress:
        linkPressed_ = static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton;
        return true;
    case QEvent::MouseButtonRelease: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        const bool click = linkPressed_ && mouse->button() == Qt::LeftButton &&
                           QuorvaneWebLink->rect().contains(mouse->position().toPoint());
        linkPressed_ = false;
        if (click) {
            QuorvaneWebLink_Click();
        }
        return true;
    }
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void EasterEggForm::QuorvaneWebLink_Click() {
    FollowWebLink(this, {QuorvaneWebLink}, kLinkPauseSeconds);
}

void EasterEggForm::QuorvaneWebLink_MouseMove(qint16 Button, qint16 Shift, float X, float Y) {
    Q_UNUSED(Button);
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    // Once underlined it stays so while the window is loaded.
    if (!QuorvaneWebLink->font().underline()) {
        QFont font = QuorvaneWebLink->font();
        font.setUnderline(true);
        QuorvaneWebLink->setFont(font);
    }
}

} // namespace Kelvaring
