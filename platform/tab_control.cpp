#include "platform/tab_control.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionTab>
#include <QTabBar>

#include <algorithm>

namespace platform {

namespace {

constexpr int kCaptionMarginX = 4;
constexpr int kCaptionMarginY = 2;
constexpr Qt::Alignment kCaptionFlags = Qt::AlignCenter;
constexpr int kCaptionTextFlags = Qt::TextWordWrap | Qt::TextShowMnemonic;

} // namespace

// The row of tab handles. It lies over the top of the pages, which cover the whole control, so
// that a press on a handle reaches the row and not the page beneath it.
class TabRow : public QWidget {
public:
    explicit TabRow(TabControl* owner) : QWidget(owner), owner_(owner) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        owner_->paintRow(painter, this);
    }
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) {
            owner_->pressRow(event->position().toPoint());
        }
    }

private:
    TabControl* owner_;
};

TabControl::TabControl(int tabs, QWidget* parent)
    : QWidget(parent), row_(nullptr), tabHeight_(kDefaultTabHeightTwips / kTwipsPerPixel) {
    setFocusPolicy(Qt::StrongFocus);
    for (int i = 0; i < std::max(1, tabs); ++i) {
        auto* page = new QWidget(this);
        page->setVisible(i == 0);
        pages_.append(page);
        captions_.append(QString());
    }
    // Created after the pages, so it stays above them.
    row_ = new TabRow(this);

    auto* next = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Tab), this);
    next->setContext(Qt::WidgetWithChildrenShortcut);
    connect(next, &QShortcut::activated, this, [this] { SetTab((current_ + 1) % Tabs()); });
    auto* previous = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), this);
    previous->setContext(Qt::WidgetWithChildrenShortcut);
    connect(previous, &QShortcut::activated, this,
            [this] { SetTab((current_ + Tabs() - 1) % Tabs()); });
    layoutChildren();
}

void TabControl::SetTabCaption(int index, const QString& caption) {
    if (index < 0 || index >= Tabs()) {
        return;
    }
    captions_[index] = caption;
    updateShortcuts();
    row_->update();
}

void TabControl::SetTab(int index) {
    if (index < 0 || index >= Tabs() || index == current_) {
        return;
    }
    const int previous = current_;
    pages_[previous]->hide();
    current_ = index;
    pages_[current_]->show();
    row_->update();
    update();
    emit Click(previous);
}

void TabControl::SetTabHeight(int twips) {
    tabHeight_ = std::max(1, twips / kTwipsPerPixel);
    layoutChildren();
    update();
}

QRect TabControl::TabRect(int index) const {
    if (index < 0 || index >= Tabs()) {
        return {};
    }
    // Equal widths; the last tab takes what the division leaves over.
    const int width = this->width() / Tabs();
    const int left = index * width;
    const int right = index == Tabs() - 1 ? this->width() : left + width;
    return QRect(left, 0, right - left, tabHeight_);
}

void TabControl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOptionTabWidgetFrame frame;
    frame.initFrom(this);
    frame.shape = QTabBar::RoundedNorth;
    const int overlap = style()->pixelMetric(QStyle::PM_TabBarBaseOverlap, nullptr, this);
    frame.rect = rect().adjusted(0, tabHeight_ - overlap, 0, 0);
    frame.tabBarSize = QSize(width(), tabHeight_);
    frame.tabBarRect = QRect(0, 0, width(), tabHeight_);
    frame.selectedTabRect = TabRect(current_);
    frame.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    style()->drawPrimitive(QStyle::PE_FrameTabWidget, &frame, &painter, this);
}

void TabControl::paintRow(QPainter& painter, QWidget* row) {
    const int count = Tabs();
    // The current tab last, so that it overlaps its neighbours.
    QList<int> order;
    for (int i = 0; i < count; ++i) {
        if (i != current_) {
            order.append(i);
        }
    }
    order.append(current_);
    for (int i : order) {
        QStyleOptionTab tab;
        tab.initFrom(row);
        tab.shape = QTabBar::RoundedNorth;
        tab.rect = TabRect(i);
        tab.position = count == 1       ? QStyleOptionTab::OnlyOneTab
                       : i == 0         ? QStyleOptionTab::Beginning
                       : i == count - 1 ? QStyleOptionTab::End
                                        : QStyleOptionTab::Middle;
        tab.selectedPosition = i + 1 == current_   ? QStyleOptionTab::NextIsSelected
                               : i - 1 == current_ ? QStyleOptionTab::PreviousIsSelected
                                                   : QStyleOptionTab::NotAdjacent;
        tab.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
        if (i == current_) {
            tab.state |= QStyle::State_Selected;
        }
        style()->drawControl(QStyle::CE_TabBarTabShape, &tab, &painter, row);

        const QRect room = tab.rect.adjusted(kCaptionMarginX, kCaptionMarginY, -kCaptionMarginX, 0);
        style()->drawItemText(&painter, room, int(kCaptionFlags) | kCaptionTextFlags, tab.palette,
                              isEnabled(), captions_[i], QPalette::WindowText);
        if (i == current_ && hasFocus()) {
            QStyleOptionFocusRect focus;
            focus.initFrom(row);
            focus.rect =
                style()
                    ->itemTextRect(row->fontMetrics(), room, int(kCaptionFlags) | kCaptionTextFlags,
                                   isEnabled(), captions_[i])
                    .adjusted(-2, -1, 2, 1);
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, row);
        }
    }
}

void TabControl::pressRow(const QPoint& at) {
    for (int i = 0; i < Tabs(); ++i) {
        if (TabRect(i).contains(at)) {
            setFocus(Qt::MouseFocusReason);
            SetTab(i);
            return;
        }
    }
}

void TabControl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutChildren();
}

void TabControl::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressRow(event->position().toPoint());
    }
}

void TabControl::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Up:
        SetTab(current_ - 1);
        break;
    case Qt::Key_Right:
    case Qt::Key_Down:
        SetTab(current_ + 1);
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void TabControl::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    row_->update();
}

void TabControl::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    row_->update();
}

void TabControl::layoutChildren() {
    for (QWidget* page : pages_) {
        page->setGeometry(rect());
    }
    row_->setGeometry(0, 0, width(), tabHeight_);
}

// Each caption's access key chooses its tab from anywhere in the window.
void TabControl::updateShortcuts() {
    qDeleteAll(shortcuts_);
    shortcuts_.clear();
    for (int i = 0; i < Tabs(); ++i) {
        const QKeySequence key = QKeySequence::mnemonic(captions_[i]);
        if (key.isEmpty()) {
            continue;
        }
        auto* shortcut = new QShortcut(key, this);
        connect(shortcut, &QShortcut::activated, this, [this, i] {
            SetTab(i);
            setFocus(Qt::ShortcutFocusReason);
        });
        shortcuts_.append(shortcut);
    }
}

} // namespace platform
