#pragma once

#include "engine/transfer_form.h"

#include <QByteArray>

// One TFTP read request: checks it, sends the file from the root directory in 512-byte DATA
// blocks from a port of its own, answers each ACK with the next block, re-sends on silence,
// times out, keeps its list line and the log file up to date, reports its end and unloads.
class TransmitForm : public TransferForm {
    Q_OBJECT
public:
    explicit TransmitForm(QObject* parent = nullptr);

    void Abort(QString& Reason);
    void Cancel() override;
    void Transmit(QString& F);
    void Start(QString& F) override { Transmit(F); }
    void AnswerRepeatedRequest() override;

    // The largest file served: 255 * 255 blocks of 512 bytes.
    static constexpr quint32 kMaxFileSize = 33292800;

protected:
    void Form_Load() override;
    void Form_Unload(int& cancel) override;

private:
    void ContinueTransmit();
    void SendBlock();
    void SendError(qint16 code, const QString& text);
    void FinishTransmit();
    // Ends the transfer as failed: ERROR code 0 with `reason` to the client, then a line that
    // gives it.
    void FailTransmit(const QString& reason);
    void OpenReadFile();
    void TFTP_DataArrival(int bytesTotal);
    void Retry_Timer_Timer();
    QString ProgressLine() const;

    static constexpr int kLastBlockNumber = 65535;

    // The block out now, waiting for its ACK.
    qint32 BlockNumber = 0;
    // Bytes the client has acknowledged.
    qint32 BytesSent = 0;
    quint32 FileSize = 0;
    qint32 LastBlockLength = 0;
    bool LastBlockSent = false;
    char Buffer[516] = {};
    QByteArray LastPacket;
    QByteArray datagram_;
    bool sendQueued_ = false; // a full block waits in the yield before its send
};
