#include "platform/form.h"
#include "platform/udp_socket_control.h"
#include "platform/yield.h"

#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

using platform::UdpSocketControl;

namespace {

// A plain loopback socket on the other side, so each test sees the control from outside.
class Peer {
public:
    explicit Peer(bool reuseAddress = false, int port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (reuseAddress) {
            const int on = 1;
            ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        }
        sockaddr_in local = loopback(port);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        socklen_t len = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len);
        port_ = ntohs(local.sin_port);
    }
    ~Peer() { ::close(fd_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool bound() const { return bound_; }
    int port() const { return port_; }

    bool sendTo(int port, const QByteArray& data) const {
        const sockaddr_in to = loopback(port);
        return ::sendto(fd_, data.constData(), size_t(data.size()), 0,
                        reinterpret_cast<const sockaddr*>(&to), sizeof to) == data.size();
    }

    // One datagram, or false after the timeout.
    bool receive(QByteArray& data, int& fromPort, int timeoutMs = 2000) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) {
            return false;
        }
        data.resize(65536);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd_, data.data(), size_t(data.size()), 0,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            return false;
        }
        data.resize(n);
        fromPort = ntohs(from.sin_port);
        return true;
    }

private:
    static sockaddr_in loopback(int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(quint16(port));
        return a;
    }

    int fd_ = -1;
    bool bound_ = false;
    int port_ = 0;
};

// A port that was free a moment ago.
int freePort() {
    Peer probe;
    return probe.port();
}

QByteArray allBytesFrom(int first) {
    QByteArray bytes;
    for (int b = first; b <= 0xFF; ++b) {
        bytes.append(char(b));
    }
    return bytes;
}

} // namespace

class TestUdpSocketControl : public QObject {
    Q_OBJECT
private slots:
    void bindTakesPort_data();
    void bindTakesPort();
    void bindTakenPortFails_data();
    void bindTakenPortFails();
    void bindTwiceFails();
    void unboundSendTakesFreePort();
    void sendTargets_data();
    void sendTargets();
    void sendFailures_data();
    void sendFailures();
    void textGoesOneBytePerCharacter();
    void remoteOfDatagramJustTaken();
    void getDataWholeDatagram_data();
    void getDataWholeDatagram();
    void getDataWithoutDatagramFails();
    void oneEventPerDatagramInBurst();
    void closeTwiceAndBindAgain();
    void closedSocketSendsNothing();
    void tellsTheRemoteFromOthersAndAnswersThem();
    void closeInHandlerStopsReading();
    void deleteInHandlerStopsReading();
    void nestedEventLoopDoesNotNestHandlers();
    void yieldingHandlerIsReenteredByNextDatagram();
};

void TestUdpSocketControl::bindTakesPort_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("zero: the system picks") << "zero";
    QTest::newRow("a free port named") << "named";
    QTest::newRow("no argument: LocalPort") << "default";
}

void TestUdpSocketControl::bindTakesPort() {
    QFETCH(QString, how);
    UdpSocketControl socket;
    QCOMPARE(socket.State(), int(UdpSocketControl::sckClosed));
    int wanted = 0;
    bool ok = false;
    if (how == "zero") {
        ok = socket.Bind(0);
    } else if (how == "named") {
        wanted = freePort();
        ok = socket.Bind(wanted);
    } else {
        wanted = freePort();
        socket.SetLocalPort(wanted);
        ok = socket.Bind();
    }
    QVERIFY2(ok, qPrintable(socket.LastErrorText()));
    QCOMPARE(socket.State(), int(UdpSocketControl::sckOpen));
    QVERIFY(socket.LocalPort() > 0);
    if (wanted != 0) {
        QCOMPARE(socket.LocalPort(), wanted);
    }
    QSignalSpy arrivals(&socket, &UdpSocketControl::DataArrival);
    Peer peer;
    QVERIFY(peer.sendTo(socket.LocalPort(), "hello"));
    QTRY_COMPARE(arrivals.count(), 1);
}

void TestUdpSocketControl::bindTakenPortFails_data() {
    QTest::addColumn<QString>("holder");
    QTest::newRow("another control") << "control";
    QTest::newRow("a plain socket") << "plain";
    QTest::newRow("a socket that allows address reuse") << "reuse";
}

