#include "engine/transmit_form.h"

#include "engine/globals.h"
#include "engine/ip_range.h"
#include "engine/tftp_packets.h"
#include "engine/tftp_server_core.h"
#include "platform/yield.h"

namespace {

constexpr const char* kCaption = "Sending TFTP File";
constexpr qint16 kCodeUndefined = 0;
constexpr qint16 kCodeNotFound = 1;
constexpr qint16 kCodeAccess = 2;

const QString kErrReceiveOnly =
    QStringLiteral("TFTP Server Error: server is configured for receive only");
const QString kErrNoFile = QStringLiteral("TFTP Error: File does not exist");
const QString kErrTooLarge = QStringLiteral("TFTP Error: File too large for TFTP Protocol");
const QString kErrTimeout =
    QStringLiteral("Quorvane TFTP Server is running, but times out waiting for YOU to ACK data.");
const QString kClosedByRemote = QStringLiteral("Connection closed by remote device.");

} // namespace

TransmitForm::TransmitForm(QObject* parent)
    : TransferForm(QLatin1String(kTransmitFormName), parent) {
    setProperty("Caption", QLatin1String(kCaption));
    connect(TFTP, &platform::UdpSocketControl::DataArrival, this, &TransmitForm::TFTP_DataArrival);
    connect(Retry_Timer, &platform::Timer::Tick, this, &TransmitForm::Retry_Timer_Timer);
}

void TransmitForm::Form_Load() {
    Globals::ResetInactivity();
    Buffer[0] = 0;
    Buffer[1] = TftpPackets::kOpData;
    Retry_Timer->SetEnabled(true);
}

void TransmitForm::Form_Unload(int& cancel) {
    Q_UNUSED(cancel);
    Release();
}

void TransmitForm::Transmit(QString& F) {
    Filename = F;
    IP = TFTP->RemoteHost();
    StartLookup();
    // The lookup may answer while we yield; a repeated request may cancel us meanwhile.
    platform::Yield(this, [this] { ContinueTransmit(); });
}

void TransmitForm::ContinueTransmit() {
    Message = QStringLiteral("Sending ") + Filename + QStringLiteral(" ...");
    if (Globals::ReceiveOnly) {
        const QString line = QStringLiteral("Error: ") + Filename +
                             QStringLiteral(" requested from ") + IP +
                             QStringLiteral(", but server is configured for Receive Only");
        Refuse(TftpPackets::BuildError(kCodeAccess, kErrReceiveOnly), line, line);
        return;
    }
    if (Filename.contains(QLatin1Char(':'))) {
        Refuse(TftpPackets::BuildError(kCodeAccess, kErrInvalidAccess + Filename),
               QStringLiteral("Invalid access to ") + Filename + QStringLiteral(" from ") + IP,
               kErrInvalidAccess + Filename + QStringLiteral(" from ") + IP);
        return;
    }
    StripLeadingDotsAndSeparators();
    if (!IPAllowed(IP)) {
        const QString line = QStringLiteral("Error: ") + Filename +
                             QStringLiteral(" requested from ") + IP +
                             QStringLiteral(", but client IP address (") + IP +
                             QStringLiteral(") is outside security address range.");
        Refuse(TftpPackets::BuildError(kCodeAccess, kErrInvalidAccess + Filename), line, line);
        return;
    }
    DropLeadingComma();
    if (RefusedOutsideRoot(kCodeAccess)) {
        return;
    }
    const QByteArray root = Globals::RootDirPath();
    const QString client = TFTP->RemoteHost();
    if (platform::CountPlainFilesBeneath(root, RelativePath(), 1) == 0) {
        const QString line = QStringLiteral("TFTP Error from ") + client +
                             QStringLiteral(" requesting ") + Filename +
                             QStringLiteral(" : File does not exist");
        Refuse(TftpPackets::BuildError(kCodeNotFound, kErrNoFile), line, line);
        return;
    }
    OpenReadFile();
    if (FileHandle == platform::INVALID_HANDLE_VALUE) {
        const platform::DWORD error = platform::GetLastError();
        FileHandle = nullptr;
        const QString reason = error == platform::ERROR_SHARING_VIOLATION
                                   ? QStringLiteral("Sharing Violation")
                                   : QStringLiteral("File Open Error %1").arg(error);
        const QString line = QStringLiteral("TFTP Error from ") + client +
                             QStringLiteral(" requesting ") + Filename + QStringLiteral(" : ") +
                             reason;
        Refuse(TftpPackets::BuildError(kCodeAccess, QStringLiteral("TFTP Error: ") + reason), line,
               line);
        return;
    }
    platform::DWORD high = 0;
    FileSize = platform::GetFileSize(FileHandle, &high);
    if (high > 0 || FileSize > kMaxFileSize) {
        CloseFile();
        const QString line = QStringLiteral("TFTP Error from ") + client +
                             QStringLiteral(" requesting ") + Filename +
                             QStringLiteral(" : File too large for TFTP Protocol");
        Refuse(TftpPackets::BuildError(kCodeNotFound, kErrTooLarge), line, line);
        return;
    }
    const QString start = QStringLiteral("Sending ") + Filename + QStringLiteral(" to ") + DNSName +
                          QStringLiteral(" (") + IP + QStringLiteral(")");
    AddTaggedLine(start);
    Globals::WriteLog(start);
    TFTP->SetLocalPort(0);
    TFTP->Bind(0);
    BlockNumber = 1;
    LastBlockSent = false;
    Globals::ResetInactivity();
    SendBlock();
}

