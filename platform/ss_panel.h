#pragma once

#include "platform/twips.h"
#include <QFrame>
#include <QString>
#include <QStringList>

namespace platform {

// The mouse button (1 left, 2 right, 4 middle) and shift state (1 Shift, 2 Ctrl, 4 Alt) as the
// mouse events of the window controls report them.
qint16 MouseButtonNumber(Qt::MouseButton button);
qint16 ShiftState(Qt::KeyboardModifiers modifiers);

// A raised three-dimensional panel with a caption that may hold several lines (CR LF, CR or LF
// between them); a container for other controls. Mouse buttons are numbered 1 (left), 2
// (right) and 4 (middle); positions are in twips.
class SSPanel : public QFrame {
    Q_OBJECT
public:
    explicit SSPanel(QWidget* parent = nullptr);

    QString Caption() const { return caption_; }
    void SetCaption(const QString& caption);
    // The caption's lines as drawn.
    QStringList CaptionLines() const;
    void SetAlignment(Qt::Alignment alignment);

    // Hands the panel a file path; the panel only keeps it.
    void Method30(QString path);
    QString Method30Path() const { return method30Path_; }

    QSize sizeHint() const override;

signals:
    void Click();
    void MouseDown(qint16 Button, qint16 Shift, float X, float Y);
    void MouseUp(qint16 Button, qint16 Shift, float X, float Y);
    void MouseEnter();
    void MouseLeave();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QString caption_;
    Qt::Alignment alignment_ = Qt::AlignCenter;
    QString method30Path_;
    bool leftPressed_ = false;
};

} // namespace platform