void TestUdpSocketControl::bindTakenPortFails() {
    QFETCH(QString, holder);
    UdpSocketControl first;
    std::unique_ptr<Peer> peer;
    int port = 0;
    if (holder == "control") {
        QVERIFY(first.Bind(0));
        port = first.LocalPort();
    } else {
        peer = std::make_unique<Peer>(holder == "reuse");
        QVERIFY(peer->bound());
        port = peer->port();
    }
    UdpSocketControl second;
    QVERIFY(!second.Bind(port));
    QCOMPARE(second.LastError(), EADDRINUSE);
    QVERIFY(second.LastErrorText().contains("in use"));
    QCOMPARE(second.State(), int(UdpSocketControl::sckClosed));
}

void TestUdpSocketControl::bindTwiceFails() {
    UdpSocketControl socket;
    QVERIFY(socket.Bind(0));
    const int port = socket.LocalPort();
    QVERIFY(!socket.Bind(0));
    QVERIFY(socket.LastError() != 0);
    QVERIFY(!socket.LastErrorText().isEmpty());
    // The failed bind leaves the first one working.
    QCOMPARE(socket.LocalPort(), port);
    QCOMPARE(socket.State(), int(UdpSocketControl::sckOpen));
    QSignalSpy arrivals(&socket, &UdpSocketControl::DataArrival);
    Peer peer;
    QVERIFY(peer.sendTo(port, "x"));
    QTRY_COMPARE(arrivals.count(), 1);
}

void TestUdpSocketControl::unboundSendTakesFreePort() {
    Peer peer;
    UdpSocketControl socket;
    socket.SetRemoteHost("127.0.0.1");
    socket.SetRemotePort(peer.port());
    QVERIFY2(socket.SendData(QByteArray("\0\5\0\1oops\0", 10)), qPrintable(socket.LastErrorText()));
    QByteArray got;
    int from = 0;
    QVERIFY(peer.receive(got, from));
    QCOMPARE(got, QByteArray("\0\5\0\1oops\0", 10));
    QVERIFY(from > 0);
    QCOMPARE(socket.LocalPort(), from);
    // Bound by its send, the socket hears the answer on that port.
    QCOMPARE(socket.State(), int(UdpSocketControl::sckOpen));
    QSignalSpy arrivals(&socket, &UdpSocketControl::DataArrival);
    QVERIFY(peer.sendTo(from, "reply"));
    QTRY_COMPARE(arrivals.count(), 1);
    QVERIFY(!socket.Bind(0));
}

void TestUdpSocketControl::sendTargets_data() {
    QTest::addColumn<QString>("host");
    QTest::newRow("dotted") << "127.0.0.1";
    QTest::newRow("dotted with blanks") << " 127.0.0.1 ";
    QTest::newRow("host name") << "localhost";
}

void TestUdpSocketControl::sendTargets() {
    QFETCH(QString, host);
    Peer peer;
    UdpSocketControl socket;
    QVERIFY(socket.Bind(0));
    socket.SetRemoteHost(host);
    socket.SetRemotePort(peer.port());
    QCOMPARE(socket.RemoteHost(), host);
    QCOMPARE(socket.RemotePort(), peer.port());
    for (const QByteArray& packet : {QByteArray("\0\3\0\1data", 8), QByteArray("\0\4\0\1", 4)}) {
        QVERIFY2(socket.SendData(packet), qPrintable(socket.LastErrorText()));
        QByteArray got;
        int from = 0;
        QVERIFY(peer.receive(got, from));
        QCOMPARE(got, packet);
        QCOMPARE(from, socket.LocalPort());
    }
}

void TestUdpSocketControl::sendFailures_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("size");
    QTest::newRow("no remote host") << QString() << 6969 << 4;
    QTest::newRow("no remote port") << "127.0.0.1" << 0 << 4;
    QTest::newRow("port out of range") << "127.0.0.1" << 65536 << 4;
    QTest::newRow("address out of range") << "256.1.1.1" << 6969 << 4;
    QTest::newRow("not a host") << "no host!" << 6969 << 4;
    QTest::newRow("larger than a datagram") << "127.0.0.1" << 6969 << 65508;
}

void TestUdpSocketControl::sendFailures() {
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, size);
    UdpSocketControl socket;
    if (!host.isNull()) {
        socket.SetRemoteHost(host);
    }
    socket.SetRemotePort(port);
    QVERIFY(!socket.SendData(QByteArray(size, 'x')));
    QVERIFY(socket.LastError() != 0);
    QVERIFY(!socket.LastErrorText().isEmpty());
}

