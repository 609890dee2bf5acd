#include "server/c_sys_tray.h"

#include "server/m_sys_tray.h"

#include <QPainter>
#include <QPixmap>
#include <QResizeEvent>
#include <qdrawutil.h>

#include <algorithm>
#include <cstring>
#include <map>

using namespace platform;

// ---- PropertyBag ----------------------------------------------------------------------------

QVariant PropertyBag::ReadProperty(const QString& Name, const QVariant& DefaultValue) const {
    for (const auto& item : items_) {
        if (item.first.compare(Name, Qt::CaseInsensitive) == 0)
            return item.second;
    }
    return DefaultValue;
}

void PropertyBag::WriteProperty(const QString& Name, const QVariant& Value) {
    for (auto& item : items_) {
        if (item.first.compare(Name, Qt::CaseInsensitive) == 0) {
            item.second = Value;
            return;
        }
    }
    items_.append({Name, Value});
}

QStringList PropertyBag::Names() const {
    QStringList names;
    for (const auto& item : items_)
        names.append(item.first);
    return names;
}

// ---- cSysTray -------------------------------------------------------------------------------

namespace {

constexpr const char* kDefaultTrayTip = "System tray icon";
constexpr const char* kInTrayProperty = "InTray";
constexpr const char* kTrayIconProperty = "TrayIcon";
constexpr const char* kTrayTipProperty = "TrayTip";

// The window's user data is 32 bits wide, too narrow for a pointer, so it holds the control's
// number in this table instead.
std::map<LONG, cSysTray*>& controls() {
    static std::map<LONG, cSysTray*> table;
    return table;
}

LONG registerControl(cSysTray* control) {
    static LONG next = 0x00030001;
    controls()[next] = control;
    return next++;
}

NOTIFYICONDATAA freshRecord(HWND hWnd, int32_t ID) {
    NOTIFYICONDATAA record;
    std::memset(&record, 0, sizeof record);
    record.cbSize = sizeof record;
    record.hWnd = hWnd;
    record.uID = static_cast<uint32_t>(ID);
    return record;
}

// The tip and one NUL, left-aligned in the field, padded with blanks and cut at its width: a tip
// of the full width or more has no NUL.
void fillTip(NOTIFYICONDATAA& record, const QString& tip) {
    const QByteArray text = tip.toLatin1() + '\0';
    const auto used = std::min<qsizetype>(text.size(), kTipFieldSize);
    std::memset(record.szTip, ' ', kTipFieldSize);
    std::memcpy(record.szTip, text.constData(), static_cast<std::size_t>(used));
}

// The face a new instance starts with: a small window with a tray strip.
QIcon ownFace() {
    QPixmap face(32, 32);
    face.fill(Qt::transparent);
    QPainter painter(&face);
    painter.setPen(Qt::black);
    painter.setBrush(QColor(0, 128, 128));
    painter.drawRect(2, 4, 27, 23);
    painter.setBrush(QColor(192, 192, 192));
    painter.drawRect(2, 21, 27, 6);
    painter.setBrush(QColor(255, 255, 0));
    painter.drawRect(22, 23, 4, 2);
    return QIcon(face);
}

} // namespace

cSysTray::cSysTray(QWidget* parent) : QWidget(parent) {
    address_ = registerControl(this);
    face_ = IconPicture(ownFace());
    UserControl_Initialize();
    UserControl_Resize();
}

cSysTray::~cSysTray() {
    UserControl_Terminate();
    controls().erase(address_);
    DestroyControlWindow(m_hWnd);
}

cSysTray* cSysTray::FromUserData(LONG userData) {
    auto it = controls().find(userData);
    return it != controls().end() ? it->second : nullptr;
}

void cSysTray::UserControl_Initialize() {
    m_InTray = false;
    m_Added = false;
    m_ID = 0;
    m_hWnd = CreateControlWindow();
}

void cSysTray::UserControl_InitProperties() {
    SetInTray(false);
    SetTrayTip(QString::fromLatin1(kDefaultTrayTip));
    SetTrayIcon(face_);
}

void cSysTray::UserControl_ReadProperties(const PropertyBag& PropBag) {
    // Each goes through its property procedure, so a stored InTray adds the icon before the
    // stored picture and tip modify it.
    SetInTray(PropBag.ReadProperty(QString::fromLatin1(kInTrayProperty), false).toBool());
    SetTrayIcon(
        PropBag.ReadProperty(QString::fromLatin1(kTrayIconProperty), QVariant::fromValue(face_))
            .value<PictureRef>());
    SetTrayTip(PropBag
                   .ReadProperty(QString::fromLatin1(kTrayTipProperty),
                                 QString::fromLatin1(kDefaultTrayTip))
                   .toString());
}

