#pragma once

// The automation class Server (ProgID "TFTP.Server"): a client's handle on the TFTP server of
// this process. It owns no transfer logic: it drives the main window, the process-wide settings
// and the settings store, and passes the main window's write-request events on to its client.
//
// On the bus (see automation_bus.h), interface net.quorvane.TFTP.Server at /Server/<n>:
//   properties  Ready b, LastError s, RootDir s, ReceiveOnly b, TransmitOnly b (read/write)
//   methods     Start(), ShowStatusWindow(), Terminate(), SetEventSink(s service, o path),
//               Release()
//   signals     ReceiveStart(s Filename, s IP), ReceiveComplete(s Filename, s IP, b Error)
//
// Events. The main window raises ReceiveStart for a write request before it creates the
// transfer, and ReceiveComplete when the transfer ends, with the name and address by
// reference: what a handler leaves in them is what the server goes on with. A client that
// wants to change them names an object of its own with SetEventSink (an empty service means
// the caller). Each event is then a call to that sink, interface
// net.quorvane.TFTP.ServerEvents (share/dbus-1/interfaces/net.quorvane.TFTP.ServerEvents.xml):
//   ReceiveStart(s Filename, s IP) -> (s Filename, s IP)
//   ReceiveComplete(s Filename, s IP, b Error) -> (s Filename, s IP, b Error)
// Reply values that differ from those sent replace the arguments in order (a reply with fewer
// values, or a value of another type, leaves the rest as they were). The request that raised
// ReceiveStart waits for the answer, 5 s at most, while everything else runs on: other requests
// and transfers, other clients, and this client's own calls back into the server. An error or
// no answer changes nothing, so a dead client cannot hold up anything but its own event. After
// the sink, the event goes out as a D-Bus signal with the values the server goes on with, for
// clients that only listen.

#include "server/automation_bus.h"

#include <QDBusObjectPath>
#include <QList>
#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QVariantList>

#include <functional>
#include <memory>

class EventHold;
class TFTPServerWindow;

class Server : public AutomationObject {
    Q_OBJECT
    Q_PROPERTY(bool Ready MEMBER Ready)
    Q_PROPERTY(QString LastError MEMBER LastError)
    Q_PROPERTY(QString RootDir READ RootDir WRITE SetRootDir)
    Q_PROPERTY(bool ReceiveOnly READ ReceiveOnly WRITE SetReceiveOnly)
    Q_PROPERTY(bool TransmitOnly READ TransmitOnly WRITE SetTransmitOnly)
public:
    static constexpr const char* kInterface = "net.quorvane.TFTP.Server";
    static constexpr const char* kEventsInterface = "net.quorvane.TFTP.ServerEvents";
    static constexpr int kSinkTimeoutMs = 5000;

    // Class_Initialize: settings read afresh, the tray icon forced on for this run, the
    // inactivity count restarted.
    explicit Server(QObject* parent = nullptr);
    ~Server() override;
    QString InterfaceName() const override;
    // RootDir and the two flags are the process's settings.
    bool ValuesChangeOutsideCalls() const override { return true; }

    // True after a successful Start; with LastError, plain values a client may also assign.
    bool Ready = false;
    // Why the last Start failed, else empty.
    QString LastError;

    // Loads the main window hidden and connects to it; never fails the call (Ready False and
    // LastError say why).
    Q_INVOKABLE void Start();
    // Shows the connected main window, restored if minimised; fails before any Start.
    Q_INVOKABLE void ShowStatusWindow();
    // Lets go of the main window and unloads every window: the server stops.
    Q_INVOKABLE void Terminate();
    Q_INVOKABLE void SetEventSink(const QString& service, const QDBusObjectPath& path);
    // Ends the client's hold on this object (the server keeps running).
    Q_INVOKABLE void Release();

    // The process-wide settings; a put stores the value at once.
    QString RootDir() const;
    void SetRootDir(const QString& D);
    bool ReceiveOnly() const;
    void SetReceiveOnly(bool Setting);
    bool TransmitOnly() const;
    void SetTransmitOnly(bool Setting);

signals:
    void ReceiveStart(const QString& Filename, const QString& IP);
    void ReceiveComplete(const QString& Filename, const QString& IP, bool Error);

protected:
    // What the sink answered to an event: the values sent, and those to go on with (the same
    // values when the sink failed, was too late or is not set).
    using SinkReply = std::function<void(const QVariantList& sent, const QVariantList& got)>;
    // Delivers one event to the client's sink and calls `done` with its answer, later.
    virtual void CallSink(const QString& member, const QVariantList& args, SinkReply done);

private:
    // Holds the event being raised by the window, until the sink has answered.
    std::shared_ptr<EventHold> HoldEvent();
    template <typename T>
    static void takeChanged(T& value, const QVariantList& sent, const QVariantList& got, int i);
    void m_TFTPServer_ReceiveStart(QString& Filename, QString& IP);
    void m_TFTPServer_ReceiveComplete(QString& Filename, QString& IP, bool& Error);
    void ConnectTo(TFTPServerWindow* window);
    void DisconnectWindow();

    // The main window, with its events connected here; empty until a Start succeeds.
    QPointer<TFTPServerWindow> m_TFTPServer;
    QList<QMetaObject::Connection> connections_;
    QString sinkService_;
    QString sinkPath_;
};