void TestUdpSocketControl::textGoesOneBytePerCharacter() {
    Peer peer;
    UdpSocketControl socket;
    socket.SetRemoteHost("127.0.0.1");
    socket.SetRemotePort(peer.port());
    const QByteArray bytes = allBytesFrom(0);
    QVERIFY(socket.SendData(QString::fromLatin1(bytes)));
    QByteArray got;
    int from = 0;
    QVERIFY(peer.receive(got, from));
    QCOMPARE(got, bytes);
}

void TestUdpSocketControl::remoteOfDatagramJustTaken() {
    UdpSocketControl socket;
    QVERIFY(socket.Bind(0));
    Peer a;
    Peer b;
    QList<QPair<QString, int>> seen;
    connect(&socket, &UdpSocketControl::DataArrival, this, [&] {
        QByteArray data;
        socket.GetData(data);
        seen.append({socket.RemoteHostIP(), socket.RemotePort()});
    });
    QVERIFY(a.sendTo(socket.LocalPort(), "1"));
    QVERIFY(b.sendTo(socket.LocalPort(), "2"));
    QVERIFY(a.sendTo(socket.LocalPort(), "3"));
    QTRY_COMPARE(seen.size(), 3);
    const QString lo = "127.0.0.1";
    QCOMPARE(seen, (QList<QPair<QString, int>>{{lo, a.port()}, {lo, b.port()}, {lo, a.port()}}));

    // Writing the remote port, or the host, hides the sender's port again.
    socket.SetRemotePort(4242);
    QCOMPARE(socket.RemotePort(), 4242);
    QVERIFY(b.sendTo(socket.LocalPort(), "4"));
    QTRY_COMPARE(seen.size(), 4);
    QCOMPARE(socket.RemotePort(), b.port());
    socket.SetRemoteHost("127.0.0.1");
    QCOMPARE(socket.RemotePort(), 4242);
}

void TestUdpSocketControl::getDataWholeDatagram_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("asText");
    const QByteArray zeros("\0\1\0\0x\0", 6);
    const QByteArray largest(65507, '\xA5');
    for (bool asText : {false, true}) {
        const char* kind = asText ? "text" : "bytes";
        QTest::addRow("%s: empty datagram", kind) << QByteArray() << asText;
        QTest::addRow("%s: zero bytes inside", kind) << zeros << asText;
        QTest::addRow("%s: bytes 0x80-0xFF", kind) << allBytesFrom(0x80) << asText;
        QTest::addRow("%s: largest datagram", kind) << largest << asText;
    }
}

void TestUdpSocketControl::getDataWholeDatagram() {
    QFETCH(QByteArray, datagram);
    QFETCH(bool, asText);
    UdpSocketControl socket;
    QVERIFY(socket.Bind(0));
    int events = 0;
    int bytesTotal = -1;
    QByteArray taken;
    bool firstOk = false;
    bool secondOk = true;
    connect(&socket, &UdpSocketControl::DataArrival, this, [&](int total) {
        ++events;
        bytesTotal = total;
        if (asText) {
            QString text;
            firstOk = socket.GetData(text);
            // One character per byte: Latin-1 is exactly that mapping.
            for (QChar c : text) {
                taken.append(char(c.unicode() <= 0xFF ? c.unicode() : '?'));
            }
            QString again;
            secondOk = socket.GetData(again);
        } else {
            firstOk = socket.GetData(taken);
            QByteArray again;
            secondOk = socket.GetData(again);
        }
    });
    Peer peer;
    QVERIFY(peer.sendTo(socket.LocalPort(), datagram));
    QTRY_COMPARE(events, 1);
    QVERIFY(firstOk);
    QVERIFY(!secondOk);
    QCOMPARE(bytesTotal, datagram.size());
    QCOMPARE(taken.size(), datagram.size());
    QCOMPARE(taken, datagram);
}

