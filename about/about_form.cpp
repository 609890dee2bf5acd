#include "about/about_form.h"

#include "about/about_library.h"
#include "about/about_pictures.h"
#include "about/easter_egg_form.h"
#include "platform/ss_panel.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

namespace Kelvaring {

namespace {

constexpr const char* kDone = "Done";
constexpr const char* kVersionInformation = "Version Information";
constexpr const char* kSubTitle = "SubTitle";
constexpr const char* kPackageName = "PackageName";
constexpr const char* kProgramName = "Program Name";
constexpr const char* kProgramShadow = "Program Shadow";
constexpr const char* kPackageShadow = "Package Shadow";
constexpr const char* kSubTitleShadow = "SubTitle Shadow";
constexpr const char* kCopyMenu = "CopyMenu";
constexpr const char* kCopyToClipboard = "&Copy to Clipboard";
constexpr const char* kLineEnd = "\r\n";
constexpr const char* kFontFamily = "Arial";

constexpr int kClientWidth = 6615;
constexpr int kClientHeight = 3765;
constexpr int kShadowOffset = 20;
constexpr qreal kPackageSmallPoints = 10;
constexpr float kPackageMargin = 100;
constexpr qint16 kLinkPauseSeconds = 2;
const QColor kShadowColour(192, 192, 192);

QPointer<AboutForm>& theForm() {
    static QPointer<AboutForm> form;
    return form;
}

QLabel* makeLabel(QWidget* parent, const char* name, const char* caption, const QRect& twips,
                  qreal points, const QColor& colour) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);
    label->setAutoFillBackground(false);
    QFont font(QString::fromLatin1(kFontFamily));
    font.setBold(true);
    font.setPointSizeF(points);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    label->setGeometry(twips);
    AboutForm::SetCaption(label, QLatin1String(caption));
    return label;
}

// An image control with no picture: an invisible hot spot.
QWidget* makeHotSpot(QWidget* parent, const char* name, const QRect& twips) {
    auto* spot = new QWidget(parent);
    spot->setObjectName(QLatin1String(name));
    spot->setGeometry(twips);
    return spot;
}

void setPointSize(QLabel* label, qreal points) {
    QFont font = label->font();
    font.setPointSizeF(points);
    label->setFont(font);
    label->adjustSize();
}

} // namespace

QRect TwipsRect(int left, int top, int width, int height) {
    return QRect(qRound(left / double(kTwipsPerPixel)), qRound(top / double(kTwipsPerPixel)),
                 qRound(width / double(kTwipsPerPixel)), qRound(height / double(kTwipsPerPixel)));
}

bool PackageNameNeedsSmallFont(float labelLeft, float labelWidth, float doneLeft) {
    return labelWidth + labelLeft + kPackageMargin >= doneLeft;
}

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {}

void PictureBox::SetPicture(platform::PictureRef picture) {
    picture_ = std::move(picture);
    update();
}

void PictureBox::paintEvent(QPaintEvent* event) {
    Q_UNUSED(event);
    if (!picture_ || picture_->Image.isNull()) {
        return;
    }
    QPainter painter(this);
    // Stretched to the box, up or down.
    painter.drawPixmap(rect(), picture_->Image.pixmap(size()));
}

AboutForm* AboutForm::Instance() {
    QPointer<AboutForm>& form = theForm();
    if (!form) {
        form = new AboutForm;
        form->Form_Load();
    }
    return form;
}

AboutForm* AboutForm::Existing() {
    return theForm();
}

void AboutForm::SetCaption(QLabel* label, const QString& caption) {
    label->setText(caption);
    label->adjustSize();
}

