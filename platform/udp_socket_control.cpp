#include "platform/udp_socket_control.h"

#include "platform/yield.h"

#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace {

// Datagrams taken per notifier activation, so one busy socket cannot starve the others.
constexpr int kDatagramsPerActivation = 8;
// Larger than any IPv4 UDP payload (65507), so no datagram is ever cut short.
constexpr int kReceiveBufferSize = 65536;
// How often a socket that reads one datagram per activation tries a whole batch again.
constexpr int kLeanProbeInterval = 8;
// Sends after a fruitless read right after a send before the next such read is tried.
constexpr quint8 kEagerProbeInterval = 8;
// How long a send waits for room in a full send buffer before it gives up.
constexpr int kSendRoomWaitMs = 50;

constexpr const char* kAlreadyBoundText = "The socket is already bound";
constexpr const char* kBadPortText = "Invalid port number";
constexpr const char* kNoRemoteText = "No valid remote host and port to send to";
constexpr const char* kNoDatagramText = "No datagram to take";
constexpr const char* kClosedText = "The socket is closed";

// One receive buffer per thread, shared by all sockets: each datagram is copied out of it before
// its event is raised, so a handler that reads another socket cannot disturb it.
char* receiveBuffer() {
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer) {
        buffer = std::make_unique<char[]>(kReceiveBufferSize);
    }
    return buffer.get();
}

bool resolveIPv4(const QString& host, quint32& addr) {
    const QByteArray text = host.trimmed().toLatin1();
    if (text.isEmpty()) {
        return false;
    }
    in_addr numeric{};
    if (::inet_pton(AF_INET, text.constData(), &numeric) == 1) {
        addr = numeric.s_addr;
        return true;
    }
    // Only something shaped like a host name goes to the resolver: a malformed address such as
    // "256.1.1.1" or stray text must fail at once, not wait on a name server.
    bool hasLetter = false;
    for (char c : text) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        hasLetter = hasLetter || letter;
        if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '.') {
            return false;
        }
    }
    if (!hasLetter) {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(text.constData(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return true;
}

} // namespace

UdpSocketControl::UdpSocketControl(QObject* parent) : QObject(parent) {}

UdpSocketControl::~UdpSocketControl() {
    Close();
}

bool UdpSocketControl::fail(int error) {
    lastError_ = error;
    lastErrorText_ = QString::fromStdString(std::generic_category().message(error));
    return false;
}

bool UdpSocketControl::fail(int error, const char* text) {
    lastError_ = error;
    lastErrorText_ = QString::fromLatin1(text);
    return false;
}

bool UdpSocketControl::ensureSocket() {
    if (fd_ >= 0) {
        return true;
    }
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return fail(errno);
    }
    return true;
}

int UdpSocketControl::boundPort() const {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

void UdpSocketControl::startReceiving() {
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &UdpSocketControl::readPending);
}

bool UdpSocketControl::Bind(int port) {
    if (port == -1) {
        port = localPort_;
    }
    if (port < 0 || port > 65535) {
        return fail(EINVAL, kBadPortText);
    }
    if (bound_) {
        return fail(EINVAL, kAlreadyBoundText);
    }
    if (!ensureSocket()) {
        return false;
    }
    // No SO_REUSEADDR: a port held by any other socket, in this process or another, must refuse.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(quint16(port));
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return fail(errno);
    }
    bound_ = true;
    closed_ = false;
    localPort_ = boundPort();
    startReceiving();
    return true;
}

int UdpSocketControl::LocalPort() const {
    return localPort_;
}

void UdpSocketControl::SetRemoteHost(const QString& host) {
    remoteHost_ = host;
    lastPort_ = -1;
    remoteValid_ = resolveIPv4(host, remoteAddr_);
}

void UdpSocketControl::SetRemotePort(int port) {
    remotePort_ = port;
    lastPort_ = -1;
}

bool UdpSocketControl::SendData(const QByteArray& data) {
    if (!remoteValid_ || remotePort_ < 1 || remotePort_ > 65535) {
        return fail(EDESTADDRREQ, kNoRemoteText);
    }
    return sendTo(remoteAddr_, remotePort_, data);
}

bool UdpSocketControl::SendToSender(const QByteArray& data) {
    if (lastHostIP_.isEmpty() || senderPort_ < 1) {
        return fail(EDESTADDRREQ, kNoRemoteText);
    }
    return sendTo(lastAddr_, senderPort_, data);
}

bool UdpSocketControl::FromRemote() const {
    return remoteValid_ && !lastHostIP_.isEmpty() && lastAddr_ == remoteAddr_ &&
           senderPort_ == remotePort_;
}

