#include "server/transfer_list_view.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

TransferListView::TransferListView(QWidget* parent) : QAbstractItemView(parent) {
    setTextElideMode(Qt::ElideNone);
    setVerticalScrollMode(ScrollPerPixel);
    setHorizontalScrollMode(ScrollPerPixel);
    setSelectionMode(SingleSelection);
    setEditTriggers(NoEditTriggers);
    updateRowHeight();
}

int TransferListView::rowCount() const {
    return model() ? model()->rowCount(rootIndex()) : 0;
}

int TransferListView::WidestLine() const {
    return widthCounts_.empty() ? 0 : widthCounts_.rbegin()->first;
}

void TransferListView::updateRowHeight() {
    // Every row is as high as a line of text in the view's font, whatever it holds.
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.features |= QStyleOptionViewItem::HasDisplay;
    option.text = QStringLiteral("Xg");
    rowHeight_ = qMax(
        1, style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).height());
}

int TransferListView::measure(int row) const {
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QModelIndex index = model()->index(row, 0, rootIndex());
    QAbstractItemDelegate* delegate = itemDelegateForIndex(index);
    return delegate ? delegate->sizeHint(option, index).width() : 0;
}

void TransferListView::forgetWidth(int width) {
    const auto it = widthCounts_.find(width);
    if (it != widthCounts_.end() && --it->second == 0) {
        widthCounts_.erase(it);
    }
}

void TransferListView::setWidth(int row, int width) {
    forgetWidth(widths_[row]);
    widths_[row] = width;
    ++widthCounts_[width];
}

void TransferListView::remeasureAll() {
    widths_.clear();
    widthCounts_.clear();
    const int count = rowCount();
    widths_.reserve(count);
    for (int row = 0; row < count; ++row) {
        widths_.append(measure(row));
        ++widthCounts_[widths_.last()];
    }
}

QRect TransferListView::rowRect(int row) const {
    return QRect(-horizontalOffset(), row * rowHeight_ - verticalOffset(),
                 qMax(WidestLine(), viewport()->width()), rowHeight_);
}

void TransferListView::rowsIn(const QRect& rect, int& first, int& last) const {
    const int top = rect.top() + verticalOffset();
    const int bottom = rect.bottom() + verticalOffset();
    first = qMax(0, top / rowHeight_);
    last = qMin(rowCount() - 1, bottom / rowHeight_);
}

QRect TransferListView::visualRect(const QModelIndex& index) const {
    if (!index.isValid() || index.parent() != rootIndex() || index.row() >= rowCount()) {
        return {};
    }
    return rowRect(index.row());
}

void TransferListView::scrollTo(const QModelIndex& index, ScrollHint hint) {
    if (!index.isValid()) {
        return;
    }
    const int top = index.row() * rowHeight_;
    const int height = viewport()->height();
    QScrollBar* bar = verticalScrollBar();
    int value = bar->value();
    switch (hint) {
    case PositionAtTop:
        value = top;
        break;
    case PositionAtBottom:
        value = top + rowHeight_ - height;
        break;
    case PositionAtCenter:
        value = top - (height - rowHeight_) / 2;
        break;
    case EnsureVisible:
        if (top < value) {
            value = top;
        } else if (top + rowHeight_ > value + height) {
            value = top + rowHeight_ - height;
        }
        break;
    }
    bar->setValue(value);
}

QModelIndex TransferListView::indexAt(const QPoint& point) const {
    if (!model() || point.y() < 0) {
        return {};
    }
    const int row = (point.y() + verticalOffset()) / rowHeight_;
    return row < rowCount() ? model()->index(row, 0, rootIndex()) : QModelIndex();
}

void TransferListView::doItemsLayout() {
    if (widths_.size() != rowCount()) {
        remeasureAll();
    }
    QAbstractItemView::doItemsLayout();
}

QModelIndex TransferListView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    Q_UNUSED(modifiers);
    const int count = rowCount();
    if (count == 0) {
        return {};
    }
    const QModelIndex current = currentIndex();
    int row = current.isValid() ? current.row() : -1;
    const int page = qMax(1, viewport()->height() / rowHeight_);
    switch (action) {
    case MoveUp:
    case MovePrevious:
        row = row < 0 ? 0 : row - 1;
        break;
    case MoveDown:
    case MoveNext:
        ++row;
        break;
    case MovePageUp:
        row -= page;
        break;
    case MovePageDown:
        row = row < 0 ? page - 1 : row + page;
        break;
    case MoveHome:
        row = 0;
        break;
    case MoveEnd:
        row = count - 1;
        break;
    case MoveLeft:
    case MoveRight:
        // Sideways is where the rest of a long line is.
        horizontalScrollBar()->triggerAction(action == MoveLeft
                                                 ? QAbstractSlider::SliderSingleStepSub
                                                 : QAbstractSlider::SliderSingleStepAdd);
        return current;
    }
    return model()->index(qBound(0, row, count - 1), 0, rootIndex());
}

