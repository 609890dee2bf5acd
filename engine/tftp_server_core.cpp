#include "engine/tftp_server_core.h"

#include "engine/tftp_packets.h"
#include "engine/transfer_admission.h"
#include "engine/transfer_form.h"

#include <QPointer>

int TFTPServerCore::ListenPort = 69;

namespace {

// Numbers run 1 to 20001, then start again at 1.
constexpr qint16 kCounterLimit = 20000;

TFTPServerCore* g_main = nullptr;
std::function<TFTPServerCore*()> g_factory;

} // namespace

TFTPServerCore::TFTPServerCore(QObject* parent)
    : platform::Form(QStringLiteral("TFTPServer"), parent),
      TFTP(new platform::UdpSocketControl(this)), Log(new TransferLog(this)) {
    connect(TFTP, &platform::UdpSocketControl::DataArrival, this,
            &TFTPServerCore::TFTP_DataArrival);
}

bool TFTPServerCore::BindListener() {
    return TFTP->Bind(ListenPort);
}

void TFTPServerCore::Form_Load() {
    if (!BindListener()) {
        Unload();
    }
}

void TFTPServerCore::Form_QueryUnload(int& cancel, platform::UnloadMode mode) {
    Q_UNUSED(cancel);
    Q_UNUSED(mode);
    TFTP->Close();
}

void TFTPServerCore::Form_Unload(int& cancel) {
    Q_UNUSED(cancel);
    TFTP->Close();
}

void TFTPServerCore::TFTP_DataArrival(int bytesTotal) {
    Q_UNUSED(bytesTotal);
    QByteArray datagram;
    TFTP->GetData(datagram);
    if (datagram.size() < 4) {
        return;
    }
    if (TransferCounter > kCounterLimit) {
        TransferCounter = 0;
    }
    const TftpPackets::Request request = TftpPackets::ParseRequest(datagram);
    if (request.opcode == 0) {
        return;
    }
    // Names travel as one character per byte.
    QString name = QString::fromLatin1(request.name);
    name.remove(QStringLiteral("..\\"));
    name.remove(QStringLiteral("../"));

    // The sender of this very datagram, whatever arrives while it is being dispatched.
    QString ip = TFTP->RemoteHostIP();
    const int port = TFTP->RemotePort();
    const bool read = request.opcode == TftpPackets::kOpRrq;
    if (read) {
        emit TransmitStart(name, ip);
    } else {
        emit ReceiveStart(name, ip);
    }
    const QString kind = QLatin1String(read ? kTransmitFormName : kReceiveFormName);
    CancelForm(kind, ip, name);
    if (!AdmitTransfer(read, name, ip, port)) {
        return;
    }

    TransferForm* form = CreateTransferForm(kind);
    if (!form) {
        return;
    }
    ++TransferCounter;
    form->ID = TransferCounter;
    form->TFTP->SetRemoteHost(ip);
    form->TFTP->SetRemotePort(port);
    form->Start(name);
}

void TFTPServerCore::CancelForm(const QString& FName, const QString& IP, const QString& File) {
    QList<QPointer<platform::Form>> forms;
    for (platform::Form* f : platform::Forms::Loaded()) {
        forms.append(f);
    }
    for (const QPointer<platform::Form>& f : forms) {
        if (!f || !f->IsLoaded() || f->Name() != FName) {
            continue;
        }
        auto* transfer = qobject_cast<TransferForm*>(f.data());
        if (transfer && transfer->IP == IP && transfer->Filename == File) {
            transfer->Cancel();
        }
    }
}

void TFTPServerCore::SentFile(QString Filename, QString IP, bool Error) {
    emit TransmitComplete(Filename, IP, Error);
}

void TFTPServerCore::ReceivedFile(QString Filename, QString IP, bool Error) {
    emit ReceiveComplete(Filename, IP, Error);
}

void TFTPServerCore::UpdateLog(qint16 ID, const QString& MSG) {
    const int count = Log->ListCount();
    for (int i = 0; i < count; ++i) {
        if (Log->ItemData(i) == ID) {
            Log->SetList(i, ListText(MSG));
            return;
        }
    }
}

void TFTPServerCore::ExitSelection_Click() {
    QList<QPointer<platform::Form>> forms;
    for (platform::Form* f : platform::Forms::Loaded()) {
        forms.append(f);
    }
    for (const QPointer<platform::Form>& f : forms) {
        if (f && f->IsLoaded()) {
            f->Unload();
        }
    }
}

TFTPServerCore& TFTPServer() {
    if (!g_main) {
        g_main = g_factory ? g_factory() : new TFTPServerCore;
    }
    if (!g_main->IsLoaded()) {
        g_main->Load();
    }
    return *g_main;
}

bool TFTPServerLoaded() {
    return g_main && g_main->IsLoaded();
}

void SetTFTPServerFactory(std::function<TFTPServerCore*()> factory) {
    g_factory = std::move(factory);
}

void ResetTFTPServer() {
    if (g_main) {
        g_main->Unload();
        delete g_main;
        g_main = nullptr;
    }
}

TFTPServerCore* TFTPServerInstance() {
    return g_main;
}
