#pragma once

#include <QAbstractItemView>
#include <QList>

#include <map>

// The view of the transfer list: one line per row, all rows one height, every line whole (never
// elided or wrapped), the horizontal range as wide as the widest line. Adding or changing a line
// measures that line alone and lays out nothing else, so its cost does not grow with the list.
class TransferListView : public QAbstractItemView {
    Q_OBJECT
public:
    explicit TransferListView(QWidget* parent = nullptr);

    QRect visualRect(const QModelIndex& index) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint& point) const override;
    void doItemsLayout() override;

    // The widest line's width and the rows' height, in pixels.
    int WidestLine() const;
    int RowHeight() const { return rowHeight_; }

protected:
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex& index) const override;
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    void updateGeometries() override;
    void paintEvent(QPaintEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void changeEvent(QEvent* event) override;

protected slots:
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles = QList<int>()) override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
    void rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) override;
    void reset() override;

private:
    int rowCount() const;
    void updateRowHeight();
    int measure(int row) const;
    void setWidth(int row, int width);
    void forgetWidth(int width);
    // Measures every line again: only when the font or the style changes, or the model is new.
    void remeasureAll();
    // The rows that `rect` (viewport coordinates) touches, clamped to the list.
    void rowsIn(const QRect& rect, int& first, int& last) const;
    QRect rowRect(int row) const;

    QList<int> widths_;
    // How many lines have each width, so that the widest is known when it shrinks or goes.
    std::map<int, int> widthCounts_;
    int rowHeight_ = 0;
};