void TransmitForm::OpenReadFile() {
    FileHandle = platform::CreateFileBeneath(
        Globals::RootDirPath(), RelativePath(), platform::GENERIC_READ, platform::FILE_SHARE_READ,
        platform::OPEN_EXISTING, platform::FILE_FLAG_SEQUENTIAL_SCAN);
}

void TransmitForm::SendBlock() {
    if (TFTP->State() == platform::UdpSocketControl::sckClosed) {
        QString reason = kClosedByRemote;
        Abort(reason);
        return;
    }
    const qint64 offset = qint64(BlockNumber - 1) * TftpPackets::kBlockSize;
    if (platform::SetFilePointer(FileHandle, 0, nullptr, platform::FILE_CURRENT) !=
        platform::DWORD(offset)) {
        platform::SetFilePointer(FileHandle, platform::LONG(offset), nullptr, platform::FILE_BEGIN);
    }
    platform::DWORD n = 0;
    if (!platform::ReadFile(FileHandle, Buffer + TftpPackets::kHeaderSize, TftpPackets::kBlockSize,
                            &n, nullptr)) {
        // A short block now would pass the file off as ended there: the transfer fails instead.
        FailTransmit(platform::ErrnoText(platform::LastErrno()));
        return;
    }
    if (n == platform::DWORD(TftpPackets::kBlockSize)) {
        Buffer[2] = char(BlockNumber / 256);
        Buffer[3] = char(BlockNumber % 256);
        // Other transfers and this window's own events may run before the block leaves; what
        // goes out is the buffer as it then stands. A send already waiting takes the block now
        // due, so a block asked for twice in that time still leaves once.
        if (!sendQueued_) {
            sendQueued_ = true;
            platform::Yield(this, [this] {
                sendQueued_ = false;
                // The short block went out meanwhile: the full one in the buffer is answered.
                if (!LastBlockSent) {
                    TFTP->SendData(QByteArray::fromRawData(Buffer, TftpPackets::kFullDataPacket));
                    NoteSent();
                }
            });
        }
        return;
    }
    LastBlockSent = true;
    LastPacket = TftpPackets::BuildData(BlockNumber, QByteArray(Buffer + 4, int(n)));
    LastBlockLength = qint32(n);
    TFTP->SendData(LastPacket);
    NoteSent();
}

void TransmitForm::AnswerRepeatedRequest() {
    // Before the first block is due (the start still yields) there is nothing to repeat yet.
    if (!heardFromClient_ && BlockNumber == 1 && !SentWithinResendGap()) {
        SendBlock();
    }
}

void TransmitForm::FailTransmit(const QString& reason) {
    SendError(kCodeUndefined, reason);
    QString line = QStringLiteral("Error sending ") + Filename + QStringLiteral(" to ") + DNSName +
                   QStringLiteral(" (") + IP + QStringLiteral("), ") + QString::number(BytesSent) +
                   QStringLiteral(" bytes : ") + TransferLineText(reason);
    Abort(line);
}

void TransmitForm::SendError(qint16 code, const QString& text) {
    TFTP->SendData(TftpPackets::BuildError(quint16(code), text));
}

