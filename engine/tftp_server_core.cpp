#include "engine/tftp_server_core.h"

#include "engine/tftp_packets.h"
#include "engine/transfer_admission.h"
#include "engine/transfer_form.h"
#include "platform/yield.h"

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
    const TftpPackets::Request request = TftpPackets::ParseRequest(datagram);
    if (request.opcode == 0) {
        return;
    }
    // The sender of this very datagram, whatever arrives while it is being dispatched.
    const QString sender = TFTP->RemoteHostIP();
    const int port = TFTP->RemotePort();
    if (TookRepeatedRequest(sender, port, datagram)) {
        return;
    }
    // Names travel as one character per byte.
    QString name = QString::fromLatin1(request.name);
    name.remove(QStringLiteral("..\\"));
    name.remove(QStringLiteral("../"));
    const bool read = request.opcode == TftpPackets::kOpRrq;
    auto event = std::make_shared<RaisedEvent>();
    event->Filename = name;
    event->IP = sender;
    auto known = std::make_shared<KnownRequest>();
    known->ip = sender;
    known->port = port;
    known->datagram = datagram;
    known->generation = LoadGeneration();
    known_.append(known);
    const auto emitter = [this, read, event] {
        if (read) {
            emit TransmitStart(event->Filename, event->IP);
        } else {
            emit ReceiveStart(event->Filename, event->IP);
        }
    };
    // The rest of the dispatch, with what the handlers left in the arguments. Until it runs, a
    // copy of the request is still the one being waited for, even once the hold is let go.
    Raise(event, emitter, [this, read, event, port, known] {
        known->waiting = false;
        Dispatch(read, event->Filename, event->IP, port, known.get());
    });
}

bool TFTPServerCore::Raise(const std::shared_ptr<RaisedEvent>& event,
                           const std::function<void()>& emitter, std::function<void()> then) {
    event->core = this;
    event->generation = LoadGeneration();
    const std::shared_ptr<RaisedEvent> outer = std::exchange(raising_, event);
    emitter();
    raising_ = outer;
    event->raising = false;
    if (event->holds > 0) {
        event->then = std::move(then);
        return false;
    }
    if (then) {
        then();
    }
    return true;
}

std::shared_ptr<EventHold> TFTPServerCore::HoldEvent() {
    if (!raising_) {
        return nullptr;
    }
    ++raising_->holds;
    return std::make_shared<EventHold>(raising_);
}

void EventHold::Release() {
    const std::shared_ptr<RaisedEvent> event = std::move(event_);
    if (!event || --event->holds > 0 || event->raising) {
        return;
    }
    // The rest holds the event: taking it out ends that loop whatever happens next.
    std::function<void()> then = std::exchange(event->then, {});
    TFTPServerCore* core = event->core;
    if (!then || !core) {
        return;
    }
    // Never from inside the hold's own caller (a reply handler, a destructor): the raiser goes
    // on from the event loop, and only if its window was not unloaded (or loaded anew) meanwhile.
    const quint64 generation = event->generation;
    platform::Yield(core, [core, generation, then = std::move(then)] {
        if (core->LoadGeneration() == generation) {
            then();
        }
    });
}

bool TFTPServerCore::TookRepeatedRequest(const QString& ip, int port, const QByteArray& datagram) {
    const quint64 generation = LoadGeneration();
    const auto served = [](const KnownRequest& k) {
        const auto* transfer = qobject_cast<const TransferForm*>(k.holder.data());
        return k.holder && (!transfer || transfer->IsLoaded());
    };
    known_.removeIf([&](const std::shared_ptr<KnownRequest>& k) {
        return k->generation != generation || (!k->waiting && !served(*k));
    });
    for (const std::shared_ptr<KnownRequest>& k : std::as_const(known_)) {
        if (k->port == port && k->ip == ip && k->datagram == datagram) {
            if (auto* transfer = qobject_cast<TransferForm*>(k->holder.data())) {
                transfer->AnswerRepeatedRequest();
            }
            return true;
        }
    }
    return false;
}

void TFTPServerCore::HandRequestOver(QObject* from, QObject* to) {
    for (const std::shared_ptr<KnownRequest>& k : std::as_const(known_)) {
        if (k->holder == from) {
            k->holder = to;
        }
    }
}

qint16 TFTPServerCore::NextTransferNumber() {
    if (TransferCounter > kCounterLimit) {
        TransferCounter = 0;
    }
    return ++TransferCounter;
}

void TFTPServerCore::Dispatch(bool read, QString name, const QString& ip, int port,
                              KnownRequest* known) {
    const QString kind = QLatin1String(read ? kTransmitFormName : kReceiveFormName);
    CancelForm(kind, ip, name);
    if (!AdmitTransfer(read, name, ip, port)) {
        return;
    }

    TransferForm* form = CreateTransferForm(kind);
    if (!form) {
        return;
    }
    form->ID = NextTransferNumber();
    form->TFTP->SetRemoteHost(ip);
    form->TFTP->SetRemotePort(port);
    known->holder = form;
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
        if (!transfer || transfer->IP != IP || transfer->Filename != File) {
            continue;
        }
        // What its client already sent comes first: a final ACK or final DATA waiting there
        // ends the transfer as it should, not as cancelled.
        transfer->TFTP->TakeWaiting();
        if (f && f->IsLoaded()) {
            transfer->Cancel();
        }
    }
}

void TFTPServerCore::SentFile(QString Filename, QString IP, bool Error) {
    emit TransmitComplete(Filename, IP, Error);
}

void TFTPServerCore::ReceivedFile(QString Filename, QString IP, bool Error) {
    // Nothing here uses what a handler leaves in the arguments, so a transfer's end never waits
    // for a handler that answers later: holding the transfer loaded meanwhile would let its
    // retry timer or a repeated request report the same transfer a second time.
    auto event = std::make_shared<RaisedEvent>();
    event->Filename = std::move(Filename);
    event->IP = std::move(IP);
    event->Error = Error;
    Raise(event, [this, event] { emit ReceiveComplete(event->Filename, event->IP, event->Error); },
          {});
}

void TFTPServerCore::UpdateLog(qint16 ID, const QString& MSG) {
    const int row = Log->FindItemData(ID);
    if (row >= 0) {
        Log->SetList(row, ListText(MSG));
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
