#include "platform/end_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kEndSignals[] = {SIGTERM, SIGINT, SIGHUP};

int g_pipe[2] = {-1, -1};

std::function<void(int)>& handler() {
    static std::function<void(int)> h;
    return h;
}

// Only what is safe in a signal handler: one byte into the pipe, which the event loop reads.
void onSignal(int signal) {
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

void readSignals() {
    char byte = 0;
    while (::read(g_pipe[0], &byte, 1) == 1) {
        if (handler()) {
            handler()(static_cast<unsigned char>(byte));
        }
    }
}

} // namespace

void OnEndSignal(std::function<void(int signal)> h) {
    handler() = std::move(h);
    if (g_pipe[0] >= 0) {
        return;
    }
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { readSignals(); });
    for (const int signal : kEndSignals) {
        struct sigaction old {};
        if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(signal, &action, nullptr);
    }
}

} // namespace platform
