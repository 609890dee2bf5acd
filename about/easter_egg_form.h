#pragma once

#include "about/about_pictures.h"

#include <QWidget>

class QLabel;

namespace platform {
class SSPanel;
}

namespace Kelvaring {

enum class CreditsWindow { EasterEggVardle, EasterEggTembrin, EasterEggMurrask };

// One of the three credits windows: a caption, a portrait, the hidden `Sounds` panel that is
// handed a sound file's path, and the web link at the foot. Each exists at most once and
// unloads when closed; it is independent of the About window.
class EasterEggForm : public QWidget {
    Q_OBJECT
public:
    // Shows the window modeless and without an owner, loading it first when it is not loaded;
    // a window already open is shown again as it is.
    static EasterEggForm* Show(CreditsWindow which);
    // The window while it is loaded, else nullptr.
    static EasterEggForm* Existing(CreditsWindow which);

    platform::SSPanel* Sounds = nullptr;
    QLabel* QuorvaneWebLink = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit EasterEggForm(CreditsWindow which);

    void Form_Load();
    void QuorvaneWebLink_Click();
    void QuorvaneWebLink_MouseMove(qint16 Button, qint16 Shift, float X, float Y);

    CreditsPortrait portrait_;
    bool linkPressed_ = false;
};

// The hot spots' action: shows that credits window.
void ShowCreditsWindow(CreditsWindow which);

} // namespace Kelvaring
