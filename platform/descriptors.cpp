#include "platform/descriptors.h"

#include <QVarLengthArray>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) {
        return;
    }
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

bool DescriptorsLeft(int count) {
    if (count <= 0) {
        return true;
    }
    // Counting by taking them: the kernel's own answer, whatever is open and wherever.
    QVarLengthArray<int, 128> taken;
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    while (fd >= 0) {
        taken.append(fd);
        if (taken.size() == count) {
            break;
        }
        fd = ::fcntl(taken.first(), F_DUPFD_CLOEXEC, 0);
    }
    const bool enough = taken.size() == count;
    for (int t : taken) {
        ::close(t);
    }
    return enough;
}

} // namespace platform
