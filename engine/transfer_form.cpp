#include "engine/transfer_form.h"

#include "engine/globals.h"
#include "engine/receive_form.h"
#include "engine/tftp_packets.h"
#include "engine/tftp_server_core.h"
#include "engine/transmit_form.h"

#include <QHash>

const QString TransferForm::kErrInvalidAccess =
    QStringLiteral("TFTP Server Error: Invalid access to ");

TransferForm::TransferForm(const QString& name, QObject* parent)
    : platform::Form(name, parent), TFTP(new platform::UdpSocketControl(this)),
      Retry_Timer(new platform::Timer(kRetryIntervalMs, false, this)),
      DNS(new platform::DnsControl(this)) {
    // Nobody holds a transfer once it has started: it ends itself by unloading.
    SetDeleteOnUnload(true);
    connect(DNS, &platform::DnsControl::Event10, this, &TransferForm::DNS_Event10);
}

bool TransferForm::AnsweredStranger(platform::UdpSocketControl* socket) {
    static const QString kUnknownTransferId = QStringLiteral("Unknown transfer ID");
    constexpr quint16 kCodeUnknownTransferId = 5;
    if (socket->FromRemote()) {
        return false;
    }
    QByteArray datagram;
    socket->GetData(datagram);
    if (TftpPackets::Opcode(datagram) != TftpPackets::kOpError) {
        socket->SendToSender(TftpPackets::BuildError(kCodeUnknownTransferId, kUnknownTransferId));
    }
    return true;
}

void TransferForm::StartLookup() {
    DNS->SetProperty3(true);
    DNS->Method18(IP);
}

void TransferForm::DNS_Event10(const QString& hostName, const QString& address, int status,
                               const QString& errorText) {
    Q_UNUSED(address);
    Q_UNUSED(errorText);
    if (status == 0) {
        // Lines carry text as bytes, one character each, the way they carry the client's name.
        DNSName = TransferLineText(hostName);
    }
}

void TransferForm::Refuse(const QByteArray& errorPacket, const QString& listLine,
                          const QString& fileLine) {
    TFTP->SendData(errorPacket);
    if (!listLine.isEmpty()) {
        TFTPServer().Log->AddItem(ListText(listLine));
    }
    if (!fileLine.isEmpty()) {
        Globals::WriteLog(fileLine);
    }
    Unload();
}

void TransferForm::AddTaggedLine(const QString& text) {
    TransferLog* log = TFTPServer().Log;
    // Numbers start again after 20001: an older line that still carries this one gives it up,
    // so that this transfer's updates reach its own line.
    for (int row = ID != 0 ? log->FindItemData(ID) : -1; row >= 0; row = log->FindItemData(ID)) {
        log->SetItemData(row, 0);
    }
    log->SetItemData(log->AddItem(ListText(text)), ID);
}

QByteArray TransferForm::RelativePath() const {
    return Filename.toLatin1();
}

bool TransferForm::LeavesRoot() const {
    return platform::LeavesRoot(Globals::RootDirPath(), RelativePath());
}

void TransferForm::StripLeadingDotsAndSeparators() {
    qsizetype n = 0;
    while (n < Filename.size() &&
           (Filename[n] == QLatin1Char('.') || Filename[n] == QLatin1Char('\\') ||
            Filename[n] == QLatin1Char('/'))) {
        ++n;
    }
    Filename.remove(0, n);
}

void TransferForm::DropLeadingComma() {
    if (Filename.startsWith(QLatin1Char(','))) {
        Filename.remove(0, 1);
    }
}

bool TransferForm::RefusedOutsideRoot(quint16 code) {
    if (!LeavesRoot()) {
        return false;
    }
    const QString tail =
        QStringLiteral(" from ") + IP + QStringLiteral(" (outside the root directory)");
    Refuse(TftpPackets::BuildError(code, kErrInvalidAccess + Filename),
           QStringLiteral("Invalid access to ") + Filename + tail,
           kErrInvalidAccess + Filename + tail);
    return true;
}

bool TransferForm::ProgressLineDue() {
    constexpr int kProgressEvery = 50;
    constexpr float kProgressGapSeconds = 0.1f;
    constexpr float kHalfDay = 43200.0f;
    constexpr float kDay = 86400.0f;
    if (PacketCount < kProgressEvery) {
        ++PacketCount;
        return false;
    }
    PacketCount = 0;
    const float now = platform::Clock::SecondsSinceMidnight();
    // After midnight the clock starts again from 0: compare across the day boundary, so a
    // transfer running through midnight still gets at most one line in 0.1 s.
    const float seen = now + kHalfDay < NextLogUpdate ? now + kDay : now;
    if (seen <= NextLogUpdate) {
        return false;
    }
    NextLogUpdate = now + kProgressGapSeconds;
    return true;
}

bool TransferForm::SentWithinResendGap() const {
    return lastSentMs_ >= 0 && platform::Clock::MonotonicMs() - lastSentMs_ < kResendGapMs;
}

void TransferForm::NoteSent() {
    lastSentMs_ = platform::Clock::MonotonicMs();
}

void TransferForm::CloseFile() {
    if (FileHandle) {
        platform::CloseHandle(FileHandle);
        FileHandle = nullptr;
    }
}

void TransferForm::Release() {
    CloseFile();
    DNS->Method17();
    TFTP->Close();
    Retry_Timer->SetEnabled(false);
}

namespace {
QHash<QString, TransferFactory>& factories() {
    static QHash<QString, TransferFactory> f;
    return f;
}
} // namespace

void RegisterTransferKind(const QString& formName, TransferFactory factory) {
    factories().insert(formName, std::move(factory));
}

TransferForm* CreateTransferForm(const QString& formName) {
    const auto it = factories().constFind(formName);
    TransferForm* form = it != factories().constEnd() && *it ? (*it)() : nullptr;
    if (!form && formName == QLatin1String(kTransmitFormName)) {
        form = new TransmitForm;
    }
    if (!form && formName == QLatin1String(kReceiveFormName)) {
        form = new ReceiveForm;
    }
    if (form) {
        form->Load();
    }
    return form;
}
