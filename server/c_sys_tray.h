#pragma once

#include "platform/notify_icon.h"
#include "platform/twips.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QWidget>

#include <cstdint>

using platform::kTwipsPerPixel;

// The stored properties of a control, in the order they were written.
class PropertyBag {
public:
    // The stored value, or `DefaultValue` when the name was never written (names ignore case).
    QVariant ReadProperty(const QString& Name, const QVariant& DefaultValue = QVariant()) const;
    // Every value is stored, whether or not it equals a default.
    void WriteProperty(const QString& Name, const QVariant& Value);
    QStringList Names() const;

private:
    QList<QPair<QString, QVariant>> items_;
};

// How a host's stored design data names this control's class.
inline constexpr const char* kSysTrayClassName = "TFTP.cSysTray";

// The shell's callback message for the tray icon (WM_USER + 101).
inline constexpr uint32_t kTrayCallbackMessage = platform::WM_USER + 101;

// One icon in the notification area: its picture and tip, and the shell's mouse callbacks turned
// into events. In design mode (the ambient UserMode off) it only records its properties. The
// window procedure that receives the callbacks is shared by the whole program (mSysTray), so at
// most one instance is in the tray at a time.
class cSysTray : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString TrayTip READ TrayTip WRITE SetTrayTip)
    Q_PROPERTY(bool InTray READ InTray WRITE SetInTray)
public:
    explicit cSysTray(QWidget* parent = nullptr);
    ~cSysTray() override;

    // Accepts icons only: nothing, a bitmap or an empty picture changes nothing.
    void SetTrayIcon(const platform::PictureRef& Icon);
    platform::PictureRef TrayIcon() const { return m_Icon; }
    void SetTrayTip(const QString& Tip);
    QString TrayTip() const { return m_Tip; }
    void SetInTray(bool Show);
    bool InTray() const { return m_InTray; }

    // The container's ambient UserMode: true at run time, false in a designer.
    void SetUserMode(bool userMode) { userMode_ = userMode; }
    bool UserMode() const { return userMode_; }

    // The picture the control draws on its face.
    platform::PictureRef FacePicture() const { return face_; }
    platform::HWND hWnd() const { return m_hWnd; }
    // The size in twips.
    int WidthTwips() const;
    int HeightTwips() const;

    void UserControl_InitProperties();
    void UserControl_ReadProperties(const PropertyBag& PropBag);
    void UserControl_WriteProperties(PropertyBag& PropBag) const;

    // Called by the tray window procedure with the shell's mouse message and icon identifier.
    void RaiseTrayEvent(uint32_t MouseMessage, uint32_t ID);

    // The control whose address a window's user data holds; nullptr once it is gone.
    static cSysTray* FromUserData(platform::LONG userData);

    static constexpr int kSideTwips = 510;

signals:
    void MouseMove(qint32 ID);
    void MouseDown(qint16 Button, qint32 ID);
    void MouseUp(qint16 Button, qint32 ID);
    void MouseDblClick(qint16 Button, qint32 ID);
    // A persisted property changed, as reported to the container.
    void PropertyChanged(const QString& PropertyName);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void UserControl_Initialize();
    void UserControl_Paint();
    void UserControl_Resize();
    void UserControl_Terminate();
    void AddTrayIcon(platform::HWND hWnd, int32_t ID, const QString& Tip,
                     const platform::PictureRef& Icon);
    void RemoveTrayIcon(platform::HWND hWnd, int32_t ID);

    bool m_InTray = false;
    int32_t m_ID = 0;
    QString m_Tip;
    platform::HWND m_hWnd = 0;
    platform::PictureRef m_Icon;
    bool m_Added = false;

    platform::PictureRef face_;
    bool userMode_ = true;
    platform::LONG address_ = 0;
};
