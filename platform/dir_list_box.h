#pragma once

#include <QListWidget>
#include <QString>

namespace platform {

// A directory list: the open directory with the folders above it, each indented under its
// parent, and below them the directories it holds (hidden ones left out). It opens on the
// process's current directory. Entries are numbered from 0, top to bottom.
class DirListBox : public QListWidget {
    Q_OBJECT
public:
    explicit DirListBox(QWidget* parent = nullptr);

    // The open directory, absolute and without a trailing "/".
    QString Path() const { return path_; }
    // Opens a directory. False, and nothing changed, when the path is not an existing
    // directory. Raises Change when the open directory changes.
    bool SetPath(const QString& path);

    int ListCount() const { return count(); }
    // The full path of an entry, or "" for none.
    QString List(int index) const;
    // The highlighted entry, -1 for none; opening a directory highlights it.
    int ListIndex() const { return currentRow(); }
    void SetListIndex(int index) { setCurrentRow(index); }

    // Reads the open directory again.
    void Refresh();

signals:
    void Change();
    // An entry was clicked, or Enter typed on one.
    void Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QString path_;
};

} // namespace platform
