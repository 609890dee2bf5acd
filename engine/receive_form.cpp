#include "engine/receive_form.h"

#include "engine/globals.h"
#include "engine/ip_range.h"
#include "engine/tftp_packets.h"
#include "engine/tftp_server_core.h"
#include "platform/yield.h"

#include <cerrno>
#include <utility>

namespace {

constexpr const char* kCaption = "Receiving TFTP File";
// Every ERROR of a write transfer carries code 0.
constexpr quint16 kCode = 0;

const QString kErrTransmitOnly =
    QStringLiteral("TFTP Server Error: server is configured for transmit only");
const QString kErrTftp = QStringLiteral("TFTP Error: ");
const QString kErrTimeout = QStringLiteral(
    "Quorvane TFTP Server is running, but times out waiting for client to send data.");
const QString kSharingViolation = QStringLiteral("Sharing Violation");
const QString kFileOpenError = QStringLiteral("File Open Error ");

const QString kTooLarge = QStringLiteral("File too large for TFTP Protocol");
const QString kErrTooLarge = kErrTftp + kTooLarge;
const QString kDiskFull = QStringLiteral("Disk full or allocation exceeded");
constexpr quint16 kCodeDiskFull = 3;
constexpr int kLastBlockNumber = 65535;

// The port of a finished upload, for one retry interval after its final ACK: a repeat of the
// final DATA gets that ACK again, strangers get ERROR 5, and nothing else happens. It goes
// when the interval ends or the main window unloads.
class FinalAckKeeper : public QObject {
public:
    FinalAckKeeper(platform::UdpSocketControl* socket, int finalBlock, TFTPServerCore* server)
        : QObject(server), socket_(socket), finalBlock_(finalBlock),
          timer_(new platform::Timer(TransferForm::kRetryIntervalMs, true, this)) {
        socket_->setParent(this);
        connect(socket_, &platform::UdpSocketControl::DataArrival, this, [this] { Answer(); });
        connect(timer_, &platform::Timer::Tick, this, [this] { End(); });
        connect(server, &platform::Form::Unloaded, this, [this] { End(); });
    }

private:
    void Answer() {
        if (TransferForm::AnsweredStranger(socket_)) {
            return;
        }
        QByteArray datagram;
        if (!socket_->GetData(datagram) || datagram.size() < TftpPackets::kHeaderSize ||
            datagram.size() > TftpPackets::kFullDataPacket ||
            TftpPackets::Opcode(datagram) != TftpPackets::kOpData) {
            return;
        }
        // Some clients follow a file of exactly 65535 blocks, whose empty last block is numbered
        // 0, with one more empty block and wait for its ACK: an empty block one past the final
        // one is acknowledged too, with nothing written.
        const int block = TftpPackets::BlockOf(datagram);
        const bool oneMore = datagram.size() == TftpPackets::kHeaderSize &&
                             block == ((finalBlock_ + 1) & kLastBlockNumber);
        if (block == finalBlock_ || oneMore) {
            socket_->SendData(TftpPackets::BuildAck(quint8(block >> 8), quint8(block & 0xFF)));
        }
    }
    void End() {
        timer_->SetEnabled(false);
        socket_->Close();
        // A copy of the request is a new request from now on.
        static_cast<TFTPServerCore*>(parent())->HandRequestOver(this, nullptr);
        deleteLater();
    }

    platform::UdpSocketControl* socket_;
    int finalBlock_;
    platform::Timer* timer_;
};

} // namespace

ReceiveForm::ReceiveForm(QObject* parent) : TransferForm(QLatin1String(kReceiveFormName), parent) {
    setProperty("Caption", QLatin1String(kCaption));
    connect(TFTP, &platform::UdpSocketControl::DataArrival, this, &ReceiveForm::TFTP_DataArrival);
    connect(Retry_Timer, &platform::Timer::Tick, this, &ReceiveForm::Retry_Timer_Timer);
}

