#pragma once

#include "engine/transfer_form.h"

#include <QByteArray>

#include <functional>

// One TFTP write request: checks it, replaces the file under the root directory, acknowledges
// and writes every DATA block at its own offset from a port of its own, repeats the last ACK on
// silence, times out, keeps its list line and the log file up to date, reports its end and
// unloads.
class ReceiveForm : public TransferForm {
    Q_OBJECT
public:
    explicit ReceiveForm(QObject* parent = nullptr);

    void Cancel() override;
    void Receive(QString& F);
    void Start(QString& F) override { Receive(F); }
    void AnswerRepeatedRequest() override;

protected:
    void Form_Load() override;
    void Form_Unload(int& cancel) override;

private:
    void ContinueReceive();
    // Sends the ACK of the last accepted block after one yield; `then` runs right after the
    // send, and neither runs when the transfer ended during the yield.
    void SendAck(std::function<void()> then = {});
    void SendError(const QString& text, quint16 code = 0);
    // Takes DATA `block` of `size` bytes, the next one in order: stores it and acknowledges it,
    // and ends the transfer after a short one.
    void StoreBlock(int block, int size);
    // The successful end, right after the last block was stored: the file is closed before its
    // ACK leaves, so that nothing the medium refuses at close is acknowledged.
    void FinishReceive();
    // Ends the transfer as failed: ERROR `code` with `errorText` to the client, then a line that
    // gives `reason`; what was stored stays.
    void FailReceive(quint16 code, const QString& errorText, const QString& reason);
    // Ends the transfer as failed because the medium refused what was stored (errno `error`).
    void FailStore(int error);
    // The failed end: its line in the list and the log file, the report, the release.
    void EndFailed(const QString& line);
    // False when the open step itself failed (the reason in openError_); a refused open leaves
    // INVALID_HANDLE_VALUE in FileHandle and returns true.
    bool OpenWriteFile(const QByteArray& path);
    void TFTP_DataArrival(int bytesTotal);
    void Retry_Timer_Timer();
    QString TimeoutLine() const;

    quint8 AckHigh = 0;
    quint8 AckLow = 0;
    qint32 BytesReceived = 0;
    platform::DWORD openError_ = 0;
    // The number of the last block stored (0 before the first): only the one after it is taken.
    int lastStored_ = 0;
    // The first ACK has left: the socket has its own port.
    bool started_ = false;
    QByteArray datagram_;
};
