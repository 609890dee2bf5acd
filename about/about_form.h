#pragma once

#include "platform/notify_icon.h"
#include "platform/twips.h"

#include <QDialog>
#include <QPointer>

class QAction;
class QLabel;
class QMenu;
class QPushButton;

namespace platform {
class SSPanel;
}

namespace Kelvaring {

using platform::kTwipsPerPixel;
// A design rectangle given in twips, in pixels.
QRect TwipsRect(int left, int top, int width, int height);

// Whether a package name label reaching this far is too close to "Done" for 12 pt; the sums
// are those of the window's own single-precision twips.
bool PackageNameNeedsSmallFont(float labelLeft, float labelWidth, float doneLeft);

// An image control: shows its picture stretched to its box, and keeps the picture object
// itself, not a copy.
class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);
    platform::PictureRef Picture() const { return picture_; }
    void SetPicture(platform::PictureRef picture);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    platform::PictureRef picture_;
};

// The library's About window: the texts with their drop shadows over the background picture,
// the version panel, "Done", the copy menu, the web links and the hidden hot spots. There is
// at most one; closing it unloads it.
class AboutForm : public QDialog {
    Q_OBJECT
public:
    // The one window, loaded from its design when absent or closed since.
    static AboutForm* Instance();
    // The one window while it is loaded, else nullptr.
    static AboutForm* Existing();

    // Sets a label's caption; the label sizes itself to it.
    static void SetCaption(QLabel* label, const QString& caption);

    // Drops the package name and its shadow to 10 pt when the name, as it now sizes itself,
    // would run into "Done".
    void FitPackageName();

    // The controls, in the window's control order.
    QPushButton* Done_Button = nullptr;
    platform::SSPanel* VersionInfo = nullptr;
    QWidget* VardleEgg = nullptr;
    QWidget* WebHotSpot = nullptr;
    QWidget* EasterEggHotSpot = nullptr;
    QLabel* SubTitle = nullptr;
    QLabel* PackageName = nullptr;
    PictureBox* ProgramIcon = nullptr;
    QLabel* ProgramName = nullptr;
    QLabel* ProgramShadow = nullptr;
    QLabel* PackageShadow = nullptr;
    QLabel* SubTitleShadow = nullptr;
    QMenu* CopyMenu = nullptr;
    QAction* CopySelection = nullptr;

    // Enter and Esc press "Done".
    void accept() override;
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    AboutForm();

    void Form_Load() {}
    void Form_Resize();
    void Done_Button_Click();
    void ProgramName_MouseDown(qint16 Button, qint16 Shift, float X, float Y);
    void SubTitle_MouseDown(qint16 Button, qint16 Shift, float X, float Y);
    void VersionInfo_MouseDown(qint16 Button, qint16 Shift, float X, float Y);
    void EasterEggHotSpot_MouseDown(qint16 Button, qint16 Shift, float X, float Y);
    void CopySelection_Click();
    void PackageName_Click();
    void WebHotSpot_Click();
    void VardleEgg_Click();

    void popUpCopyMenu(qint16 button);
    void followWebLink();

    QPointer<QObject> pressed_; // the control a left press went down on, for its click
};

} // namespace Kelvaring