void cSysTray::UserControl_WriteProperties(PropertyBag& PropBag) const {
    PropBag.WriteProperty(QString::fromLatin1(kInTrayProperty), m_InTray);
    PropBag.WriteProperty(QString::fromLatin1(kTrayIconProperty), QVariant::fromValue(m_Icon));
    PropBag.WriteProperty(QString::fromLatin1(kTrayTipProperty), m_Tip);
}

void cSysTray::SetTrayIcon(const PictureRef& Icon) {
    if (!Icon || Icon->Type != vbPicTypeIcon)
        return;
    if (m_Added) {
        NOTIFYICONDATAA record = freshRecord(m_hWnd, m_ID);
        record.uFlags = NIF_ICON;
        record.hIcon = Icon->Handle;
        Shell_NotifyIconA(NIM_MODIFY, &record);
    }
    m_Icon = Icon;
    face_ = Icon;
    update();
    emit PropertyChanged(QString::fromLatin1(kTrayIconProperty));
}

void cSysTray::SetTrayTip(const QString& Tip) {
    if (m_Added) {
        NOTIFYICONDATAA record = freshRecord(m_hWnd, m_ID);
        record.uFlags = NIF_TIP;
        fillTip(record, Tip);
        Shell_NotifyIconA(NIM_MODIFY, &record);
    }
    m_Tip = Tip;
    emit PropertyChanged(QString::fromLatin1(kTrayTipProperty));
}

void cSysTray::SetInTray(bool Show) {
    if (Show == m_InTray)
        return;
    if (Show) {
        if (UserMode()) {
            mSysTray::OldWindowProc =
                SetWindowLongA(m_hWnd, GWL_WNDPROC, AddressOfWndProc(&mSysTray::TrayWindowProc));
            SetWindowLongA(m_hWnd, GWL_USERDATA, address_);
            AddTrayIcon(m_hWnd, m_ID, TrayTip(), TrayIcon());
            m_Added = true;
        }
    } else if (m_Added) {
        RemoveTrayIcon(m_hWnd, m_ID);
        SetWindowLongA(m_hWnd, GWL_WNDPROC, mSysTray::OldWindowProc);
        m_Added = false;
    }
    m_InTray = Show;
    emit PropertyChanged(QString::fromLatin1(kInTrayProperty));
}

void cSysTray::AddTrayIcon(HWND hWnd, int32_t ID, const QString& Tip, const PictureRef& Icon) {
    NOTIFYICONDATAA record = freshRecord(hWnd, ID);
    if (Icon) {
        record.hIcon = Icon->Handle;
        record.uFlags |= NIF_ICON;
        m_Icon = Icon;
    }
    if (!Tip.isEmpty()) {
        fillTip(record, Tip);
        record.uFlags |= NIF_TIP;
        m_Tip = Tip;
    }
    record.uFlags |= NIF_MESSAGE;
    record.uCallbackMessage = kTrayCallbackMessage;
    Shell_NotifyIconA(NIM_ADD, &record);
}

void cSysTray::RemoveTrayIcon(HWND hWnd, int32_t ID) {
    NOTIFYICONDATAA record = freshRecord(hWnd, ID);
    Shell_NotifyIconA(NIM_DELETE, &record);
}

void cSysTray::RaiseTrayEvent(uint32_t MouseMessage, uint32_t ID) {
    const auto id = static_cast<qint32>(ID);
    switch (MouseMessage) {
    case WM_MOUSEMOVE:
        emit MouseMove(id);
        break;
    case WM_LBUTTONDOWN:
        emit MouseDown(1, id);
        break;
    case WM_LBUTTONUP:
        emit MouseUp(1, id);
        break;
    case WM_LBUTTONDBLCLK:
        emit MouseDblClick(1, id);
        break;
    case WM_RBUTTONDOWN:
        emit MouseDown(2, id);
        break;
    case WM_RBUTTONUP:
        emit MouseUp(2, id);
        break;
    case WM_RBUTTONDBLCLK:
        emit MouseDblClick(2, id);
        break;
    default:
        break;
    }
}

int cSysTray::WidthTwips() const {
    return width() * kTwipsPerPixel;
}

int cSysTray::HeightTwips() const {
    return height() * kTwipsPerPixel;
}

void cSysTray::paintEvent(QPaintEvent*) {
    UserControl_Paint();
}

void cSysTray::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    UserControl_Resize();
}

void cSysTray::UserControl_Paint() {
    QPainter painter(this);
    if (face_)
        face_->Image.paint(&painter, rect());
    // A raised outer edge round the whole client area.
    qDrawShadePanel(&painter, rect(), palette(), false, 1);
}

void cSysTray::UserControl_Resize() {
    // Fixed, so that no container can size it otherwise.
    constexpr int side = kSideTwips / kTwipsPerPixel;
    setFixedSize(side, side);
}

void cSysTray::UserControl_Terminate() {
    if (InTray())
        SetInTray(false);
}