void TestUdpSocketControl::getDataWithoutDatagramFails() {
    UdpSocketControl socket;
    QVERIFY(socket.Bind(0));
    QByteArray data("stale");
    QVERIFY(!socket.GetData(data));
    QVERIFY(data.isEmpty());
    QVERIFY(socket.LastError() != 0);
    QVERIFY(!socket.LastErrorText().isEmpty());

    // A datagram whose handler did not take it is gone once its event is over.
    QSignalSpy arrivals(&socket, &UdpSocketControl::DataArrival);
    Peer peer;
    QVERIFY(peer.sendTo(socket.LocalPort(), "ignored"));
    QTRY_COMPARE(arrivals.count(), 1);
    QVERIFY(!socket.GetData(data));
}

void TestUdpSocketControl::oneEventPerDatagramInBurst() {
    UdpSocketControl socket;
    QVERIFY(socket.Bind(0));
    QList<QByteArray> taken;
    connect(&socket, &UdpSocketControl::DataArrival, this, [&](int total) {
        QByteArray data;
        QVERIFY(socket.GetData(data));
        QCOMPARE(data.size(), total);
        taken.append(data);
    });
    Peer peer;
    // A lone datagram first, as in a transfer in lock step, then the burst.
    QList<QByteArray> sent{"lone"};
    QVERIFY(peer.sendTo(socket.LocalPort(), sent.last()));
    QTRY_COMPARE(taken.size(), 1);
    for (int i = 0; i < 100; ++i) {
        sent.append(QByteArray::number(i).repeated(1 + i % 7));
        QVERIFY(peer.sendTo(socket.LocalPort(), sent.last()));
    }
    QTRY_COMPARE(taken.size(), 101);
    QTest::qWait(50);
    QCOMPARE(taken, sent);
}

void TestUdpSocketControl::closeTwiceAndBindAgain() {
    UdpSocketControl socket;
    QVERIFY(socket.Bind(0));
    const int port = socket.LocalPort();
    QSignalSpy arrivals(&socket, &UdpSocketControl::DataArrival);
    Peer peer;
    QVERIFY(peer.sendTo(port, "before close"));
    socket.Close();
    socket.Close();
    QCOMPARE(socket.State(), int(UdpSocketControl::sckClosed));
    QTest::qWait(50);
    QCOMPARE(arrivals.count(), 0);

    // The port is free again, as the main window needs when it binds anew after a reload.
    QVERIFY2(socket.Bind(port), qPrintable(socket.LastErrorText()));
    QCOMPARE(socket.State(), int(UdpSocketControl::sckOpen));
    QCOMPARE(socket.LocalPort(), port);
    QVERIFY(peer.sendTo(port, "after"));
    QTRY_COMPARE(arrivals.count(), 1);
    QCOMPARE(arrivals.first().first().toInt(), 5);
}

void TestUdpSocketControl::closedSocketSendsNothing() {
    Peer peer;
    UdpSocketControl socket;
    socket.SetRemoteHost("127.0.0.1");
    socket.SetRemotePort(peer.port());
    QVERIFY(socket.SendData(QByteArray("open")));
    QByteArray got;
    int from = 0;
    QVERIFY(peer.receive(got, from));
    socket.Close();
    // Not from a new socket on some other port either.
    QVERIFY(!socket.SendData(QByteArray("after close")));
    QVERIFY(!socket.SendData(QStringLiteral("text too")));
    QCOMPARE(socket.State(), int(UdpSocketControl::sckClosed));
    QVERIFY(!peer.receive(got, from, 50));
    QVERIFY(socket.Bind(0));
    QVERIFY(socket.SendData(QByteArray("bound again")));
    QVERIFY(peer.receive(got, from));
    QCOMPARE(got, QByteArray("bound again"));
}

void TestUdpSocketControl::tellsTheRemoteFromOthersAndAnswersThem() {
    Peer client, other;
    UdpSocketControl socket;
    QVERIFY(socket.Bind(0));
    socket.SetRemoteHost("127.0.0.1");
    socket.SetRemotePort(client.port());
    QList<bool> fromRemote;
    connect(&socket, &UdpSocketControl::DataArrival, this, [&] {
        fromRemote << socket.FromRemote();
        QByteArray d;
        socket.GetData(d);
        socket.SendToSender("re:" + d);
    });
    QVERIFY(other.sendTo(socket.LocalPort(), "x"));
    QTRY_COMPARE(fromRemote.size(), 1);
    QVERIFY(client.sendTo(socket.LocalPort(), "y"));
    QTRY_COMPARE(fromRemote.size(), 2);
    QCOMPARE(fromRemote, (QList<bool>{false, true}));
    QByteArray got;
    int from = 0;
    QVERIFY(other.receive(got, from));
    QCOMPARE(got, QByteArray("re:x"));
    QCOMPARE(from, socket.LocalPort());
    QVERIFY(client.receive(got, from));
    QCOMPARE(got, QByteArray("re:y"));
    // Reading the sender does not re-aim the socket's own sends.
    QVERIFY(socket.SendData(QByteArray("to client")));
    QVERIFY(client.receive(got, from));
    QCOMPARE(got, QByteArray("to client"));
    QVERIFY(!other.receive(got, from, 50));
}

