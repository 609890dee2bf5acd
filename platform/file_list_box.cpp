#include "platform/file_list_box.h"

#include <QDir>
#include <QFileInfo>

namespace platform {

FileListBox::FileListBox(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemSelectionChanged, this, [this] {
        if (!selectedItems().isEmpty()) {
            emit Click();
        }
    });
    path_ = QDir::cleanPath(QDir::currentPath());
    Refresh();
}

bool FileListBox::SetPath(const QString& path) {
    if (path.isEmpty()) {
        return false;
    }
    const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (!QFileInfo(clean).isDir()) {
        return false;
    }
    path_ = clean;
    Refresh();
    return true;
}

void FileListBox::SetPattern(const QString& pattern) {
    pattern_ = pattern;
    Refresh();
}

QString FileListBox::List(int index) const {
    const QListWidgetItem* entry = item(index);
    return entry ? entry->text() : QString();
}

int FileListBox::ListIndex() const {
    const QList<QListWidgetItem*> chosen = selectedItems();
    return chosen.isEmpty() ? -1 : row(chosen.first());
}

void FileListBox::SetListIndex(int index) {
    if (index < 0 || index >= count()) {
        clearSelection();
        setCurrentRow(-1);
        return;
    }
    setCurrentRow(index);
}

void FileListBox::Refresh() {
    const bool blocked = blockSignals(true);
    clear();
    QStringList filters;
    for (const QString& pattern : pattern_.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString trimmed = pattern.trimmed();
        filters.append(trimmed == QLatin1String("*.*") ? QStringLiteral("*") : trimmed);
    }
    addItems(QDir(path_).entryList(filters, QDir::Files, QDir::Name | QDir::IgnoreCase));
    blockSignals(blocked);
}

} // namespace platform
