#include "transfer_fixture.h"

#include "engine/globals.h"
#include "engine/ip_range.h"
#include "platform/dns_control.h"
#include "platform/registry.h"
#include "platform/win_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QTest>

TransferFixture::TransferFixture() {
    qputenv("QUORVANE_REGISTRY", work.filePath(QStringLiteral("registry.sqlite3")).toLocal8Bit());
    RegistryReopenForTests();
    time = std::make_unique<platform::VirtualTime>();
    // No name unless a test gives one, so lines do not depend on the machine's resolver.
    platform::DnsControl::SetResolverForTests([](const QString&) { return QString(); });
    Globals::RootDir = rootDir.path();
    Globals::ReceiveOnly = false;
    Globals::TransmitOnly = false;
    Globals::Logging = true;
    Globals::LogFile = work.filePath(QStringLiteral("transfers.log"));
    Globals::InactivityMinutes = 9900000;
    Globals::MinutesRemaining = 9900000;
    IPRanges().Clear();
    TFTPServerCore::ListenPort = 0;
    serverPort = quint16(TFTPServer().TFTP->LocalPort());
    client.bind(QHostAddress::LocalHost, 0);
    QObject::connect(
        &TFTPServer(), &TFTPServerCore::TransmitComplete, &client,
        [this](QString& f, QString& ip, bool& e) {
            events << QStringLiteral("TransmitComplete %1 %2 %3").arg(f, ip, e ? "true" : "false");
        });
    QObject::connect(
        &TFTPServer(), &TFTPServerCore::ReceiveComplete, &client,
        [this](QString& f, QString& ip, bool& e) {
            events << QStringLiteral("ReceiveComplete %1 %2 %3").arg(f, ip, e ? "true" : "false");
        });
}

TransferFixture::~TransferFixture() {
    TFTPServer().ExitSelection_Click();
    ResetTFTPServer();
    settle();
    time.reset();
    IPRanges().Clear();
}

void TransferFixture::writeFile(const QString& name, const QByteArray& bytes) const {
    QFile f(path(name));
    QDir().mkpath(QFileInfo(f).absolutePath());
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        f.write(bytes);
    }
}

QByteArray TransferFixture::readFile(const QString& name) const {
    QFile f(path(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray TransferFixture::request(int opcode, const QByteArray& name, const QByteArray& mode) {
    QByteArray d;
    d.append('\0').append(char(opcode)).append(name).append('\0').append(mode).append('\0');
    return d;
}

void TransferFixture::sendRequest(int opcode, const QByteArray& name) {
    client.writeDatagram(request(opcode, name), QHostAddress::LocalHost, serverPort);
    settle();
}

void TransferFixture::newClientPort() {
    client.close();
    client.bind(QHostAddress::LocalHost, 0);
}

void TransferFixture::sendToTransfer(const QByteArray& datagram) {
    client.writeDatagram(datagram, QHostAddress::LocalHost, lastPort);
    settle();
}

void TransferFixture::ack(int block) {
    const char a[4] = {0, 4, char(block / 256), char(block % 256)};
    sendToTransfer(QByteArray(a, 4));
}

QByteArray TransferFixture::data(int block, const QByteArray& bytes) {
    QByteArray d;
    d.append('\0').append('\3').append(char(block / 256)).append(char(block % 256)).append(bytes);
    return d;
}

QByteArray TransferFixture::receive(bool* ok, int waitMs) {
    for (int waited = 0; !client.hasPendingDatagrams() && waited < waitMs; waited += 2) {
        QTest::qWait(2);
    }
    if (!client.hasPendingDatagrams()) {
        if (ok) {
            *ok = false;
        }
        return {};
    }
    const QNetworkDatagram d = client.receiveDatagram();
    lastPort = quint16(d.senderPort());
    if (ok) {
        *ok = true;
    }
    return d.data();
}

QByteArray TransferFixture::fetchRest(QByteArray packet, int* blocks) {
    QByteArray file;
    int count = 0;
    for (;;) {
        file += packet.mid(4);
        ++count;
        const int block = quint8(packet[2]) * 256 + quint8(packet[3]);
        const bool last = packet.size() < 516;
        const char a[4] = {0, 4, char(block / 256), char(block % 256)};
        client.writeDatagram(QByteArray(a, 4), QHostAddress::LocalHost, lastPort);
        if (last) {
            break;
        }
        QElapsedTimer wait;
        wait.start();
        while (!client.hasPendingDatagrams() && wait.elapsed() < 2000) {
            QCoreApplication::processEvents();
        }
        if (!client.hasPendingDatagrams()) {
            break;
        }
        packet = client.receiveDatagram().data();
    }
    settle();
    if (blocks) {
        *blocks = count;
    }
    return file;
}

bool TransferFixture::silent(int waitMs) {
    settle(waitMs);
    return !client.hasPendingDatagrams();
}

void* TransferFixture::arrange(const QString& setup) {
    if (setup == QLatin1String("receiveOnly")) {
        Globals::ReceiveOnly = true;
    } else if (setup == QLatin1String("transmitOnly")) {
        Globals::TransmitOnly = true;
    } else if (setup == QLatin1String("ranges")) {
        IPRange r;
        r.SetStartIP(QStringLiteral("10.0.0.1"));
        r.SetEndIP(QStringLiteral("10.0.0.9"));
        IPRanges().Add(r);
    } else if (setup == QLatin1String("writer")) {
        return platform::CreateFileBeneath(root().toLatin1(), "a.bin", platform::GENERIC_WRITE,
                                           platform::FILE_SHARE_READ, platform::OPEN_EXISTING, 0);
    }
    return nullptr;
}

QStringList TransferFixture::listLines() const {
    QStringList lines;
    const TransferLog* log = TFTPServer().Log;
    for (int i = 0; i < log->ListCount(); ++i) {
        lines << log->List(i);
    }
    return lines;
}

QList<qint32> TransferFixture::listTags() const {
    QList<qint32> tags;
    const TransferLog* log = TFTPServer().Log;
    for (int i = 0; i < log->ListCount(); ++i) {
        tags << log->ItemData(i);
    }
    return tags;
}

QStringList TransferFixture::logLines() const {
    QFile f(Globals::LogFile);
    QStringList out;
    if (!f.open(QIODevice::ReadOnly)) {
        return out;
    }
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.isEmpty()) {
            continue;
        }
        const QString text = QString::fromLatin1(line).chopped(line.endsWith('\r') ? 1 : 0);
        const qsizetype mark = text.indexOf(QLatin1String(" :"));
        out << (mark < 0 ? text : text.mid(mark + 2));
    }
    return out;
}

void TransferFixture::settle(int ms) {
    for (int i = 0; i < ms; i += 2) {
        QTest::qWait(2);
        platform::VirtualTime::Settle();
    }
}

int TransferFixture::openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

int TransferFixture::openFilesBeneath(const QString& folder) {
    const QString inside = QDir(folder).canonicalPath() + QLatin1Char('/');
    int count = 0;
    // Each entry is a link to what the descriptor has open; an open file's link is not broken,
    // so it is listed among the files.
    const QFileInfoList fds = QDir(QStringLiteral("/proc/self/fd"))
                                  .entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& fd : fds) {
        if (fd.symLinkTarget().startsWith(inside)) {
            ++count;
        }
    }
    return count;
}
