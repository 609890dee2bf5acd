#pragma once

#include "platform/twips.h"
#include <QLabel>
#include <QList>
#include <QString>
#include <QWidget>

class QHBoxLayout;

namespace platform {

// One text panel of a status bar; its text is its default member.
class StatusBarPanel : public QLabel {
    Q_OBJECT
public:
    enum AutoSize { sbrNoAutoSize = 0, sbrSpring = 1, sbrContents = 2 };

    StatusBarPanel(const QString& key, QWidget* parent = nullptr);

    QString Key() const { return key_; }
    QString Text() const { return text(); }
    void SetText(const QString& text) { setText(text); }

private:
    QString key_;
};

// A status bar of keyed text panels, in the order they were added.
class StatusBar : public QWidget {
    Q_OBJECT
public:
    static constexpr int kDefaultHeightTwips = 255;

    explicit StatusBar(QWidget* parent = nullptr);

    // Adds a panel at the end. A spring panel takes the width left over; the others keep at
    // least `minWidthTwips` and grow with their text when sized to contents. Returns the panel,
    // or nullptr when the key is empty or taken.
    StatusBarPanel* AddPanel(const QString& key, const QString& text = QString(),
                             StatusBarPanel::AutoSize autoSize = StatusBarPanel::sbrNoAutoSize,
                             int minWidthTwips = 1440);
    // The panel with that key (keys ignore case), or nullptr when there is none.
    StatusBarPanel* Panels(const QString& key) const;
    // The panel at a position from 1, or nullptr.
    StatusBarPanel* Panels(int index) const;
    int PanelCount() const { return panels_.size(); }

    // The bar's height in twips. The panels' font is fitted to it, so that their text shows
    // whole.
    int Height() const;
    void SetHeight(int twips);

private:
    // The height in pixels a panel's text has in the bar.
    int TextRoom() const;
    void fitFont();

    QHBoxLayout* layout_;
    QList<StatusBarPanel*> panels_;
};

} // namespace platform