void TestUdpSocketControl::closeInHandlerStopsReading() {
    UdpSocketControl socket;
    QVERIFY(socket.Bind(0));
    int events = 0;
    connect(&socket, &UdpSocketControl::DataArrival, this, [&] {
        ++events;
        socket.Close();
    });
    Peer peer;
    for (int i = 0; i < 3; ++i) {
        QVERIFY(peer.sendTo(socket.LocalPort(), "d"));
    }
    QTRY_COMPARE(events, 1);
    QTest::qWait(50);
    QCOMPARE(events, 1);
    QCOMPARE(socket.State(), int(UdpSocketControl::sckClosed));
}

void TestUdpSocketControl::deleteInHandlerStopsReading() {
    auto* socket = new UdpSocketControl;
    QVERIFY(socket->Bind(0));
    const int port = socket->LocalPort();
    int events = 0;
    connect(socket, &UdpSocketControl::DataArrival, this, [&] {
        ++events;
        delete socket;
        socket = nullptr;
    });
    Peer peer;
    for (int i = 0; i < 3; ++i) {
        QVERIFY(peer.sendTo(port, "d"));
    }
    QTRY_COMPARE(events, 1);
    QTest::qWait(50);
    QCOMPARE(events, 1);
    QVERIFY(!socket);
}

void TestUdpSocketControl::nestedEventLoopDoesNotNestHandlers() {
    UdpSocketControl socket;
    QVERIFY(socket.Bind(0));
    int depth = 0;
    int deepest = 0;
    int events = 0;
    QByteArrayList taken;
    Peer peer;
    connect(&socket, &UdpSocketControl::DataArrival, this, [&] {
        ++depth;
        ++events;
        deepest = qMax(deepest, depth);
        QByteArray data;
        socket.GetData(data);
        taken.append(data);
        if (data == "first") {
            QVERIFY(peer.sendTo(socket.LocalPort(), "second"));
            QTest::qWait(100); // a modal box would spin a loop like this
        }
        --depth;
    });
    QVERIFY(peer.sendTo(socket.LocalPort(), "first"));
    QTRY_COMPARE(events, 2);
    QCOMPARE(deepest, 1);
    QCOMPARE(taken, (QByteArrayList{"first", "second"}));
    // The socket still hears after the pause.
    QVERIFY(peer.sendTo(socket.LocalPort(), "third"));
    QTRY_COMPARE(events, 3);
}

void TestUdpSocketControl::yieldingHandlerIsReenteredByNextDatagram() {
    platform::Form owner("TransmitForm");
    owner.Load();
    UdpSocketControl socket(&owner);
    QVERIFY(socket.Bind(0));
    Peer peer;
    QStringList trace;
    connect(&socket, &UdpSocketControl::DataArrival, this, [&] {
        QByteArray data;
        QVERIFY(socket.GetData(data));
        trace.append("start " + QString::fromLatin1(data));
        if (data == "1") {
            // The next datagram arrives while this handler waits for its continuation.
            QVERIFY(peer.sendTo(socket.LocalPort(), "2"));
        }
        platform::Yield(&owner, [&, data] {
            QByteArray late;
            // The datagram belonged to its event; the continuation holds its own copy.
            trace.append("rest " + QString::fromLatin1(data) +
                         (socket.GetData(late) ? " (stale datagram)" : ""));
        });
    });
    QVERIFY(peer.sendTo(socket.LocalPort(), "1"));
    QTRY_COMPARE(trace.size(), 4);
    QCOMPARE(trace, (QStringList{"start 1", "start 2", "rest 1", "rest 2"}));
    owner.Unload();
}

QTEST_GUILESS_MAIN(TestUdpSocketControl)
#include "tst_udp_socket_control.moc"