AboutForm::AboutForm()
    : QDialog(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QLatin1String("AboutForm"));
    setAttribute(Qt::WA_DeleteOnClose);
    // The calling program's life does not hang on the library's windows.
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(QString());
    setFixedSize(TwipsRect(0, 0, kClientWidth, kClientHeight).size());

    // Created bottom first: shadows, then labels and images; the panel and the button are
    // child windows above them all.
    ProgramShadow = makeLabel(this, "ProgramShadow", kProgramShadow, TwipsRect(840, 900, 2595, 360),
                              15.75, kShadowColour);
    PackageShadow = makeLabel(this, "PackageShadow", kPackageShadow,
                              TwipsRect(240, 3360, 1995, 285), 12, kShadowColour);
    SubTitleShadow = makeLabel(this, "SubTitleShadow", kSubTitleShadow,
                               TwipsRect(840, 1260, 1635, 240), 9.75, kShadowColour);
    ProgramIcon = new PictureBox(this);
    ProgramIcon->setObjectName(QLatin1String("ProgramIcon"));
    ProgramIcon->setGeometry(TwipsRect(180, 840, 480, 480));
    ProgramName = makeLabel(this, "ProgramName", kProgramName, TwipsRect(780, 900, 2250, 360),
                            15.75, Qt::black);
    PackageName = makeLabel(this, "PackageName", kPackageName, TwipsRect(180, 3360, 1650, 285), 12,
                            Qt::black);
    PackageName->setCursor(HandCursor());
    SubTitle =
        makeLabel(this, "SubTitle", kSubTitle, TwipsRect(780, 1260, 795, 240), 9.75, Qt::black);
    EasterEggHotSpot = makeHotSpot(this, "EasterEggHotSpot", TwipsRect(180, 60, 555, 615));
    WebHotSpot = makeHotSpot(this, "WebHotSpot", TwipsRect(780, 120, 2775, 555));
    WebHotSpot->setCursor(HandCursor());
    // Above the wordmark's hot spot, which holds it: otherwise it could never be clicked.
    VardleEgg = makeHotSpot(this, "VardleEgg", TwipsRect(840, 120, 255, 255));

    VersionInfo = new platform::SSPanel(this);
    VersionInfo->setObjectName(QLatin1String("VersionInfo"));
    VersionInfo->setGeometry(TwipsRect(780, 1560, 5715, 1755));
    VersionInfo->SetCaption(QLatin1String(kVersionInformation));
    connect(VersionInfo, &platform::SSPanel::MouseDown, this, &AboutForm::VersionInfo_MouseDown);

    Done_Button = new QPushButton(QLatin1String(kDone), this);
    Done_Button->setObjectName(QLatin1String("Done_Button"));
    Done_Button->setGeometry(TwipsRect(5400, 3300, 1095, 375));
    Done_Button->setDefault(true);
    connect(Done_Button, &QPushButton::clicked, this, &AboutForm::Done_Button_Click);

    CopyMenu = new QMenu(QLatin1String(kCopyMenu), this);
    CopyMenu->setObjectName(QLatin1String("CopyMenu"));
    CopySelection = CopyMenu->addAction(QLatin1String(kCopyToClipboard));
    CopySelection->setObjectName(QLatin1String("CopySelection"));
    connect(CopySelection, &QAction::triggered, this, &AboutForm::CopySelection_Click);

    for (QWidget* control :
         {static_cast<QWidget*>(ProgramName), static_cast<QWidget*>(SubTitle),
          static_cast<QWidget*>(PackageName), EasterEggHotSpot, WebHotSpot, VardleEgg}) {
        control->installEventFilter(this);
    }

    // Without an owner to centre on, the window is centred on the screen.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void AboutForm::accept() {
    Done_Button->click();
}

void AboutForm::reject() {
    Done_Button->click();
}

void AboutForm::closeEvent(QCloseEvent* event) {
    // Closing unloads the window; a dialog's usual reject() on close would only hide it.
    event->accept();
}

void AboutForm::paintEvent(QPaintEvent* event) {
    Q_UNUSED(event);
    QPainter painter(this);
    // Unscaled from the top-left corner: the window shows only that part of the picture.
    painter.drawImage(QPoint(0, 0), AboutBackground());
}

void AboutForm::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    Form_Resize();
}

void AboutForm::Form_Resize() {
    const QPoint offset(qRound(kShadowOffset / double(kTwipsPerPixel)),
                        qRound(kShadowOffset / double(kTwipsPerPixel)));
    const std::pair<QLabel*, QLabel*> pairs[] = {
        {ProgramName, ProgramShadow}, {PackageName, PackageShadow}, {SubTitle, SubTitleShadow}};
    for (const auto& [label, shadow] : pairs) {
        shadow->move(label->pos() + offset);
        label->raise();
    }
    VersionInfo->raise();
    Done_Button->raise();
}

