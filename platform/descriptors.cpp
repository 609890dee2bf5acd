#include "platform/descriptors.h"

#include <QVarLengthArray>

#include <algorithm>
#include <fcntl.h>
#include <limits>
#include <poll.h>
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
    // New descriptors take numbers below the limit. When the top `count` of them are all free
    // (the usual case: the kernel hands out the lowest free number first), one call tells.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= rlim_t(count)) {
        const int top = int(qMin<rlim_t>(limit.rlim_cur, std::numeric_limits<int>::max()));
        QVarLengthArray<pollfd, 128> band(count);
        for (int i = 0; i < count; ++i) {
            band[i] = pollfd{top - count + i, 0, 0};
        }
        if (::poll(band.data(), nfds_t(count), 0) == count &&
            std::all_of(band.begin(), band.end(),
                        [](const pollfd& p) { return p.revents == POLLNVAL; })) {
            return true;
        }
    }
    // Otherwise count by taking them: the kernel's own answer, whatever is open and wherever.
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