void ReceiveForm::Form_Load() {
    Globals::ResetInactivity();
    Retry_Timer->SetEnabled(true);
}

void ReceiveForm::Form_Unload(int& cancel) {
    Q_UNUSED(cancel);
    Release();
}

void ReceiveForm::Receive(QString& F) {
    Filename = F;
    IP = TFTP->RemoteHost();
    Message = QStringLiteral("Receiving ") + Filename + QStringLiteral(" ...");
    if (Globals::TransmitOnly) {
        const QString line = QStringLiteral("Error: ") + IP + QStringLiteral(" wants to write ") +
                             Filename +
                             QStringLiteral(", but server is configured for Transmit Only");
        Refuse(TftpPackets::BuildError(kCode, kErrTransmitOnly), line, line);
        return;
    }
    // A drive or stream name: only the log file hears of it.
    if (Filename.contains(QLatin1Char(':'))) {
        Refuse(TftpPackets::BuildError(kCode, kErrInvalidAccess + Filename), QString(),
               kErrInvalidAccess + Filename);
        return;
    }
    StripLeadingDotsAndSeparators();
    if (!IPAllowed(IP)) {
        const QString line = QStringLiteral("Error: Transfer ") + Filename +
                             QStringLiteral(" sent from ") + IP +
                             QStringLiteral(", but client IP address (") + IP +
                             QStringLiteral(") is outside security address range.");
        Refuse(TftpPackets::BuildError(kCode, kErrInvalidAccess + Filename), line, line);
        return;
    }
    StartLookup();
    DropLeadingComma();
    // Unlike a drive name, a name leading out of the root gets a list line too.
    if (RefusedOutsideRoot(kCode)) {
        return;
    }
    // The file is replaced: whatever keeps the delete from working is found out by the open.
    platform::DeleteFileBeneath(Globals::RootDirPath(), RelativePath());
    platform::SetLastError(platform::ERROR_SUCCESS);

    const QString client = TFTP->RemoteHost();
    const QString sending = QStringLiteral("TFTP Error from ") + client +
                            QStringLiteral(" sending ") + Filename + QStringLiteral(" : ");
    if (!OpenWriteFile(RelativePath())) {
        const QString description = platform::ErrorMessageText(openError_);
        CloseFile();
        Refuse(TftpPackets::BuildError(kCode, kErrTftp + description), sending + description,
               QString());
        return;
    }
    if (FileHandle == platform::INVALID_HANDLE_VALUE) {
        const platform::DWORD error = platform::GetLastError();
        FileHandle = nullptr;
        const QString reason = error == platform::ERROR_SHARING_VIOLATION
                                   ? kSharingViolation
                                   : kFileOpenError + QString::number(error);
        Refuse(TftpPackets::BuildError(kCode, kErrTftp + reason), sending + reason, QString());
        return;
    }
    // The lookup may answer while we yield; a repeated request may cancel us meanwhile.
    platform::Yield(this, [this] { ContinueReceive(); });
}

void ReceiveForm::ContinueReceive() {
    const QString start = QStringLiteral("Receiving ") + Filename + QStringLiteral(" from ") +
                          DNSName + QStringLiteral(" (") + IP + QStringLiteral(")");
    AddTaggedLine(start);
    Globals::WriteLog(start);
    TFTP->SetLocalPort(0);
    TFTP->Bind(0);
    started_ = true;
    SendAck([] { Globals::ResetInactivity(); });
}

void ReceiveForm::AnswerRepeatedRequest() {
    if (started_ && !heardFromClient_ && !SentWithinResendGap()) {
        SendAck();
    }
}

