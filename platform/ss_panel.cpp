#include "platform/ss_panel.h"

#include <QMouseEvent>
#include <QPainter>

#include <utility>

namespace platform {

namespace {} // namespace

qint16 MouseButtonNumber(Qt::MouseButton button) {
    switch (button) {
    case Qt::LeftButton:
        return 1;
    case Qt::RightButton:
        return 2;
    case Qt::MiddleButton:
        return 4;
    default:
        return 0;
    }
}

qint16 ShiftState(Qt::KeyboardModifiers modifiers) {
    qint16 shift = 0;
    if (modifiers & Qt::ShiftModifier)
        shift |= 1;
    if (modifiers & Qt::ControlModifier)
        shift |= 2;
    if (modifiers & Qt::AltModifier)
        shift |= 4;
    return shift;
}

SSPanel::SSPanel(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
}

void SSPanel::SetCaption(const QString& caption) {
    caption_ = caption;
    updateGeometry();
    update();
}

QStringList SSPanel::CaptionLines() const {
    QString text = caption_;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(u'\r', u'\n');
    return text.split(u'\n');
}

void SSPanel::SetAlignment(Qt::Alignment alignment) {
    alignment_ = alignment;
    update();
}

void SSPanel::Method30(QString path) {
    method30Path_ = std::move(path);
}

QSize SSPanel::sizeHint() const {
    const QFontMetrics metrics(font());
    const QRect text =
        metrics.boundingRect(QRect(), Qt::AlignLeft | Qt::AlignTop, CaptionLines().join(u'\n'));
    const int frame = 2 * frameWidth() + 4;
    return QSize(text.width() + frame, text.height() + frame);
}

void SSPanel::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(contentsRect().adjusted(2, 1, -2, -1), static_cast<int>(alignment_),
                     CaptionLines().join(u'\n'));
}

void SSPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        leftPressed_ = true;
    const QPointF at = event->position() * kTwipsPerPixel;
    emit MouseDown(MouseButtonNumber(event->button()), ShiftState(event->modifiers()),
                   static_cast<float>(at.x()), static_cast<float>(at.y()));
}

void SSPanel::mouseReleaseEvent(QMouseEvent* event) {
    const QPointF at = event->position() * kTwipsPerPixel;
    emit MouseUp(MouseButtonNumber(event->button()), ShiftState(event->modifiers()),
                 static_cast<float>(at.x()), static_cast<float>(at.y()));
    if (event->button() == Qt::LeftButton && std::exchange(leftPressed_, false) &&
        rect().contains(event->position().toPoint()))
        emit Click();
}

void SSPanel::enterEvent(QEnterEvent* event) {
    QFrame::enterEvent(event);
    emit MouseEnter();
}

void SSPanel::leaveEvent(QEvent* event) {
    QFrame::leaveEvent(event);
    emit MouseLeave();
}

} // namespace platform