int TransferListView::horizontalOffset() const {
    return horizontalScrollBar()->value();
}

int TransferListView::verticalOffset() const {
    return verticalScrollBar()->value();
}

bool TransferListView::isIndexHidden(const QModelIndex& index) const {
    Q_UNUSED(index);
    return false;
}

void TransferListView::setSelection(const QRect& rect,
                                    QItemSelectionModel::SelectionFlags command) {
    if (!selectionModel()) {
        return;
    }
    int first = 0;
    int last = -1;
    rowsIn(rect.normalized(), first, last);
    QItemSelection selection;
    if (first <= last) {
        selection.select(model()->index(first, 0, rootIndex()),
                         model()->index(last, 0, rootIndex()));
    }
    selectionModel()->select(selection, command);
}

QRegion TransferListView::visualRegionForSelection(const QItemSelection& selection) const {
    QRegion region;
    for (const QItemSelectionRange& range : selection) {
        if (range.parent() == rootIndex()) {
            region += rowRect(range.top()).united(rowRect(range.bottom()));
        }
    }
    return region;
}

void TransferListView::updateGeometries() {
    const QSize room = viewport()->size();
    QScrollBar* vertical = verticalScrollBar();
    vertical->setSingleStep(rowHeight_);
    vertical->setPageStep(room.height());
    vertical->setRange(0, qMax(0, rowCount() * rowHeight_ - room.height()));
    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setSingleStep(qMax(1, fontMetrics().averageCharWidth() * 4));
    horizontal->setPageStep(room.width());
    horizontal->setRange(0, qMax(0, WidestLine() - room.width()));
    QAbstractItemView::updateGeometries();
}

void TransferListView::paintEvent(QPaintEvent* event) {
    if (!model()) {
        return;
    }
    QPainter painter(viewport());
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QStyle::State plain =
        option.state & ~(QStyle::State_Selected | QStyle::State_HasFocus | QStyle::State_MouseOver);
    const QModelIndex current = currentIndex();
    const bool focused = hasFocus();
    int first = 0;
    int last = -1;
    rowsIn(event->rect(), first, last);
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = model()->index(row, 0, rootIndex());
        option.rect = rowRect(row);
        option.state = plain;
        if (selectionModel() && selectionModel()->isSelected(index)) {
            option.state |= QStyle::State_Selected;
        }
        if (focused && index == current) {
            option.state |= QStyle::State_HasFocus;
        }
        if (QAbstractItemDelegate* delegate = itemDelegateForIndex(index)) {
            delegate->paint(&painter, option, index);
        }
    }
}

void TransferListView::scrollContentsBy(int dx, int dy) {
    scrollDirtyRegion(dx, dy);
    viewport()->scroll(dx, dy);
}

void TransferListView::changeEvent(QEvent* event) {
    QAbstractItemView::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        updateRowHeight();
        remeasureAll();
        updateGeometries();
        viewport()->update();
    }
}

void TransferListView::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                                   const QList<int>& roles) {
    const bool text = roles.isEmpty() || roles.contains(Qt::DisplayRole) ||
                      roles.contains(Qt::FontRole) || roles.contains(Qt::SizeHintRole);
    if (text && topLeft.parent() == rootIndex() && bottomRight.row() < widths_.size()) {
        const int widest = WidestLine();
        for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
            setWidth(row, measure(row));
        }
        if (WidestLine() != widest) {
            updateGeometries();
        }
    }
    QAbstractItemView::dataChanged(topLeft, bottomRight, roles);
}

void TransferListView::rowsInserted(const QModelIndex& parent, int start, int end) {
    if (parent == rootIndex()) {
        if (widths_.size() + (end - start + 1) != rowCount()) {
            remeasureAll();
        } else {
            for (int row = start; row <= end; ++row) {
                widths_.insert(row, measure(row));
                ++widthCounts_[widths_[row]];
            }
        }
        updateGeometries();
        // Only the rows from the first new one down can look different.
        viewport()->update(
            QRect(0, rowRect(start).top(), viewport()->width(), viewport()->height()));
    }
    QAbstractItemView::rowsInserted(parent, start, end);
}

void TransferListView::rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) {
    if (parent == rootIndex() && end < widths_.size()) {
        for (int row = start; row <= end; ++row) {
            forgetWidth(widths_[row]);
        }
        widths_.remove(start, end - start + 1);
        // The rows are gone once the model says so; the ranges follow then.
        QMetaObject::invokeMethod(
            this,
            [this] {
                updateGeometries();
                viewport()->update();
            },
            Qt::QueuedConnection);
    }
    QAbstractItemView::rowsAboutToBeRemoved(parent, start, end);
}

void TransferListView::reset() {
    QAbstractItemView::reset();
    remeasureAll();
    updateGeometries();
}
