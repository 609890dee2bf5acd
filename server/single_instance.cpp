#include "server/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
constexpr const char* kDefaultRegistry = "/var/lib/drovemoor/registry.sqlite3";
int g_lockFd = -1;
} // namespace

QString InstanceLockPath() {
    QByteArray store = qgetenv("QUORVANE_REGISTRY");
    if (store.isEmpty()) {
        store = kDefaultRegistry;
    }
    const QByteArray id =
        QCryptographicHash::hash(store, QCryptographicHash::Sha1).toHex().left(16);
    return QDir::tempPath() + QStringLiteral("/drovemoor-") + QString::number(::getuid()) +
           QLatin1Char('-') + QString::fromLatin1(id) + QStringLiteral(".lock");
}

bool PreviousInstanceRunning() {
    if (g_lockFd >= 0) {
        return false;
    }
    const QByteArray path = QFile::encodeName(InstanceLockPath());
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false; // no lock to be had: do not stand in the user's way
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return true;
    }
    g_lockFd = fd;
    return false;
}
