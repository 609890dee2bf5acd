#include "platform/dir_list_box.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QStyle>
#include <QStyledItemDelegate>

namespace platform {

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kLevelRole = Qt::UserRole + 1;
constexpr int kIndentPixels = 8;

// Draws each entry indented by its depth below the root.
class IndentDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem indented = option;
        indented.rect.adjust(index.data(kLevelRole).toInt() * kIndentPixels, 0, 0, 0);
        QStyledItemDelegate::paint(painter, indented, index);
    }
};

QString cleanDirectory(const QString& path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

DirListBox::DirListBox(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new IndentDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemClicked, this, [this] { emit Click(); });
    path_ = cleanDirectory(QDir::currentPath());
    Refresh();
}

QString DirListBox::List(int index) const {
    const QListWidgetItem* entry = item(index);
    return entry ? entry->data(kPathRole).toString() : QString();
}

bool DirListBox::SetPath(const QString& path) {
    if (path.isEmpty()) {
        return false;
    }
    const QString clean = cleanDirectory(path);
    if (!QFileInfo(clean).isDir()) {
        return false;
    }
    const bool changed = clean != path_;
    path_ = clean;
    Refresh();
    if (changed) {
        emit Change();
    }
    return true;
}

void DirListBox::Refresh() {
    clear();
    const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);
    auto add = [this](const QIcon& icon, const QString& text, const QString& path, int level) {
        auto* entry = new QListWidgetItem(icon, text, this);
        entry->setData(kPathRole, path);
        entry->setData(kLevelRole, level);
    };

    add(open, QStringLiteral("/"), QStringLiteral("/"), 0);
    const QStringList parts = path_.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString walked;
    for (const QString& part : parts) {
        walked += QLatin1Char('/') + part;
        add(open, part, walked, int(count()));
    }
    const int current = count() - 1;
    const int level = int(parts.size()) + 1;
    const QFileInfoList children =
        QDir(path_).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& child : children) {
        add(closed, child.fileName(), cleanDirectory(child.filePath()), level);
    }
    setCurrentRow(current);
}

void DirListBox::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentItem()) {
        event->accept();
        emit Click();
        return;
    }
    QListWidget::keyPressEvent(event);
}

} // namespace platform
