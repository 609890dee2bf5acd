#pragma once

#include "platform/twips.h"
#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

class QShortcut;

namespace platform {

// A tabbed dialog: one row of equally wide tabs over a panel, captions wrapped onto two lines
// where they need it. Every tab has a page that covers the whole control, so a control on a
// page is placed relative to the tab control itself; only the current tab's page is shown.
// Tabs are numbered from 0. A caption's "&" marks its access key.
class TabControl : public QWidget {
    Q_OBJECT
public:
    static constexpr int kDefaultTabHeightTwips = 465;

    explicit TabControl(int tabs, QWidget* parent = nullptr);

    int Tabs() const { return int(pages_.size()); }
    QString TabCaption(int index) const { return captions_.value(index); }
    void SetTabCaption(int index, const QString& caption);

    // The current tab. Choosing one that does not exist changes nothing.
    int Tab() const { return current_; }
    void SetTab(int index);

    // The height of the tab row, in twips.
    int TabHeight() const { return tabHeight_ * kTwipsPerPixel; }
    void SetTabHeight(int twips);

    // The container of a tab's controls, or nullptr.
    QWidget* Page(int index) const { return pages_.value(index); }
    // Where a tab's handle is drawn, in the control's pixels.
    QRect TabRect(int index) const;

signals:
    // The current tab changed; the argument is the tab that was current before.
    void Click(int PreviousTab);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    friend class TabRow;
    void paintRow(QPainter& painter, QWidget* row);
    void pressRow(const QPoint& at);
    void layoutChildren();
    void updateShortcuts();

    QList<QWidget*> pages_;
    QStringList captions_;
    QList<QShortcut*> shortcuts_;
    QWidget* row_;
    int current_ = 0;
    int tabHeight_;
};

} // namespace platform
