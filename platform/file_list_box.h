#pragma once

#include <QListWidget>
#include <QString>

namespace platform {

// A file list: the names of the files in one directory that match the pattern, in name order,
// hidden ones left out. It opens on the process's current directory. Entries are numbered from
// 0.
class FileListBox : public QListWidget {
    Q_OBJECT
public:
    explicit FileListBox(QWidget* parent = nullptr);

    QString Path() const { return path_; }
    // Shows another directory's files. False, and nothing changed, when the path is not an
    // existing directory.
    bool SetPath(const QString& path);
    // Patterns joined by ";"; "*.*" and "*" match every name.
    QString Pattern() const { return pattern_; }
    void SetPattern(const QString& pattern);

    int ListCount() const { return count(); }
    QString List(int index) const;
    // The selected entry, -1 for none.
    int ListIndex() const;
    void SetListIndex(int index);

    void Refresh();

signals:
    // An entry was chosen, by the mouse or the keyboard.
    void Click();

private:
    QString path_;
    QString pattern_ = QStringLiteral("*.*");
};

} // namespace platform
