#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace platform {

// The UDP socket control of a window: bind to a local port, aim at a remote host and port, send
// and take whole datagrams, and one DataArrival event per datagram on the event-loop thread.
// It stands on a non-blocking IPv4 POSIX socket watched by a QSocketNotifier, so a handler that
// yields returns to the loop and the next datagram raises the event again.
class UdpSocketControl : public QObject {
    Q_OBJECT
public:
    enum StateValue { sckClosed = 0, sckOpen = 1, sckError = 9 };

    explicit UdpSocketControl(QObject* parent = nullptr);
    ~UdpSocketControl() override;

    // Binds to `port` (0: a free port of the system's choosing; -1: LocalPort()). Fails, with
    // LastError() set, when the port is taken or the socket is already bound.
    bool Bind(int port = -1);
    int LocalPort() const;
    void SetLocalPort(int port) { localPort_ = port; }

    QString RemoteHost() const { return remoteHost_; }
    void SetRemoteHost(const QString& host);
    // Written: where later sends go. Read: the source port of the datagram last taken, until the
    // next write.
    int RemotePort() const { return lastPort_ >= 0 ? lastPort_ : remotePort_; }
    void SetRemotePort(int port);
    // The sender of the datagram last taken, as dotted text.
    QString RemoteHostIP() const { return lastHostIP_; }

    // One datagram to RemoteHost:RemotePort; an unbound socket first takes a free local port.
    // A closed socket sends nothing until it is bound again.
    bool SendData(const QByteArray& data);
    // Text goes as one byte per character.
    bool SendData(const QString& text);
    // The whole datagram that raised the current DataArrival, once; false when there is none.
    // A datagram not taken during its event is dropped when the event ends.
    bool GetData(QByteArray& data);
    bool GetData(QString& text);
    // Whether the datagram last taken (that of the current event) came from RemoteHost:RemotePort
    // as written.
    bool FromRemote() const;
    // One datagram back to the sender of the datagram last taken, from this socket's port.
    bool SendToSender(const QByteArray& data);
    // Raises DataArrival now for the datagrams already waiting, as the loop would next; nothing
    // from inside this socket's own DataArrival.
    void TakeWaiting();

    // sckOpen once bound, by Bind or by the first send of an unbound socket (which then hears
    // the answers on its port); sckClosed before that and after Close.
    int State() const;
    // Stops sending and receiving; closing a closed socket is harmless.
    void Close();

    int LastError() const { return lastError_; }
    QString LastErrorText() const { return lastErrorText_; }

signals:
    void DataArrival(int bytesTotal);

private:
    bool ensureSocket();
    bool sendTo(quint32 addr, int port, const QByteArray& data);
    bool fail(int error);
    bool fail(int error, const char* text);
    int boundPort() const; // 0 while the system has given the socket no port
    void startReceiving();
    void readPending();

    int fd_ = -1;
    bool bound_ = false;
    int localPort_ = 0;
    QString remoteHost_;
    int remotePort_ = 0;
    quint32 remoteAddr_ = 0; // network order, resolved from remoteHost_
    bool remoteValid_ = false;
    QString lastHostIP_;
    quint32 lastAddr_ = 0; // network order, the address lastHostIP_ was made from
    int lastPort_ = -1;
    int senderPort_ = 0; // the source port of the datagram last taken, kept across writes
    bool closed_ = false;
    QByteArray current_;
    bool hasCurrent_ = false;
    QSocketNotifier* notifier_ = nullptr;
    bool readQueued_ = false;
    int lastTaken_ = 0;          // datagrams the last readPending took
    quint8 eagerSkips_ = 0;      // sends left before the next read right after a send is tried
    quint64 openGeneration_ = 0; // counts closes, so a reader learns its socket went away
    bool reading_ = false;       // inside readPending: a nested activation must not recurse
    bool rearm_ = false;         // the notifier was paused by such a nested activation
    bool lean_ = false;          // lately one datagram per activation: read one at a time
    quint8 leanActivations_ = 0;
    int lastError_ = 0;
    QString lastErrorText_;
};

} // namespace platform