bool AboutForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease &&
        event->type() != QEvent::MouseButtonDblClick) {
        return QDialog::eventFilter(watched, event);
    }
    auto* mouse = static_cast<QMouseEvent*>(event);
    auto* control = static_cast<QWidget*>(watched);
    if (event->type() == QEvent::MouseButtonRelease) {
        const bool click = mouse->button() == Qt::LeftButton && pressed_ == watched &&
                           control->rect().contains(mouse->position().toPoint());
        if (mouse->button() == Qt::LeftButton) {
            pressed_ = nullptr;
        }
        if (click && watched == PackageName) {
            PackageName_Click();
        } else if (click && watched == WebHotSpot) {
            WebHotSpot_Click();
        } else if (click && watched == VardleEgg) {
            VardleEgg_Click();
        }
        return true;
    }
    // The second press of a double click is a double click only: no press, so its release is
    // no second click either.
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (mouse->button() == Qt::LeftButton) {
            pressed_ = nullptr;
        }
        return true;
    }
    if (mouse->button() == Qt::LeftButton) {
        pressed_ = watched;
    }
    const qint16 button = platform::MouseButtonNumber(mouse->button());
    const qint16 shift = platform::ShiftState(mouse->modifiers());
    const QPointF at = mouse->position() * kTwipsPerPixel;
    const auto x = static_cast<float>(at.x());
    const auto y = static_cast<float>(at.y());
    if (watched == ProgramName) {
        ProgramName_MouseDown(button, shift, x, y);
    } else if (watched == SubTitle) {
        SubTitle_MouseDown(button, shift, x, y);
    } else if (watched == EasterEggHotSpot) {
        EasterEggHotSpot_MouseDown(button, shift, x, y);
    }
    return true;
}

void AboutForm::Done_Button_Click() {
    close();
}

void AboutForm::popUpCopyMenu(qint16 button) {
    if (button == 2) {
        CopyMenu->popup(QCursor::pos());
    }
}

void AboutForm::ProgramName_MouseDown(qint16 Button, qint16 Shift, float X, float Y) {
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    popUpCopyMenu(Button);
}

void AboutForm::SubTitle_MouseDown(qint16 Button, qint16 Shift, float X, float Y) {
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    popUpCopyMenu(Button);
}

void AboutForm::VersionInfo_MouseDown(qint16 Button, qint16 Shift, float X, float Y) {
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    popUpCopyMenu(Button);
}

void AboutForm::EasterEggHotSpot_MouseDown(qint16 Button, qint16 Shift, float X, float Y) {
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    ShowCreditsWindow(Button == 1 ? CreditsWindow::EasterEggTembrin
                                  : CreditsWindow::EasterEggMurrask);
}

void AboutForm::VardleEgg_Click() {
    ShowCreditsWindow(CreditsWindow::EasterEggVardle);
}

void AboutForm::CopySelection_Click() {
    // What the window shows, not what the object was given.
    const QString lineEnd = QLatin1String(kLineEnd);
    const QString text = ProgramName->text() + lineEnd + SubTitle->text() + lineEnd +
                         VersionInfo->Caption() + lineEnd + lineEnd + PackageName->text() + lineEnd;
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

void AboutForm::followWebLink() {
    FollowWebLink(this, {PackageName, WebHotSpot}, kLinkPauseSeconds);
}

void AboutForm::PackageName_Click() {
    followWebLink();
}

void AboutForm::WebHotSpot_Click() {
    followWebLink();
}

void AboutForm::FitPackageName() {
    const float width = static_cast<float>(PackageName->width() * kTwipsPerPixel);
    const float left = static_cast<float>(PackageName->x() * kTwipsPerPixel);
    const float doneLeft = static_cast<float>(Done_Button->x() * kTwipsPerPixel);
    // Nothing sets it back while the window stays loaded.
    if (PackageNameNeedsSmallFont(left, width, doneLeft)) {
        setPointSize(PackageName, kPackageSmallPoints);
        setPointSize(PackageShadow, kPackageSmallPoints);
    }
}

} // namespace Kelvaring
