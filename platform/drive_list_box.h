#pragma once

#include <QComboBox>
#include <QString>
#include <QStringList>

namespace platform {

// A drop-down list of the machine's drives. There are no drive letters here: a drive is a
// mounted volume, named by its root folder ("/" first, then the others in name order). It opens
// on the drive of the process's current directory.
class DriveListBox : public QComboBox {
    Q_OBJECT
public:
    explicit DriveListBox(QWidget* parent = nullptr);

    // The chosen drive's root folder.
    QString Drive() const;
    // Chooses the drive that holds a path (it need not exist): the listed drive whose root is
    // the longest leading part of it. Raises Change when the choice moves.
    void SetDrive(const QString& path);
    // The listed drive that holds a path.
    QString DriveOf(const QString& path) const;
    QStringList Drives() const;
    // Lists the mounted volumes again, keeping the choice where it is still there.
    void Refresh();

signals:
    // The chosen drive changed, by the operator or by SetDrive.
    void Change();

private:
    int last_ = -1;
};

} // namespace platform
