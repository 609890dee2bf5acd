#include "platform/root_path.h"

#include <QList>

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

bool LeavesRoot(const QByteArray& root, const QByteArray& relative) {
    QByteArray name = relative;
    name.replace('\\', '/');
    for (const QByteArray& part : name.split('/')) {
        if (part == "..") {
            return true;
        }
    }
    while (name.startsWith('/')) {
        name.remove(0, 1);
    }
    if (name.isEmpty()) {
        return false;
    }
    const int rootFd = ::open(root.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        return false; // no root: the search and the open fail on their own
    }
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, rootFd, name.constData(), &how, sizeof how);
    const int error = errno;
    if (fd >= 0) {
        ::close(int(fd));
    }
    ::close(rootFd);
    return fd < 0 && (error == EXDEV || error == ELOOP);
}

} // namespace platform
