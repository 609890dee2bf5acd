#pragma once

#include "platform/dns_control.h"
#include "platform/form.h"
#include "platform/root_path.h"
#include "platform/timer.h"
#include "platform/udp_socket_control.h"
#include "platform/win_file.h"

#include <QByteArray>
#include <QString>

#include <functional>

// What a transfer object has and the dispatcher and CancelForm know of it: its number, client
// address and name, its own socket, retry timer and reverse lookup, Cancel, and the method that
// starts it (Transmit or Receive). Both transfer kinds build on it.
class TransferForm : public platform::Form {
    Q_OBJECT
public:
    explicit TransferForm(const QString& name, QObject* parent = nullptr);

    qint16 ID = 0;
    QString IP;
    QString Filename;
    // The client's host name, empty until the reverse lookup answers.
    QString DNSName;

    platform::UdpSocketControl* TFTP;
    platform::Timer* Retry_Timer;
    platform::DnsControl* DNS;
    // The caption of the window's never-seen label.
    QString Message;

    virtual void Cancel() = 0;
    // Transmit for a read request, Receive for a write request.
    virtual void Start(QString& F) = 0;
    // The client sent its request again. Until we have heard from it, our first packet may have
    // been lost: it goes again at once, instead of a retry interval later.
    virtual void AnswerRepeatedRequest() = 0;

    // A transfer is its client's address and port alone. When the datagram of the socket's
    // current event came from anyone else, takes it, answers it with ERROR 5 from the socket's
    // own port (unless it is an ERROR itself, so two ports never trade ERRORs without end) and
    // returns true: the caller must then change nothing.
    static bool AnsweredStranger(platform::UdpSocketControl* socket);

    // How long a transfer waits for its client before it sends again.
    static constexpr int kRetryIntervalMs = 6500;
    // A packet goes again on the client's word (an older ACK, a repeated request) only when no
    // copy of it left this long before: duplicated datagrams never multiply what we send, and a
    // lost copy is still repaired on the client's next retry.
    static constexpr qint64 kResendGapMs = 1000;

protected:
    static const QString kErrInvalidAccess;

    // Starts the reverse lookup of IP; its answer sets DNSName.
    void StartLookup();
    // Refuses the request: the ERROR packet, then a new untagged list line and a log-file line
    // (each skipped when empty), then the window unloads.
    void Refuse(const QByteArray& errorPacket, const QString& listLine, const QString& fileLine);
    // Adds the transfer's own line at the end of the list, tagged with ID.
    void AddTaggedLine(const QString& text);
    // The name's path below the root directory, and whether it would lead out of it (a
    // parent-directory step, or a symbolic link pointing outside).
    QByteArray RelativePath() const;
    bool LeavesRoot() const;
    // Name cleaning both kinds share: every leading ".", "\" and "/", then one leading comma.
    void StripLeadingDotsAndSeparators();
    void DropLeadingComma();
    // Refuses a name that leads out of the root directory with ERROR code `code`, before anything
    // is searched, deleted or opened; true when it did.
    bool RefusedOutsideRoot(quint16 code);
    void CloseFile();
    // Releases the file, the lookup and the socket; every unload runs it.
    void Release();

    // Counts one packet towards the next progress check: true when a progress line is due,
    // at every 51st packet and at most once in 0.1 s.
    bool ProgressLineDue();

    // Since the current packet last left; false also before it first left.
    bool SentWithinResendGap() const;
    // The current packet has left now.
    void NoteSent();
    // The packet is a new one: it has not left yet.
    void NoteNewPacket() { lastSentMs_ = -1; }

    platform::HANDLE FileHandle = nullptr;
    qint16 RetryCount = 0;
    // A packet of this transfer's kind (ACK for a read, DATA for a write) came from the client.
    bool heardFromClient_ = false;
    // Earliest time of day (seconds since midnight) for the next progress line.
    float NextLogUpdate = 0;
    qint32 PacketCount = 0;

private:
    qint64 lastSentMs_ = -1;

    void DNS_Event10(const QString& hostName, const QString& address, int status,
                     const QString& errorText);
};

inline constexpr const char* kTransmitFormName = "TransmitForm";
inline constexpr const char* kReceiveFormName = "ReceiveForm";

// Transfer objects are made by form name: TransmitForm and ReceiveForm, unless a factory was
// registered for the name (tests put recording stand-ins there).
using TransferFactory = std::function<TransferForm*()>;
void RegisterTransferKind(const QString& formName, TransferFactory factory);
// A new, loaded transfer object of that kind, or nullptr when none is registered.
TransferForm* CreateTransferForm(const QString& formName);