bool ReceiveForm::OpenWriteFile(const QByteArray& path) {
    openError_ = 0;
    FileHandle = platform::CreateFileBeneath(Globals::RootDirPath(), path, platform::GENERIC_WRITE,
                                             platform::FILE_SHARE_READ, platform::OPEN_ALWAYS,
                                             platform::FILE_FLAG_SEQUENTIAL_SCAN |
                                                 platform::FILE_ATTRIBUTE_NORMAL);
    if (FileHandle == platform::INVALID_HANDLE_VALUE) {
        return true;
    }
    // A file that survived the delete (its folder forbids deleting, say) would keep its old
    // tail beyond the last block received. Empty it now that the open holds it: the stored
    // file is then exactly what the client sent, also when the transfer times out part-way.
    platform::DWORD high = 0;
    if (platform::GetFileSize(FileHandle, &high) != 0 || high != 0) {
        platform::SetFilePointer(FileHandle, 0, nullptr, platform::FILE_BEGIN);
        if (!platform::SetEndOfFile(FileHandle)) {
            openError_ = platform::GetLastError();
        }
    }
    return openError_ == 0;
}

void ReceiveForm::SendAck(std::function<void()> then) {
    const QByteArray ack = TftpPackets::BuildAck(AckHigh, AckLow);
    // The ACK leaves as built now; the yield drops the rest once this transfer has ended.
    platform::Yield(this, [this, ack, then = std::move(then)] {
        TFTP->SendData(ack);
        NoteSent();
        if (then) {
            then();
        }
    });
}

void ReceiveForm::SendError(const QString& text, quint16 code) {
    TFTP->SendData(TftpPackets::BuildError(code, text));
}

void ReceiveForm::TFTP_DataArrival(int bytesTotal) {
    Q_UNUSED(bytesTotal);
    if (AnsweredStranger(TFTP)) {
        return;
    }
    if (!TFTP->GetData(datagram_)) {
        return;
    }
    if (datagram_.size() < TftpPackets::kHeaderSize ||
        datagram_.size() > TftpPackets::kFullDataPacket ||
        TftpPackets::Opcode(datagram_) != TftpPackets::kOpData) {
        return;
    }
    heardFromClient_ = true;
    const int block = TftpPackets::BlockOf(datagram_);
    const int size = int(datagram_.size()) - TftpPackets::kHeaderSize;
    // After block 65535 a block 0 or 1 is the client's number rolling over, whichever way it
    // wraps: with data the file is past what TFTP can number, and the block would land on the
    // file's start; empty, it ends a file of exactly 65535 blocks.
    if (lastStored_ == kLastBlockNumber && (block == 0 || block == 1)) {
        if (size > 0) {
            FailReceive(kCodeDiskFull, kErrTooLarge, kTooLarge);
        } else {
            StoreBlock(block, 0);
        }
        return;
    }
    if (block != lastStored_ + 1) {
        // A repeat of the last block stored (its ACK was lost), or a block out of order after a
        // lost one: the ACK of the last block stored again, nothing written, so that the client
        // goes back to the block missing and the file never has a gap. No sign of life either.
        SendAck();
        return;
    }
    StoreBlock(block, size);
}

void ReceiveForm::StoreBlock(int block, int size) {
    RetryCount = 0;
    Retry_Timer->Restart();
    lastStored_ = block;
    AckHigh = quint8(block >> 8);
    AckLow = quint8(block & 0xFF);
    if (size > 0) {
        // Blocks come in order, so the position is the block's offset but after a write that moved
        // it otherwise; it is moved only then.
        const qint64 offset = qint64(block - 1) * TftpPackets::kBlockSize;
        if (platform::SetFilePointer(FileHandle, 0, nullptr, platform::FILE_CURRENT) !=
            platform::DWORD(offset)) {
            platform::SetFilePointer(FileHandle, platform::LONG(offset), nullptr,
                                     platform::FILE_BEGIN);
        }
        platform::DWORD written = 0;
        if (!platform::WriteFile(FileHandle, datagram_.constData() + TftpPackets::kHeaderSize,
                                 platform::DWORD(size), &written, nullptr)) {
            // The block is not acknowledged: the client must not take it as stored.
            FailStore(platform::LastErrno());
            return;
        }
        if (ProgressLineDue()) {
            BytesReceived = qint32(offset + written);
            TFTPServer().UpdateLog(
                ID, QStringLiteral("Receiving ") + Filename + QStringLiteral(" from ") + DNSName +
                        QStringLiteral(" (") + IP + QStringLiteral("), ") +
                        QString::number(BytesReceived) + QStringLiteral(" bytes"));
        }
    }
    if (size < TftpPackets::kBlockSize) {
        FinishReceive();
        return;
    }
    SendAck();
}

