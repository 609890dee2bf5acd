// libFuzzer target: arbitrary datagrams to the listening socket's dispatcher and to the read and
// write transfers it starts, over real loopback sockets, with virtual time so that re-sends and
// time-outs run too.
//
// An input is a list of steps. Each step starts with one control byte:
//   00xxxxxx  a datagram to the listening port
//   01xxxxxx  a datagram to the transfer that answered last
//   10nnnnnn  a datagram to the n-th transfer port seen in this input (modulo their number)
//   11nnnnnn  no datagram: virtual time moves on by n * 250 ms
// A datagram step goes on with a 16-bit big-endian length and that many bytes (fewer when the
// input ends first).
//
// Besides the sanitizers' findings, the target aborts when anything beside the root directory
// was created, removed or changed: no request may reach outside the root.
#include "engine/globals.h"
#include "engine/ip_range.h"
#include "engine/tftp_server_core.h"
#include "engine/transfer_form.h"
#include "platform/dns_control.h"
#include "platform/form.h"
#include "platform/msg_box.h"
#include "platform/registry.h"
#include "platform/timer.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

constexpr int kMaxSteps = 64;
constexpr int kMaxDatagram = 1024;
constexpr int kTimeStepMs = 250;
// Rounds of the event loop after each datagram: enough for a request's yields to come through.
constexpr int kSettleRounds = 4;
constexpr const char* kOutsideName = "outside.txt";
constexpr const char* kOutsideText = "must stay as it is\n";

struct Harness {
    QTemporaryDir top; // holds root/, work/ and the canary beside the root
    QString root;
    QString work;
    platform::VirtualTime* time = nullptr;
    int client = -1;
    quint16 serverPort = 0;
    // The files the root holds at the start of every input, by path below the root.
    std::map<QString, QByteArray> files;
    QStringList topEntries;
    // FUZZ_DATAGRAMS_TRACE set: every answer and the log file's lines go to stderr, to check
    // by eye that a seed does what it is meant to.
    bool trace = false;
};

Harness* g = nullptr;

[[noreturn]] void Finding(const char* what, const QString& detail) {
    std::fprintf(stderr, "fuzz_datagrams: %s: %s\n", what, detail.toLocal8Bit().constData());
    std::abort();
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        Finding("cannot set up", path);
    }
}

QByteArray Pattern(int size) {
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i) {
        b[i] = char('a' + i % 26);
    }
    return b;
}

QStringList TopEntries() {
    return QDir(g->top.path())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                   QDir::Name);
}

// Puts the root back as it was: files created by write requests go, replaced ones come back.
void RestoreRoot() {
    QDirIterator it(g->root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    std::vector<QString> extra;
    std::map<QString, bool> seen;
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = QDir(g->root).relativeFilePath(path);
        const auto known = g->files.find(rel);
        if (known == g->files.end()) {
            extra.push_back(path);
            continue;
        }
        seen[rel] = true;
        if (QFileInfo(path).size() != known->second.size()) {
            WriteFile(path, known->second);
        }
    }
    for (const QString& path : extra) {
        QFile::remove(path);
    }
    for (const auto& [rel, bytes] : g->files) {
        if (!seen.count(rel)) {
            WriteFile(g->root + QLatin1Char('/') + rel, bytes);
        }
    }
}

void CheckOutside() {
    if (TopEntries() != g->topEntries) {
        Finding("something beside the root directory was created or removed",
                TopEntries().join(QLatin1Char(' ')));
    }
    QFile f(g->top.filePath(QLatin1String(kOutsideName)));
    if (!f.open(QIODevice::ReadOnly) || f.readAll() != kOutsideText) {
        Finding("the file beside the root directory changed", f.fileName());
    }
}

void SendTo(quint16 port, const uint8_t* bytes, size_t size) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    (void)::sendto(g->client, bytes, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Takes every answer waiting for the client and notes the ports they came from.
void Drain(std::vector<quint16>& ports, quint16& last) {
    uint8_t buffer[2048];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(g->client, buffer, sizeof buffer, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            return;
        }
        const quint16 port = ntohs(from.sin_port);
        if (g->trace) {
            std::fprintf(stderr, "  answer from %u: %zd bytes, opcode %d, number %d\n", port, n,
                         n >= 2 ? buffer[0] * 256 + buffer[1] : -1,
                         n >= 4 ? buffer[2] * 256 + buffer[3] : -1);
        }
        if (port == g->serverPort) {
            continue;
        }
        last = port;
        bool known = false;
        for (quint16 p : ports) {
            known = known || p == port;
        }
        if (!known) {
            ports.push_back(port);
        }
    }
}