QString TransmitForm::ProgressLine() const {
    const double percent = double(BytesSent) / double(FileSize) * 100.0;
    const qint64 rounded = qRound64(percent);
    return QStringLiteral("Sending ") + Filename + QStringLiteral(" to ") + DNSName +
           QStringLiteral(" (") + IP + QStringLiteral("), ") + QString::number(BytesSent) +
           QStringLiteral(" bytes (") + (rounded == 0 ? QString() : QString::number(rounded)) +
           QStringLiteral("%)");
}

void TransmitForm::TFTP_DataArrival(int bytesTotal) {
    Q_UNUSED(bytesTotal);
    if (AnsweredStranger(TFTP)) {
        return;
    }
    if (!TFTP->GetData(datagram_)) {
        QString reason = QStringLiteral("Transmit error while sending to ") + IP +
                         QStringLiteral(" : ") + TransferLineText(TFTP->LastErrorText());
        Abort(reason);
        return;
    }
    if (datagram_.size() < TftpPackets::kHeaderSize) {
        return;
    }
    if (ProgressLineDue() && FileSize > 0) {
        TFTPServer().UpdateLog(ID, ProgressLine());
    }
    // Only an ACK that moves the transfer is a sign of life: were anything else one (a client's
    // ERROR for a port it no longer knows, a stuck client repeating an older ACK), the client
    // could keep the transfer from ever timing out.
    if (TftpPackets::Opcode(datagram_) != TftpPackets::kOpAck) {
        return;
    }
    heardFromClient_ = true;
    const int acked = TftpPackets::BlockOf(datagram_);
    if (acked == BlockNumber) {
        RetryCount = 0;
        Retry_Timer->Restart();
        // Only the client's word for the block out now counts it as delivered.
        if (LastBlockSent) {
            BytesSent += LastBlockLength;
            FinishTransmit();
            return;
        }
        BytesSent += TftpPackets::kBlockSize;
        BlockNumber = acked + 1;
        NoteNewPacket();
        SendBlock();
    } else if (acked == kLastBlockNumber) {
        FinishTransmit();
    } else if (acked < BlockNumber && !SentWithinResendGap()) {
        // The client missed the block out now. Answering every copy of its ACK would multiply
        // each duplicate into a stream of blocks: one copy a second at most, and a send that
        // still waits in its yield takes the request along.
        SendBlock();
    }
}

void TransmitForm::Retry_Timer_Timer() {
    if (RetryCount <= 2) {
        ++RetryCount;
        if (FileHandle) {
            SendBlock();
        }
        return;
    }
    SendError(kCodeUndefined, kErrTimeout);
    const QString line = QStringLiteral("Timeout error sending ") + Filename +
                         QStringLiteral(" from ") + DNSName + QStringLiteral(" (") + IP +
                         QStringLiteral("), ") + QString::number(BytesSent) +
                         QStringLiteral(" bytes");
    TFTPServer().UpdateLog(ID, line);
    Globals::WriteLog(line);
    TFTPServer().SentFile(Filename, IP, true);
    Unload();
}

void TransmitForm::FinishTransmit() {
    Retry_Timer->SetEnabled(false);
    const QString line = QStringLiteral("Sent ") + Filename + QStringLiteral(" to ") + DNSName +
                         QStringLiteral(" (") + IP + QStringLiteral("), ") +
                         QString::number(BytesSent) + QStringLiteral(" bytes");
    TFTPServer().UpdateLog(ID, line);
    Globals::WriteLog(line);
    TFTPServer().SentFile(Filename, IP, false);
    Unload();
}

void TransmitForm::Abort(QString& Reason) {
    TFTPServer().UpdateLog(ID, Reason);
    Globals::WriteLog(Reason);
    TFTPServer().SentFile(Filename, IP, true);
    Unload();
}

void TransmitForm::Cancel() {
    const QString bytes = QString::number(BytesSent) + QStringLiteral(" bytes");
    TFTPServer().UpdateLog(ID, QStringLiteral("Timeout error sending ") + Filename +
                                   QStringLiteral(" to ") + DNSName + QStringLiteral(" (") + IP +
                                   QStringLiteral("), ") + bytes);
    Globals::WriteLog(QStringLiteral("Timeout error sending ") + Filename + QStringLiteral(" to ") +
                      IP + QStringLiteral(", ") + bytes);
    TFTPServer().SentFile(Filename, IP, true);
    Unload();
}
