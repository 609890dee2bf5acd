#include "platform/drive_list_box.h"

#include <QDir>
#include <QStorageInfo>

#include <algorithm>

namespace platform {

namespace {

constexpr const char* kRootDrive = "/";

bool holds(const QString& root, const QString& path) {
    if (root == QLatin1String(kRootDrive)) {
        return path.startsWith(QLatin1Char('/'));
    }
    return path == root || path.startsWith(root + QLatin1Char('/'));
}

} // namespace

DriveListBox::DriveListBox(QWidget* parent) : QComboBox(parent) {
    setEditable(false);
    Refresh();
    // It opens on the drive of the current directory.
    const bool blocked = blockSignals(true);
    setCurrentIndex(std::max(0, findData(DriveOf(QDir::currentPath()))));
    last_ = currentIndex();
    blockSignals(blocked);
    connect(this, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index != last_) {
            last_ = index;
            emit Change();
        }
    });
}

QString DriveListBox::Drive() const {
    return currentData().toString();
}

QStringList DriveListBox::Drives() const {
    QStringList out;
    for (int i = 0; i < count(); ++i) {
        out.append(itemData(i).toString());
    }
    return out;
}

QString DriveListBox::DriveOf(const QString& path) const {
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    QString best = QLatin1String(kRootDrive);
    for (const QString& root : Drives()) {
        if (holds(root, clean) && root.size() > best.size()) {
            best = root;
        }
    }
    return best;
}

void DriveListBox::SetDrive(const QString& path) {
    setCurrentIndex(findData(DriveOf(path)));
}

void DriveListBox::Refresh() {
    const QString chosen = Drive();
    QStringList roots{QLatin1String(kRootDrive)};
    QStringList labels{QLatin1String(kRootDrive)};
    QList<QStorageInfo> volumes = QStorageInfo::mountedVolumes();
    std::sort(volumes.begin(), volumes.end(), [](const QStorageInfo& a, const QStorageInfo& b) {
        return a.rootPath() < b.rootPath();
    });
    for (const QStorageInfo& volume : volumes) {
        const QString root = QDir::cleanPath(volume.rootPath());
        if (!volume.isValid() || !volume.isReady() || roots.contains(root)) {
            continue;
        }
        roots.append(root);
        const QString name = volume.name();
        labels.append(name.isEmpty() ? root
                                     : root + QStringLiteral(" [") + name + QLatin1Char(']'));
    }
    const bool blocked = blockSignals(true);
    clear();
    for (qsizetype i = 0; i < roots.size(); ++i) {
        addItem(labels[i], roots[i]);
    }
    const int keep = findData(chosen);
    setCurrentIndex(keep >= 0 ? keep : 0);
    last_ = currentIndex();
    blockSignals(blocked);
}

} // namespace platform
