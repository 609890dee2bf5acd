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
// the caller). Each event is then a synchronous call to that sink, interface
// net.quorvane.TFTP.ServerEvents:
//   ReceiveStart(s Filename, s IP) -> (s Filename, s IP)
//   ReceiveComplete(s Filename, s IP, b Error) -> (s Filename, s IP, b Error)
// Reply values replace the arguments in order (a reply with fewer values, or a value of
// another type, leaves the rest as they were). The server waits for the answer without running
// its event loop, as a handler in the same process would be waited for, but for 5 s at most:
// an error or no answer changes nothing, so a dead client cannot hang the server. After the
// sink, the event goes out as a D-Bus signal with the values the server goes on with, for
// clients that only listen.

#include "server/automation_bus.h"

#include <QDBusObjectPath>
#include <QList>
#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QVariantList>

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
    // Delivers one event to the client's sink; the reply's values replace the arguments.
    virtual void CallSink(const QString& member, QVariantList& args);

private:
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
