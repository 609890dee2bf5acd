#pragma once

#include "engine/transfer_log.h"
#include "platform/form.h"
#include "platform/udp_socket_control.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class TFTPServerCore;
class TransferForm;

// The arguments of one raised event, shared by its handlers and the step that raised it.
struct RaisedEvent {
    QString Filename;
    QString IP;
    bool Error = false;
    int holds = 0;
    bool raising = true;
    // What the raiser goes on with, queued like a yield, and only in the same load of `core`.
    std::function<void()> then;
    QPointer<TFTPServerCore> core;
    quint64 generation = 0;
};

// A handler that answers later (a client in another process) holds the event it is handling:
// the step that raised it goes on, with the values the handlers left, once every hold is let go.
// Meanwhile the event loop runs on. Dropping the hold lets go of it too.
class EventHold {
public:
    explicit EventHold(std::shared_ptr<RaisedEvent> event) : event_(std::move(event)) {}
    ~EventHold() { Release(); }
    EventHold(const EventHold&) = delete;
    EventHold& operator=(const EventHold&) = delete;

    QString& Filename() { return event_->Filename; }
    QString& IP() { return event_->IP; }
    bool& Error() { return event_->Error; }
    bool Held() const { return event_ != nullptr; }
    void Release();

private:
    std::shared_ptr<RaisedEvent> event_;
};

// The non-visual part of the main window TFTPServer: the listening socket and its dispatcher,
// the transfer list, the transfer counter, and the operations and events through which
// transfers report back. The program's window builds on it.
class TFTPServerCore : public platform::Form {
    Q_OBJECT
public:
    explicit TFTPServerCore(QObject* parent = nullptr);

    platform::UdpSocketControl* TFTP;
    TransferLog* Log;
    qint16 TransferCounter = 0;

    // The port the listening socket binds at load: 69 in the program, a free one in tests.
    static int ListenPort;

    void TFTP_DataArrival(int bytesTotal);
    void CancelForm(const QString& FName, const QString& IP, const QString& File);
    void SentFile(QString Filename, QString IP, bool Error);
    void ReceivedFile(QString Filename, QString IP, bool Error);
    // MSG is a transfer's line, the client's name in it as bytes (see ListText).
    void UpdateLog(qint16 ID, const QString& MSG);
    // Unloads every loaded form in load order.
    virtual void ExitSelection_Click();

    // For a handler of the event now being raised: holds it until the hold is let go (see
    // EventHold). nullptr outside a raise.
    std::shared_ptr<EventHold> HoldEvent();

    // An upload that ended hands its request over to what keeps its port for the final ACK, so
    // that a late copy of the request cannot start the file over while that port lives.
    void HandRequestOver(QObject* from, QObject* to);

signals:
    // A handler that changes an argument changes what the caller goes on with. The caller goes
    // on when the handlers return, or, for a start event that a handler holds (HoldEvent), once
    // the hold is let go.
    void ReceiveStart(QString& Filename, QString& IP);
    void ReceiveComplete(QString& Filename, QString& IP, bool& Error);
    void TransmitStart(QString& Filename, QString& IP);
    void TransmitComplete(QString& Filename, QString& IP, bool& Error);

protected:
    void Form_Load() override;
    void Form_QueryUnload(int& cancel, platform::UnloadMode mode) override;
    void Form_Unload(int& cancel) override;
    // Binds the listening socket; false when the port cannot be had.
    bool BindListener();

private:
    // A request being served: a datagram of the same bytes from the same address and port is
    // the client sending it again while it waits for our answer, not a newer request. It lives
    // while the start event is held, then while the transfer started for it (or what an upload
    // hands it over to) lives.
    struct KnownRequest {
        QString ip;
        int port = 0;
        QByteArray datagram;
        quint64 generation = 0;
        bool waiting = true;
        QPointer<QObject> holder;
    };

    // Raises an event through `emitter` with `event`'s values; `then` runs at once when no
    // handler held it, else once the last hold is let go. True when it ran at once.
    bool Raise(const std::shared_ptr<RaisedEvent>& event, const std::function<void()>& emitter,
               std::function<void()> then);
    void Dispatch(bool read, QString name, const QString& ip, int port, KnownRequest* known);
    // True when the datagram repeats a request being served; its transfer then answers it.
    bool TookRepeatedRequest(const QString& ip, int port, const QByteArray& datagram);
    // The number for the next transfer: 1 to 20001, then 1 again.
    qint16 NextTransferNumber();

    std::shared_ptr<RaisedEvent> raising_;
    QList<std::shared_ptr<KnownRequest>> known_;
};

// The main window's default instance: any use of it loads it again when it is not loaded.
TFTPServerCore& TFTPServer();
// Whether the default instance exists and is loaded, without loading it.
bool TFTPServerLoaded();
// The default instance as it is, loaded or not (nullptr before its first use).
TFTPServerCore* TFTPServerInstance();
// The program installs its own window class; without it the default instance is a bare core.
void SetTFTPServerFactory(std::function<TFTPServerCore*()> factory);
// Drops the default instance (tests start each case afresh).
void ResetTFTPServer();
