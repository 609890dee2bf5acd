#pragma once

#include "engine/transfer_log.h"
#include "platform/form.h"
#include "platform/udp_socket_control.h"

#include <QString>

#include <functional>

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

signals:
    // Raised synchronously; a handler that changes an argument changes what the caller goes on
    // with.
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