void ReceiveForm::FailStore(int error) {
    if (error == ENOSPC || error == EDQUOT || error == EFBIG) {
        FailReceive(kCodeDiskFull, kDiskFull, kDiskFull);
        return;
    }
    // The system's text is in the user's language: in the line it is text, not client bytes.
    const QString text = platform::ErrnoText(error);
    FailReceive(kCode, text, TransferLineText(text));
}

void ReceiveForm::FailReceive(quint16 code, const QString& errorText, const QString& reason) {
    SendError(errorText, code);
    if (FileHandle) {
        BytesReceived = qint32(platform::GetFileSize(FileHandle, nullptr));
    }
    const QString line = QStringLiteral("Error receiving ") + Filename + QStringLiteral(" from ") +
                         DNSName + QStringLiteral(" (") + IP + QStringLiteral("), ") +
                         QString::number(BytesReceived) + QStringLiteral(" bytes : ") + reason;
    EndFailed(line);
}

void ReceiveForm::EndFailed(const QString& line) {
    TFTPServer().UpdateLog(ID, line);
    Globals::WriteLog(line);
    TFTPServer().ReceivedFile(Filename, IP, true);
    // What was stored stays on disk.
    CloseFile();
    TFTP->Close();
    Unload();
}

QString ReceiveForm::TimeoutLine() const {
    return QStringLiteral("Timeout error receiving ") + Filename + QStringLiteral(" from ") +
           DNSName + QStringLiteral(" (") + IP + QStringLiteral("), ") +
           QString::number(BytesReceived) + QStringLiteral(" bytes");
}

void ReceiveForm::Retry_Timer_Timer() {
    if (RetryCount <= 2) {
        ++RetryCount;
        SendAck();
        return;
    }
    SendError(kErrTimeout);
    EndFailed(TimeoutLine());
}

void ReceiveForm::FinishReceive() {
    BytesReceived = qint32(platform::GetFileSize(FileHandle, nullptr));
    const platform::HANDLE file = std::exchange(FileHandle, nullptr);
    if (file && !platform::CloseHandle(file)) {
        FailStore(platform::LastErrno());
        return;
    }
    // The last ACK leaves at once: the transfer ends in this step, so nothing that runs
    // meanwhile (a newer request cancelling it) can come between the stored file and its report.
    TFTP->SendData(TftpPackets::BuildAck(AckHigh, AckLow));
    const QString line = QStringLiteral("Received ") + Filename + QStringLiteral(" from ") +
                         DNSName + QStringLiteral(" (") + IP + QStringLiteral("), ") +
                         QString::number(BytesReceived) + QStringLiteral(" bytes");
    TFTPServer().UpdateLog(ID, line);
    TFTPServer().ReceivedFile(Filename, IP, false);
    Globals::WriteLog(line);
    // The final ACK may be lost, and the client then sends its last block again: the port
    // stays to answer it while the transfer itself ends now.
    auto* keeper = new FinalAckKeeper(TFTP, lastStored_, &TFTPServer());
    TFTPServer().HandRequestOver(this, keeper);
    disconnect(TFTP, nullptr, this, nullptr);
    TFTP = new platform::UdpSocketControl(this);
    Unload();
}

void ReceiveForm::Cancel() {
    const QString line = TimeoutLine();
    TFTPServer().UpdateLog(ID, line);
    TFTPServer().ReceivedFile(Filename, IP, true);
    Globals::WriteLog(line);
    CloseFile();
    TFTP->Close();
    Unload();
}