// Ends every transfer still running, so each input starts from the same state.
void EndTransfers() {
    QList<QPointer<platform::Form>> forms;
    for (platform::Form* f : platform::Forms::Loaded()) {
        if (qobject_cast<TransferForm*>(f)) {
            forms.append(f);
        }
    }
    for (const QPointer<platform::Form>& f : forms) {
        if (f && f->IsLoaded()) {
            f->Unload();
        }
    }
    platform::VirtualTime::Settle(kSettleRounds);
    // A finished upload keeps its port for one retry interval to repeat its final ACK.
    g->time->Advance(TransferForm::kRetryIntervalMs);
    // Ended transfers delete themselves later; do it now, so that every input frees what it
    // took and libFuzzer's leak check has nothing to chase.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void SetUp() {
    static int argc = 1;
    static char name[] = "fuzz_datagrams";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    g = new Harness;
    if (!g->top.isValid()) {
        Finding("cannot set up", QStringLiteral("temporary directory"));
    }
    g->root = g->top.filePath(QStringLiteral("root"));
    g->work = g->top.filePath(QStringLiteral("work"));
    QDir().mkpath(g->root + QStringLiteral("/sub"));
    QDir().mkpath(g->work);
    WriteFile(g->top.filePath(QLatin1String(kOutsideName)), kOutsideText);
    g->files = {
        {QStringLiteral("empty.bin"), QByteArray()},
        {QStringLiteral("small.txt"), QByteArrayLiteral("hello, tftp\n")},
        {QStringLiteral("block.bin"), Pattern(512)},
        {QStringLiteral("three.bin"), Pattern(1300)},
        {QStringLiteral("sub/inner.txt"), QByteArrayLiteral("inner\n")},
    };
    for (const auto& [rel, bytes] : g->files) {
        WriteFile(g->root + QLatin1Char('/') + rel, bytes);
    }
    g->topEntries = TopEntries();
    g->trace = qEnvironmentVariableIsSet("FUZZ_DATAGRAMS_TRACE");

    qputenv("QUORVANE_REGISTRY", (g->work + QStringLiteral("/registry.sqlite3")).toLocal8Bit());
    RegistryReopenForTests();
    // No message box may wait for a person; no lookup may leave the machine.
    platform::SetMsgBoxResponder([](const QString&, int, const QString&) { return 1; });
    platform::DnsControl::SetResolverForTests([](const QString&) { return QString(); });
    g->time = new platform::VirtualTime;

    Globals::RootDir = g->root;
    Globals::ReceiveOnly = false;
    Globals::TransmitOnly = false;
    Globals::Logging = true;
    Globals::LogFile = g->work + QStringLiteral("/transfers.log");
    Globals::InactivityMinutes = 9900000;
    Globals::MinutesRemaining = 9900000;
    IPRanges().Clear();
    TFTPServerCore::ListenPort = 0;
    g->serverPort = quint16(TFTPServer().TFTP->LocalPort());
    if (g->serverPort == 0) {
        Finding("cannot set up", QStringLiteral("listening socket"));
    }

    g->client = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (g->client < 0 ||
        ::bind(g->client, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        Finding("cannot set up", QStringLiteral("client socket"));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!g) {
        SetUp();
    }
    std::vector<quint16> ports;
    quint16 last = 0;
    size_t at = 0;
    for (int step = 0; step < kMaxSteps && at < size; ++step) {
        const uint8_t control = data[at++];
        const int kind = control >> 6;
        const int arg = control & 0x3f;
        if (kind == 3) {
            g->time->Advance(qint64(arg) * kTimeStepMs);
            Drain(ports, last);
            continue;
        }
        size_t length = 0;
        if (at < size) {
            length = size_t(data[at++]) << 8;
        }
        if (at < size) {
            length |= data[at++];
        }
        length = std::min({length, size - at, size_t(kMaxDatagram)});
        quint16 port = g->serverPort;
        if (kind == 1 && last != 0) {
            port = last;
        } else if (kind == 2 && !ports.empty()) {
            port = ports[size_t(arg) % ports.size()];
        }
        SendTo(port, data + at, length);
        at += length;
        platform::VirtualTime::Settle(kSettleRounds);
        Drain(ports, last);
    }
    EndTransfers();
    Drain(ports, last);
    if (g->trace) {
        QFile log(Globals::LogFile);
        if (log.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "%s", log.readAll().constData());
        }
    }
    CheckOutside();
    RestoreRoot();
    // The list and the log file would grow without end over millions of inputs.
    TFTPServer().Log->Clear();
    QFile::resize(Globals::LogFile, 0);
    return 0;
}