bool UdpSocketControl::sendTo(quint32 addr, int port, const QByteArray& data) {
    // Sending would quietly open a new socket on some other port: once closed, a control stays
    // silent until it is bound again.
    if (closed_) {
        return fail(ENOTCONN, kClosedText);
    }
    if (!ensureSocket()) {
        return false;
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = addr;
    remote.sin_port = htons(quint16(port));

    bool sent = false;
    int error = 0;
    bool waited = false;
    for (;;) {
        if (::sendto(fd_, data.constData(), size_t(data.size()), 0,
                     reinterpret_cast<const sockaddr*>(&remote), sizeof remote) >= 0) {
            sent = true;
            break;
        }
        error = errno;
        if (error == EINTR) {
            continue;
        }
        if ((error == EAGAIN || error == EWOULDBLOCK) && !waited) {
            // A full send buffer drains in moments; wait briefly once rather than drop the packet.
            pollfd room{fd_, POLLOUT, 0};
            ::poll(&room, 1, kSendRoomWaitMs);
            waited = true;
            continue;
        }
        break;
    }

    // The system binds an unbound socket to a free port on its first send (even one that fails
    // after that point); from then on it is open and hears the answers to it.
    if (!bound_) {
        if (const int port = boundPort(); port != 0) {
            localPort_ = port;
            bound_ = true;
            startReceiving();
        }
    }
    // Sent from a continuation: when the loop is busy (many transfers) the answer is often
    // there already, so look right after the continuations instead of in the next poll. When
    // that finds nothing (one transfer, its client not yet answered) it only costs a read, so it
    // is tried again only now and then.
    if (sent && notifier_ && !readQueued_ && RunningContinuations()) {
        if (eagerSkips_ > 0) {
            --eagerSkips_;
        } else {
            readQueued_ = true;
            AfterContinuations([alive = QPointer<UdpSocketControl>(this)] {
                if (alive) {
                    alive->readQueued_ = false;
                    if (alive->notifier_) {
                        alive->readPending();
                        if (alive && alive->lastTaken_ == 0) {
                            alive->eagerSkips_ = kEagerProbeInterval;
                        }
                    }
                }
            });
        }
    }
    return sent ? true : fail(error);
}

bool UdpSocketControl::SendData(const QString& text) {
    return SendData(text.toLatin1());
}

bool UdpSocketControl::GetData(QByteArray& data) {
    if (!hasCurrent_) {
        data.clear();
        return fail(ENODATA, kNoDatagramText);
    }
    data = std::move(current_);
    current_ = QByteArray();
    hasCurrent_ = false;
    return true;
}

bool UdpSocketControl::GetData(QString& text) {
    QByteArray bytes;
    if (!GetData(bytes)) {
        text.clear();
        return false;
    }
    text = QString::fromLatin1(bytes);
    return true;
}

int UdpSocketControl::State() const {
    return bound_ ? sckOpen : sckClosed;
}

void UdpSocketControl::Close() {
    ++openGeneration_;
    if (notifier_ != nullptr) {
        notifier_->setEnabled(false);
        // Close may come from a handler of this very notifier's activation.
        notifier_->deleteLater();
        notifier_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    bound_ = false;
    closed_ = true;
    current_ = QByteArray();
    hasCurrent_ = false;
    rearm_ = false;
}

void UdpSocketControl::TakeWaiting() {
    if (fd_ < 0 || reading_) {
        return;
    }
    // A batch read: whatever waits, not only the first.
    lean_ = false;
    readPending();
}

void UdpSocketControl::readPending() {
    if (reading_) {
        // A handler is running a nested event loop: pause until it returns, so handlers never
        // nest and a readable socket does not spin that loop.
        if (notifier_ != nullptr) {
            notifier_->setEnabled(false);
            rearm_ = true;
        }
        return;
    }
    reading_ = true;
    QPointer<UdpSocketControl> alive(this);
    const quint64 generation = openGeneration_;
    char* buffer = receiveBuffer();

    // Most sockets see one datagram at a time (a transfer in lock step), and for them every
    // read past the first only meets an empty queue. So after a batch read that found just one,
    // a socket reads one per activation, and tries a batch again only now and then.
    const bool batch = !lean_ || ++leanActivations_ % kLeanProbeInterval == 0;
    const int limit = batch ? kDatagramsPerActivation : 1;
    int taken = 0;
    while (taken < limit) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buffer, kReceiveBufferSize, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        ++taken;
        current_ = QByteArray(buffer, qsizetype(n));
        hasCurrent_ = true;
        // Senders repeat; make the text only when the address changes.
        if (lastHostIP_.isEmpty() || from.sin_addr.s_addr != lastAddr_) {
            char text[INET_ADDRSTRLEN];
            ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            lastHostIP_ = QString::fromLatin1(text);
            lastAddr_ = from.sin_addr.s_addr;
        }
        lastPort_ = ntohs(from.sin_port);
        senderPort_ = lastPort_;

        emit DataArrival(int(n));

        if (!alive) {
            return; // deleted by the handler: touch nothing
        }
        if (openGeneration_ != generation) {
            break; // closed by the handler (and perhaps bound anew): stop reading at once
        }
        // The datagram belongs to its event; one not taken is dropped here.
        current_ = QByteArray();
        hasCurrent_ = false;
    }
    if (batch) {
        lean_ = taken <= 1;
    }
    lastTaken_ = taken;

    reading_ = false;
    if (rearm_) {
        rearm_ = false;
        if (notifier_ != nullptr) {
            notifier_->setEnabled(true);
        }
    }
}

} // namespace platform
