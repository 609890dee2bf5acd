// Write requests end to end against the engine: a real client socket over loopback, virtual time.
#include "engine/globals.h"
#include "engine/ip_range.h"
#include "engine/receive_form.h"
#include "engine/transmit_form.h"
#include "platform/win_file.h"
#include "toolkit/registry_support.h"
#include "transfer_fixture.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QtTest>

#include <cerrno>
#include <clocale>
#include <cstring>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

QByteArray pattern(int size, int seed = 0) {
    QByteArray b(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        b[i] = char((i * 7 + i / 512 + seed) & 0xFF);
    }
    return b;
}

QByteArray ackOf(int block) {
    const char a[4] = {0, 4, char(block / 256), char(block % 256)};
    return QByteArray(a, 4);
}

int errorCode(const QByteArray& p) {
    return quint8(p[2]) * 256 + quint8(p[3]);
}
QString errorText(const QByteArray& p) {
    return QString::fromLatin1(p.mid(4).chopped(1));
}

// Sends one datagram to the transfer and waits for its answer, spinning the event loop rather
// than sleeping, so that thousands of blocks go through quickly. Empty when nothing comes.
QByteArray answer(TransferFixture& fx, const QByteArray& datagram, int waitMs = 2000) {
    fx.client.writeDatagram(datagram, QHostAddress::LocalHost, fx.lastPort);
    QElapsedTimer wait;
    wait.start();
    while (!fx.client.hasPendingDatagrams() && wait.elapsed() < waitMs) {
        QCoreApplication::processEvents();
    }
    if (!fx.client.hasPendingDatagrams()) {
        return {};
    }
    const QNetworkDatagram d = fx.client.receiveDatagram();
    fx.lastPort = quint16(d.senderPort());
    return d.data();
}

// Sends the file as a client does, in lock step, ending with a short (maybe empty) block;
// `blocks` of them at most. True when every block got the ACK with its own number.
bool sendFile(TransferFixture& fx, const QByteArray& content, int blocks = 1 << 30) {
    for (int block = 1; block <= blocks; ++block) {
        const QByteArray part = content.mid((block - 1) * 512, 512);
        if (answer(fx, TransferFixture::data(block, part)) != ackOf(block)) {
            return false;
        }
        if (part.size() < 512) {
            break;
        }
    }
    TransferFixture::settle();
    return true;
}

// Sends full blocks `first` to `last` of `fill` in order, a window of them at a time without
// waiting for each ACK (in order on loopback, each is the next one), and takes the ACKs. True
// when the ACK of `last` came.
bool sendFullBlocks(TransferFixture& fx, int first, int last, char fill) {
    constexpr int kWindow = 128;
    const QByteArray part(512, fill);
    QByteArray lastAck;
    for (int from = first; from <= last; from += kWindow) {
        const int to = qMin(last, from + kWindow - 1);
        for (int block = from; block <= to; ++block) {
            fx.client.writeDatagram(TransferFixture::data(block, part), QHostAddress::LocalHost,
                                    fx.lastPort);
        }
        for (int block = from; block <= to; ++block) {
            bool ok = false;
            lastAck = fx.receive(&ok);
            if (!ok) {
                return false;
            }
        }
    }
    return lastAck == ackOf(last);
}

// Every file beneath a folder with its contents, to show that nothing was touched.
QMap<QString, QByteArray> snapshot(const QString& folder) {
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        files.insert(path, it.fileInfo().isFile() && !it.fileInfo().isSymLink() &&
                                   f.open(QIODevice::ReadOnly)
                               ? f.readAll()
                               : QByteArray("<other>"));
    }
    return files;
}

// Makes a folder where files may be written but not deleted: no write permission on the folder,
// with root's override of file permissions switched off on this thread while it lives.
class UndeletableFolder {
public:
    explicit UndeletableFolder(const QString& path) : path_(path) {
        ::chmod(path_.toLocal8Bit().constData(), 0555);
        if (::geteuid() != 0) {
            return;
        }
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        if (::syscall(SYS_capget, &header_, saved_) != 0) {
            return;
        }
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
        lowered_ = ::syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~UndeletableFolder() {
        if (lowered_) {
            ::syscall(SYS_capset, &header_, saved_);
        }
        ::chmod(path_.toLocal8Bit().constData(), 0755);
    }

private:
    QString path_;
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2] = {};
    bool lowered_ = false;
};

const QString kReceived = QStringLiteral("Received %1 from  (127.0.0.1), %2 bytes");

} // namespace

class TestReceiveForm : public QObject {
    Q_OBJECT
private slots:
    void createdByItsKindName() {
        TransferFixture fx;
        TransferForm* form = CreateTransferForm(QLatin1String(kReceiveFormName));
        QVERIFY(qobject_cast<ReceiveForm*>(form));
        QCOMPARE(form->Name(), QStringLiteral("ReceiveForm"));
        QCOMPARE(form->property("Caption").toString(), QStringLiteral("Receiving TFTP File"));
        QVERIFY(form->IsLoaded());
        QVERIFY(form->Retry_Timer->Enabled());
        form->Unload();
    }

    void lookupNameAppearsInTheLines() {
        TransferFixture fx;
        platform::DnsControl::SetResolverForTests(
            [](const QString& address) { return address == "127.0.0.1" ? "client.example" : ""; });
        fx.sendRequest(2, "f.bin");
        fx.receive();
        QVERIFY(sendFile(fx, "abc"));
        QCOMPARE(fx.listLines(),
                 QStringList{"Received f.bin from client.example (127.0.0.1), 3 bytes"});
    }

    void storesFilesByteForByte_data() {
        QTest::addColumn<int>("size");
        QTest::newRow("empty") << 0;
        QTest::newRow("511") << 511;
        QTest::newRow("512") << 512;
        QTest::newRow("513") << 513;
        QTest::newRow("1000000") << 1000000;
    }
    void storesFilesByteForByte() {
        QFETCH(int, size);
        TransferFixture fx;
        const QByteArray content = pattern(size);
        const int fds = TransferFixture::openDescriptors();
        fx.sendRequest(2, "up.bin");
        QCOMPARE(fx.receive(), QByteArray("\0\4\0\0", 4));
        QVERIFY(fx.transferPort() != fx.serverPort);
        QCOMPARE(fx.listLines(), QStringList{"Receiving up.bin from  (127.0.0.1)"});
        if (size > 300 * 512) {
            QVERIFY(sendFile(fx, content, 299));
            QCOMPARE(answer(fx, TransferFixture::data(300, content.mid(299 * 512, 512))),
                     QByteArray("\0\4\1\x2c", 4));
            for (int block = 301;; ++block) {
                const QByteArray part = content.mid((block - 1) * 512, 512);
                QCOMPARE(answer(fx, TransferFixture::data(block, part)), ackOf(block));
                if (part.size() < 512) {
                    break;
                }
            }
            TransferFixture::settle();
        } else {
            QVERIFY(sendFile(fx, content));
        }
        QVERIFY(fx.silent());
        QVERIFY(fx.readFile("up.bin") == content);
        const QString done = kReceived.arg("up.bin").arg(size);
        QCOMPARE(fx.listLines(), QStringList{done});
        QCOMPARE(fx.listTags(), QList<qint32>{1});
        QCOMPARE(fx.logLines(), (QStringList{"Receiving up.bin from  (127.0.0.1)", done}));
        QCOMPARE(fx.events, QStringList{"ReceiveComplete up.bin 127.0.0.1 false"});
        QCOMPARE(TransferFixture::openFilesBeneath(fx.root()), 0);
        // The port stays one retry interval for a repeat of the last block.
        fx.advance(6500);
        QCOMPARE(TransferFixture::openDescriptors(), fds);
    }

    void namesAreCleaned_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("stored");
        QTest::newRow("leading dots and separators") << QByteArray("./\\..a.bin") << "a.bin";
        QTest::newRow("one comma") << QByteArray(",,a.bin") << ",a.bin";
        QTest::newRow("comma after dots") << QByteArray("..,a.bin") << "a.bin";
        QTest::newRow("dot after comma stays") << QByteArray(",.a.bin") << ".a.bin";
        QTest::newRow("into a folder") << QByteArray("/sub\\a.bin") << "sub\\a.bin";
    }
    void namesAreCleaned() {
        QFETCH(QByteArray, name);
        QFETCH(QString, stored);
        TransferFixture fx;
        QVERIFY(QDir(fx.root()).mkdir("sub"));
        fx.sendRequest(2, name);
        QCOMPARE(fx.receive(), ackOf(0));
        QVERIFY(sendFile(fx, "abc"));
        QString onDisk = stored;
        onDisk.replace(QLatin1Char('\\'), QLatin1Char('/'));
        QCOMPARE(fx.readFile(onDisk), QByteArray("abc"));
        QCOMPARE(fx.listLines(), QStringList{kReceived.arg(stored).arg(3)});
        QCOMPARE(fx.events, QStringList{"ReceiveComplete " + stored + " 127.0.0.1 false"});
    }

    void refusals_data() {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("listLine");
        QTest::addColumn<QString>("fileLine");
        const QString outside = QStringLiteral(" from 127.0.0.1 (outside the root directory)");
        QTest::newRow("transmit only")
            << "transmitOnly" << QByteArray("/a.bin")
            << "TFTP Server Error: server is configured for transmit only"
            << "Error: 127.0.0.1 wants to write /a.bin, but server is configured for Transmit Only"
            << "Error: 127.0.0.1 wants to write /a.bin, but server is configured for Transmit Only";
        QTest::newRow("colon") << "" << QByteArray("/c:/a.bin")
                               << "TFTP Server Error: Invalid access to /c:/a.bin"
                               << ""
                               << "TFTP Server Error: Invalid access to /c:/a.bin";
        QTest::newRow("outside ranges")
            << "ranges" << QByteArray("./,a.bin") << "TFTP Server Error: Invalid access to ,a.bin"
            << "Error: Transfer ,a.bin sent from 127.0.0.1, but client IP address (127.0.0.1) is "
               "outside security address range."
            << "Error: Transfer ,a.bin sent from 127.0.0.1, but client IP address (127.0.0.1) is "
               "outside security address range.";
        // The dispatcher's removal of "../" joins "..//" into a new parent step.
        QTest::newRow("parent steps")
            << "" << QByteArray("sub/....//....//victim")
            << "TFTP Server Error: Invalid access to sub/../../victim"
            << "Invalid access to sub/../../victim" + outside
            << "TFTP Server Error: Invalid access to sub/../../victim" + outside;
        QTest::newRow("link leading out")
            << "" << QByteArray("out/secret") << "TFTP Server Error: Invalid access to out/secret"
            << "Invalid access to out/secret" + outside
            << "TFTP Server Error: Invalid access to out/secret" + outside;
        QTest::newRow("empty name") << "" << QByteArray("/./") << "TFTP Error: File Open Error 5"
                                    << "TFTP Error from 127.0.0.1 sending  : File Open Error 5"
                                    << "";
        QTest::newRow("directory") << "" << QByteArray("sub") << "TFTP Error: File Open Error 5"
                                   << "TFTP Error from 127.0.0.1 sending sub : File Open Error 5"
                                   << "";
        QTest::newRow("missing folder")
            << "" << QByteArray("nodir/a.bin") << "TFTP Error: File Open Error 3"
            << "TFTP Error from 127.0.0.1 sending nodir/a.bin : File Open Error 3"
            << "";
        // The delete takes the name literally, so a.bin is not matched either.
        QTest::newRow("wildcard")
            << "" << QByteArray("a*.bin") << "TFTP Error: File Open Error 123"
            << "TFTP Error from 127.0.0.1 sending a*.bin : File Open Error 123"
            << "";
        QTest::newRow("held by a writer")
            << "writer" << QByteArray("a.bin") << "TFTP Error: Sharing Violation"
            << "TFTP Error from 127.0.0.1 sending a.bin : Sharing Violation"
            << "";
    }
    void refusals() {
        QFETCH(QString, setup);
        QFETCH(QByteArray, name);
        QFETCH(QString, error);
        QFETCH(QString, listLine);
        QFETCH(QString, fileLine);
        TransferFixture fx;
        QTemporaryDir elsewhere;
        QFile secret(elsewhere.filePath("secret"));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("outside");
        secret.close();
        QVERIFY(QFile::link(elsewhere.path(), fx.path("out")));
        fx.writeFile("a.bin", "data");
        fx.writeFile("sub/x.bin", "data");
        const QString victim = fx.root() + QStringLiteral("/../victim");
        platform::HANDLE writer = fx.arrange(setup);
        QVERIFY(writer != platform::INVALID_HANDLE_VALUE);
        const auto inside = snapshot(fx.root());
        const auto beyond = snapshot(elsewhere.path());
        const int fds = TransferFixture::openDescriptors();
        fx.sendRequest(2, name);
        bool ok = false;
        const QByteArray p = fx.receive(&ok);
        QVERIFY(ok);
        QCOMPARE(p.left(2), QByteArray("\0\5", 2));
        QCOMPARE(errorCode(p), 0);
        QCOMPARE(errorText(p), error);
        QVERIFY(p.endsWith('\0'));
        QCOMPARE(fx.listLines(), listLine.isEmpty() ? QStringList() : QStringList{listLine});
        QCOMPARE(fx.listTags(), listLine.isEmpty() ? QList<qint32>() : QList<qint32>{0});
        QCOMPARE(fx.logLines(), fileLine.isEmpty() ? QStringList() : QStringList{fileLine});
        QVERIFY(fx.events.isEmpty());
        QVERIFY(fx.silent());
        QCOMPARE(TransferFixture::openDescriptors(), fds);
        if (writer) {
            platform::CloseHandle(writer);
        }
        QCOMPARE(TransferFixture::openFilesBeneath(fx.root()), 0);
        // Nothing deleted, created or written, inside the root or beyond it.
        QCOMPARE(snapshot(fx.root()), inside);
        QCOMPARE(snapshot(elsewhere.path()), beyond);
        QVERIFY(!QFileInfo::exists(victim));
    }

    void occupiedFileIsKeptWhole_data() {
        QTest::addColumn<bool>("beingRead");
        QTest::addColumn<QString>("reason");
        QTest::newRow("read-only") << false << "File Open Error 5";
        QTest::newRow("being read") << true << "Sharing Violation";
    }
    void occupiedFileIsKeptWhole() {
        QFETCH(bool, beingRead);
        QFETCH(QString, reason);
        TransferFixture fx;
        const QByteArray old = pattern(3000, 1);
        fx.writeFile("a.bin", old);
        QByteArray firstBlock;
        quint16 readPort = 0;
        QStringList before;
        if (beingRead) {
            fx.sendRequest(1, "a.bin");
            firstBlock = fx.receive();
            QCOMPARE(firstBlock.size(), 516);
            readPort = fx.transferPort();
            before << "Sending a.bin to  (127.0.0.1)";
        } else {
            QVERIFY(::chmod(fx.path("a.bin").toLocal8Bit().constData(), 0444) == 0);
        }
        fx.sendRequest(2, "a.bin");
        const QByteArray p = fx.receive();
        QCOMPARE(errorCode(p), 0);
        QCOMPARE(errorText(p), "TFTP Error: " + reason);
        QCOMPARE(fx.listLines(),
                 before + QStringList{"TFTP Error from 127.0.0.1 sending a.bin : " + reason});
        QCOMPARE(fx.logLines(), before);
        QVERIFY(fx.events.isEmpty());
        QVERIFY(fx.readFile("a.bin") == old);
        if (beingRead) {
            // The read goes on undisturbed.
            fx.lastPort = readPort;
            QVERIFY(fx.fetchRest(firstBlock) == old);
            QCOMPARE(fx.events, QStringList{"TransmitComplete a.bin 127.0.0.1 false"});
        }
    }

    void existingFileIsReplaced() {
        TransferFixture fx;
        fx.writeFile("a.bin", pattern(5000, 3));
        const QByteArray content = pattern(700);
        fx.sendRequest(2, "a.bin");
        QCOMPARE(fx.receive(), ackOf(0));
        QVERIFY(sendFile(fx, content));
        QVERIFY(fx.readFile("a.bin") == content);
        QCOMPARE(fx.listLines(), QStringList{kReceived.arg("a.bin").arg(700)});
    }

    // The stored root is text in the system's encoding; the folder made at start, the file
    // written and the file read back must all be the same one.
    void storedRootWithNonAsciiNameServesBothWays() {
        TransferFixture fx;
        const QString folder = QStringLiteral("caf\u00e9-\u0416");
        RegistrySupport::SaveRegSetting("TFTP Server", "Config", "RootDir", fx.path(folder));
        Globals::LoadSettings();
        QCOMPARE(Globals::RootDir, fx.path(folder));
        Globals::ReceiveOnly = false;
        const QByteArray content = pattern(700);
        fx.sendRequest(2, "up.bin");
        QCOMPARE(fx.receive(), ackOf(0));
        QVERIFY(sendFile(fx, content));
        QVERIFY(fx.readFile(folder + QStringLiteral("/up.bin")) == content);
        fx.sendRequest(1, "up.bin");
        QCOMPARE(fx.fetchRest(fx.receive()), content);
    }

    // A file that survives its delete must not keep the old file's tail beyond what was sent.
    void undeletableFileHoldsExactlyWhatCame_data() {
        QTest::addColumn<bool>("timesOut");
        QTest::newRow("finished") << false;
        QTest::newRow("timed out") << true;
    }
    void undeletableFileHoldsExactlyWhatCame() {
        QFETCH(bool, timesOut);
        TransferFixture fx;
        fx.writeFile("locked/f.bin", pattern(5000, 5));
        const QByteArray content = pattern(700);
        UndeletableFolder folder(fx.path("locked"));
        QVERIFY2(!platform::DeleteFileBeneath(fx.root().toLatin1(), "locked/f.bin"),
                 "the file could be deleted: the case does not arise here");
        fx.sendRequest(2, "locked/f.bin");
        QCOMPARE(fx.receive(), ackOf(0));
        if (timesOut) {
            QVERIFY(sendFile(fx, content, 1));
            fx.advance(26000);
            for (int repeat = 0; repeat < 3; ++repeat) {
                QCOMPARE(fx.receive(), ackOf(1));
            }
            QCOMPARE(errorCode(fx.receive()), 0);
            QVERIFY(fx.readFile("locked/f.bin") == content.left(512));
            QCOMPARE(fx.events, QStringList{"ReceiveComplete locked/f.bin 127.0.0.1 true"});
        } else {
            QVERIFY(sendFile(fx, content));
            QVERIFY(fx.readFile("locked/f.bin") == content);
            QCOMPARE(fx.listLines(), QStringList{kReceived.arg("locked/f.bin").arg(700)});
        }
    }

    // Only the next block in order is stored: a repeat of the last one stored and a block out of
    // order after a lost one get the ACK of the last one stored and change nothing, so the file
    // never has a gap; a short block out of order ends nothing.
    void blocksAreTakenOnlyInOrder() {
        TransferFixture fx;
        const QByteArray content = pattern(20 * 512 + 100);
        const auto block = [&](int n) {
            return TransferFixture::data(n, content.mid((n - 1) * 512, 512));
        };
        fx.sendRequest(2, "f.bin");
        QCOMPARE(fx.receive(), ackOf(0));
        // Block 0 has no place in the file, with data or without.
        QCOMPARE(answer(fx, TransferFixture::data(0, QByteArray(512, 'Z'))), ackOf(0));
        QCOMPARE(answer(fx, TransferFixture::data(0, QByteArray())), ackOf(0));
        for (int n = 1; n <= 3; ++n) {
            QCOMPARE(answer(fx, block(n)), ackOf(n));
        }
        // Block 4 is lost; the client goes on as atftp does.
        for (int n = 5; n <= 21; ++n) {
            QCOMPARE(answer(fx, block(n)), ackOf(3));
        }
        // A repeat of block 3 with other bytes is not written again.
        QCOMPARE(answer(fx, TransferFixture::data(3, QByteArray(512, 'X'))), ackOf(3));
        // Too long, too short, not DATA: no answer, nothing written.
        QVERIFY(answer(fx, TransferFixture::data(4, QByteArray(513, 'X')), 100).isEmpty());
        QVERIFY(answer(fx, QByteArray("\0\3\0", 3), 100).isEmpty());
        QVERIFY(answer(fx, QByteArray("\0\5\0\0oops\0", 9), 100).isEmpty());
        QVERIFY(answer(fx, ackOf(4), 100).isEmpty());
        QVERIFY(fx.readFile("f.bin") == content.left(3 * 512));
        QVERIFY(fx.events.isEmpty());
        for (int n = 4; n <= 21; ++n) {
            QCOMPARE(answer(fx, block(n)), ackOf(n));
        }
        TransferFixture::settle();
        QVERIFY(fx.silent());
        QVERIFY(fx.readFile("f.bin") == content);
        QCOMPARE(fx.listLines(), QStringList{kReceived.arg("f.bin").arg(content.size())});
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 false"});
    }

    // A lost final ACK: the transfer has ended and freed its file, but its port answers the
    // client's repeat of the last block with the same ACK for one retry interval, then closes.
    void finalAckIsRepeatedForOneInterval() {
        TransferFixture fx;
        const int fds = TransferFixture::openDescriptors();
        fx.sendRequest(2, "f.bin");
        fx.receive();
        QVERIFY(sendFile(fx, pattern(700)));
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 false"});
        QCOMPARE(TransferFixture::openFilesBeneath(fx.root()), 0);
        const QByteArray last = TransferFixture::data(2, pattern(700).mid(512));
        const quint16 firstPort = fx.lastPort;
        fx.advance(6000);
        QCOMPARE(answer(fx, last), ackOf(2));
        QCOMPARE(answer(fx, last), ackOf(2));
        // Nothing but the last block is answered, and a stranger gets ERROR 5.
        QVERIFY(answer(fx, TransferFixture::data(1, pattern(512)), 100).isEmpty());
        {
            QUdpSocket stranger;
            QVERIFY(stranger.bind(QHostAddress::LocalHost, 0));
            stranger.writeDatagram(last, QHostAddress::LocalHost, fx.lastPort);
            TransferFixture::settle();
            QCOMPARE(stranger.receiveDatagram().data(),
                     QByteArray("\0\5\0\5Unknown transfer ID\0", 24));
        }
        // The file is free at once: a new upload of it runs while the old port still answers.
        fx.newClientPort();
        fx.sendRequest(2, "f.bin");
        QCOMPARE(fx.receive(), ackOf(0));
        QVERIFY(sendFile(fx, "new"));
        QCOMPARE(fx.readFile("f.bin"), QByteArray("new"));
        QCOMPARE(fx.events.size(), 2);
        fx.advance(500);
        fx.client.writeDatagram(last, QHostAddress::LocalHost, firstPort);
        QVERIFY(fx.silent());
        QCOMPARE(fx.logLines().size(), 4);
        fx.advance(6000);
        QCOMPARE(TransferFixture::openDescriptors(), fds);
    }

    // After block 65535 a block 0 or 1 is the client's number rolling over past what the
    // protocol can number, whichever way the client wraps: with data the upload fails, and
    // nothing of it lands on the file's start; empty, it ends a file of exactly 65535 blocks,
    // and the kept port then also acknowledges the one more empty block some clients send.
    void rolloverAfterTheLastNumber_data() {
        QTest::addColumn<int>("wrapped");
        QTest::addColumn<QByteArray>("rolled");
        QTest::newRow("0 with data") << 0 << QByteArray(100, 'Z');
        QTest::newRow("1 with data") << 1 << QByteArray(512, 'Z');
        QTest::newRow("0 empty") << 0 << QByteArray();
        QTest::newRow("1 empty") << 1 << QByteArray();
    }
    void rolloverAfterTheLastNumber() {
        QFETCH(int, wrapped);
        QFETCH(QByteArray, rolled);
        TransferFixture fx;
        const qint64 full = qint64(65535) * 512;
        fx.sendRequest(2, "f.bin");
        fx.receive();
        QCOMPARE(answer(fx, TransferFixture::data(1, QByteArray(512, 'A'))), ackOf(1));
        QVERIFY(sendFullBlocks(fx, 2, 65535, 'B'));
        const QByteArray p = answer(fx, TransferFixture::data(wrapped, rolled));
        TransferFixture::settle();
        QFile f(fx.path("f.bin"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.size(), full);
        QCOMPARE(f.read(512), QByteArray(512, 'A'));
        f.close();
        if (rolled.isEmpty()) {
            QCOMPARE(p, ackOf(wrapped));
            QCOMPARE(fx.listLines(), QStringList{kReceived.arg("f.bin").arg(full)});
            QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 false"});
            QCOMPARE(answer(fx, TransferFixture::data(wrapped, {})), ackOf(wrapped));
            QCOMPARE(answer(fx, TransferFixture::data(wrapped + 1, {})), ackOf(wrapped + 1));
            // Only an empty one, and only the one right after.
            QVERIFY(answer(fx, TransferFixture::data(wrapped + 1, "x"), 100).isEmpty());
            QVERIFY(answer(fx, TransferFixture::data(wrapped + 2, {}), 100).isEmpty());
            QCOMPARE(fx.readFile("f.bin").size(), full);
            return;
        }
        QCOMPARE(errorCode(p), 3);
        QCOMPARE(errorText(p), QStringLiteral("TFTP Error: File too large for TFTP Protocol"));
        QVERIFY(fx.silent());
        const QString line = QStringLiteral("Error receiving f.bin from  (127.0.0.1), %1 bytes : "
                                            "File too large for TFTP Protocol")
                                 .arg(full);
        QCOMPARE(fx.listLines(), QStringList{line});
        QCOMPARE(fx.logLines(), (QStringList{"Receiving f.bin from  (127.0.0.1)", line}));
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 true"});
        QCOMPARE(TransferFixture::openFilesBeneath(fx.root()), 0);
    }

    // A block the disk does not take whole is not acknowledged: the client hears why, and the
    // upload ends as failed with what the file then holds.
    void writeTheDiskRefusesFailsTheUpload_data() {
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("secondBlock");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("reason");
        const QString full = QStringLiteral("Disk full or allocation exceeded");
        QTest::newRow("disk full in a block") << qint64(612) << ENOSPC << 512 << 3 << full;
        QTest::newRow("disk full in the last block") << qint64(612) << ENOSPC << 300 << 3 << full;
        QTest::newRow("quota, nothing stored") << qint64(512) << EDQUOT << 512 << 3 << full;
        QTest::newRow("file-size limit") << qint64(612) << EFBIG << 512 << 3 << full;
        QTest::newRow("I/O error")
            << qint64(512) << EIO << 300 << 0 << QString::fromLocal8Bit(strerror(EIO));
    }
    void writeTheDiskRefusesFailsTheUpload() {
        QFETCH(qint64, limit);
        QFETCH(int, error);
        QFETCH(int, secondBlock);
        QFETCH(int, code);
        QFETCH(QString, reason);
        TransferFixture fx;
        struct Lift {
            ~Lift() { platform::SetWriteLimitForTests(-1, 0); }
        } lift;
        platform::SetWriteLimitForTests(limit, error);
        const QByteArray content = pattern(512 + secondBlock);
        fx.sendRequest(2, "f.bin");
        fx.receive();
        QVERIFY(sendFile(fx, content, 1));
        const QByteArray p = answer(fx, TransferFixture::data(2, content.mid(512)));
        QCOMPARE(p.left(2), QByteArray("\0\5", 2));
        QCOMPARE(errorCode(p), code);
        QCOMPARE(errorText(p), reason);
        QVERIFY(fx.silent());
        const QString line =
            QStringLiteral("Error receiving f.bin from  (127.0.0.1), %1 bytes : ").arg(limit) +
            reason;
        QCOMPARE(fx.listLines(), QStringList{line});
        QCOMPARE(fx.logLines(), (QStringList{"Receiving f.bin from  (127.0.0.1)", line}));
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 true"});
        QVERIFY(fx.readFile("f.bin") == content.left(int(limit)));
        QCOMPARE(TransferFixture::openFilesBeneath(fx.root()), 0);
    }

    // Some media report a full disk or an I/O error only when the file is closed: the last
    // block is then not acknowledged, and the upload ends as failed.
    void closeTheMediumRefusesFailsTheUpload_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("reason");
        QTest::newRow("disk full")
            << ENOSPC << 3 << QStringLiteral("Disk full or allocation exceeded");
        QTest::newRow("I/O error") << EIO << 0 << QString::fromLocal8Bit(strerror(EIO));
    }
    void closeTheMediumRefusesFailsTheUpload() {
        QFETCH(int, error);
        QFETCH(int, code);
        QFETCH(QString, reason);
        TransferFixture fx;
        fx.sendRequest(2, "f.bin");
        fx.receive();
        QVERIFY(sendFile(fx, pattern(512), 1));
        struct Lift {
            ~Lift() { platform::SetCloseFailureForTests(0); }
        } lift;
        platform::SetCloseFailureForTests(error);
        const QByteArray p = answer(fx, TransferFixture::data(2, "end"));
        platform::SetCloseFailureForTests(0);
        QCOMPARE(p.left(2), QByteArray("\0\5", 2));
        QCOMPARE(errorCode(p), code);
        QCOMPARE(errorText(p), reason);
        QVERIFY(fx.silent());
        const QString line =
            QStringLiteral("Error receiving f.bin from  (127.0.0.1), 515 bytes : ") + reason;
        QCOMPARE(fx.listLines(), QStringList{line});
        QCOMPARE(fx.logLines(), (QStringList{"Receiving f.bin from  (127.0.0.1)", line}));
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 true"});
        QCOMPARE(TransferFixture::openFilesBeneath(fx.root()), 0);
    }

    // A copy of the request from the client's own port is the same request: until the first
    // DATA comes our ACK 0 may have been lost, and it goes again at once (once a second at
    // most); after that, and while the finished upload's port still answers, the copy changes
    // nothing, so a late copy cannot start the stored file over.
    void repeatedRequestFromTheSamePortIsTheSameTransfer() {
        TransferFixture fx;
        const QByteArray content = pattern(700);
        fx.sendRequest(2, "f.bin");
        QCOMPARE(fx.receive(), ackOf(0));
        const quint16 port = fx.transferPort();
        fx.sendRequest(2, "f.bin");
        QVERIFY(fx.silent());
        fx.advance(1000);
        fx.sendRequest(2, "f.bin");
        QCOMPARE(fx.receive(), ackOf(0));
        QCOMPARE(fx.transferPort(), port);
        QVERIFY(sendFile(fx, content, 1));
        fx.advance(1000);
        fx.sendRequest(2, "f.bin");
        QVERIFY(fx.silent());
        QVERIFY(sendFile(fx, content));
        fx.advance(1000);
        fx.sendRequest(2, "f.bin");
        QVERIFY(fx.silent());
        QVERIFY(fx.readFile("f.bin") == content);
        QCOMPARE(fx.listLines(), QStringList{kReceived.arg("f.bin").arg(700)});
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 false"});
    }

    // The client uploads the same file again right away: the old upload's final DATA already
    // waits on its socket when the new request comes, and the old upload ends as received.
    void finalDataWaitingWhenTheFileIsUploadedAgain() {
        TransferFixture fx;
        const QByteArray content = pattern(700);
        fx.sendRequest(2, "f.bin");
        fx.receive();
        QVERIFY(sendFile(fx, content, 1));
        fx.client.writeDatagram(TransferFixture::data(2, content.mid(512)), QHostAddress::LocalHost,
                                fx.lastPort);
        fx.newClientPort();
        fx.client.writeDatagram(TransferFixture::request(2, "f.bin"), QHostAddress::LocalHost,
                                fx.serverPort);
        TransferFixture::settle();
        QCOMPARE(fx.receive(), ackOf(0));
        QCOMPARE(fx.listLines(), (QStringList{kReceived.arg("f.bin").arg(700),
                                              "Receiving f.bin from  (127.0.0.1)"}));
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 false"});
    }

    // The system's text of a failed write comes in the user's language: the list shows it as
    // the system wrote it, and the log file holds it in UTF-8.
    void systemTextInTheUsersLanguage() {
        QTemporaryDir locales;
        QProcess make;
        make.start(QStringLiteral("localedef"),
                   {"-i", "fr_FR", "-f", "UTF-8", locales.filePath(QStringLiteral("fr_FR.UTF-8"))});
        if (!make.waitForFinished(60000) || make.exitCode() != 0) {
            QSKIP("no French locale can be made here");
        }
        qputenv("LOCPATH", locales.path().toLocal8Bit());
        const QByteArray saved = ::setlocale(LC_MESSAGES, nullptr);
        struct Restore {
            QByteArray locale;
            ~Restore() {
                ::setlocale(LC_MESSAGES, locale.constData());
                qunsetenv("LOCPATH");
                platform::SetWriteLimitForTests(-1, 0);
            }
        } restore{saved};
        ::setlocale(LC_MESSAGES, "fr_FR.UTF-8");
        const QString reason = QString::fromLocal8Bit(strerror(EIO));
        if (reason.toLatin1() == reason.toUtf8()) {
            QSKIP("the system's texts are not translated here");
        }
        TransferFixture fx;
        platform::SetWriteLimitForTests(0, EIO);
        fx.sendRequest(2, "f.bin");
        fx.receive();
        QCOMPARE(errorText(answer(fx, TransferFixture::data(1, "abc"))), reason);
        const QString line = QStringLiteral("Error receiving f.bin from  (127.0.0.1), 0 bytes : ");
        QCOMPARE(fx.listLines(), QStringList{line + reason});
        QCOMPARE(fx.logLines().last(), line + QString::fromLatin1(reason.toUtf8()));
    }

    // Anyone but the client, writing to the transfer's port, gets ERROR 5 (an ERROR of theirs
    // gets nothing), and nothing is written or ended; the client's upload goes on.
    void strangerChangesNothing_data() {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("answered");
        QTest::newRow("DATA") << TransferFixture::data(2, "evil") << true;
        QTest::newRow("ACK") << ackOf(1) << true;
        QTest::newRow("ERROR") << QByteArray("\0\5\0\0bye\0", 8) << false;
    }
    void strangerChangesNothing() {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, answered);
        TransferFixture fx;
        const QByteArray content = pattern(1500);
        fx.sendRequest(2, "f.bin");
        fx.receive();
        QVERIFY(sendFile(fx, content, 1));
        QUdpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress::LocalHost, 0));
        const auto strangerWrites = [&] {
            stranger.writeDatagram(datagram, QHostAddress::LocalHost, fx.lastPort);
            TransferFixture::settle();
            if (answered) {
                QVERIFY(stranger.hasPendingDatagrams());
                const QNetworkDatagram reply = stranger.receiveDatagram();
                QCOMPARE(reply.senderPort(), int(fx.lastPort));
                QCOMPARE(reply.data(), QByteArray("\0\5\0\5Unknown transfer ID\0", 24));
            }
            QVERIFY(!stranger.hasPendingDatagrams());
            QVERIFY(fx.silent());
            QVERIFY(fx.events.isEmpty());
            QVERIFY(fx.readFile("f.bin") == content.left(512));
        };
        strangerWrites();
        // The upload goes on, and the stranger keeps it from timing out no more than from
        // going on: the time-out still comes 26 s after the client's last block.
        for (int repeat = 0; repeat < 3; ++repeat) {
            fx.advance(6500);
            QCOMPARE(fx.receive(), ackOf(1));
        }
        strangerWrites();
        fx.advance(6500);
        QCOMPARE(errorCode(fx.receive()), 0);
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 true"});
        QVERIFY(fx.readFile("f.bin") == content.left(512));
    }

    // What a client's DATA may look like: any first byte.
    void dataWithAnyFirstByteIsTaken() {
        TransferFixture fx;
        fx.sendRequest(2, "f.bin");
        fx.receive();
        QByteArray d = TransferFixture::data(1, "abc");
        d[0] = '\x7f';
        QCOMPARE(answer(fx, d), ackOf(1));
        TransferFixture::settle();
        QCOMPARE(fx.readFile("f.bin"), QByteArray("abc"));
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 false"});
    }

    void repeatsTheLastAckThenTimesOut_data() {
        QTest::addColumn<int>("blocks");
        QTest::newRow("no data") << 0;
        QTest::newRow("two blocks, the client answering each with ERROR") << 2;
    }
    void repeatsTheLastAckThenTimesOut() {
        QFETCH(int, blocks);
        TransferFixture fx;
        const QByteArray content = pattern(2000);
        const int fds = TransferFixture::openDescriptors();
        fx.sendRequest(2, "f.bin");
        QCOMPARE(fx.receive(), ackOf(0));
        QVERIFY(sendFile(fx, content, blocks));
        for (int repeat = 0; repeat < 3; ++repeat) {
            if (blocks > 0) {
                // A client's ERROR is no sign of life: the time-out keeps its time from the last
                // block, however often the client answers so.
                fx.advance(3000);
                fx.sendToTransfer(QByteArray("\0\5\0\5Unknown transfer ID\0", 24));
                fx.advance(3499);
            } else {
                fx.advance(6499);
            }
            QVERIFY(fx.silent(10));
            fx.advance(1);
            QCOMPARE(fx.receive(), ackOf(blocks));
        }
        fx.advance(6499);
        QVERIFY(fx.silent(10));
        fx.advance(1);
        const QByteArray err = fx.receive();
        QCOMPARE(err.left(2), QByteArray("\0\5", 2));
        QCOMPARE(errorCode(err), 0);
        QCOMPARE(errorText(err), QStringLiteral("Quorvane TFTP Server is running, but times out "
                                                "waiting for client to send data."));
        // The count is the one last reported, and no progress line came.
        const QString line =
            QStringLiteral("Timeout error receiving f.bin from  (127.0.0.1), 0 bytes");
        QCOMPARE(fx.listLines(), QStringList{line});
        QCOMPARE(fx.logLines(), (QStringList{"Receiving f.bin from  (127.0.0.1)", line}));
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 true"});
        QVERIFY(QFileInfo::exists(fx.path("f.bin")));
        QVERIFY(fx.readFile("f.bin") == content.left(blocks * 512));
        QCOMPARE(TransferFixture::openDescriptors(), fds);
        QCOMPARE(TransferFixture::openFilesBeneath(fx.root()), 0);
        fx.advance(30000);
        QVERIFY(fx.silent());
    }

    void repeatedRequestCancelsTheRunningTransfer() {
        TransferFixture fx;
        const int fds = TransferFixture::openDescriptors();
        fx.sendRequest(2, "f.bin");
        fx.receive();
        const quint16 firstPort = fx.transferPort();
        QVERIFY(sendFile(fx, pattern(2000), 1));
        fx.newClientPort();
        fx.sendRequest(2, "f.bin");
        // No ERROR for the cancelled one: the next datagram is the new transfer's first ACK.
        QCOMPARE(fx.receive(), ackOf(0));
        QVERIFY(fx.transferPort() != firstPort);
        QVERIFY(fx.silent());
        // Only the new transfer holds the file and a socket.
        QCOMPARE(TransferFixture::openFilesBeneath(fx.root()), 1);
        QCOMPARE(TransferFixture::openDescriptors(), fds + 2);
        const QString cancelled =
            QStringLiteral("Timeout error receiving f.bin from  (127.0.0.1), 0 bytes");
        QCOMPARE(fx.listLines(), (QStringList{cancelled, "Receiving f.bin from  (127.0.0.1)"}));
        QCOMPARE(fx.listTags(), (QList<qint32>{1, 2}));
        QCOMPARE(fx.logLines(), (QStringList{"Receiving f.bin from  (127.0.0.1)", cancelled,
                                             "Receiving f.bin from  (127.0.0.1)"}));
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 true"});
        // The new transfer replaced the partial file and finishes on its own.
        QCOMPARE(fx.readFile("f.bin"), QByteArray());
        QVERIFY(sendFile(fx, "new"));
        QCOMPARE(fx.readFile("f.bin"), QByteArray("new"));
        QCOMPARE(fx.events.size(), 2);
        fx.advance(6500);
        QCOMPARE(TransferFixture::openDescriptors(), fds);
        QCOMPARE(TransferFixture::openFilesBeneath(fx.root()), 0);
    }

    void cancelWhileStartingTakesNoFurtherStep() {
        TransferFixture fx;
        // Both requests are queued before the server runs: the second dispatch comes while the
        // first transfer yields before its first line, and cancels it there.
        fx.client.writeDatagram(TransferFixture::request(2, "f.bin"), QHostAddress::LocalHost,
                                fx.serverPort);
        fx.newClientPort();
        fx.client.writeDatagram(TransferFixture::request(2, "f.bin"), QHostAddress::LocalHost,
                                fx.serverPort);
        TransferFixture::settle();
        QCOMPARE(fx.receive(), ackOf(0));
        QVERIFY(fx.silent());
        QCOMPARE(fx.listLines(), QStringList{"Receiving f.bin from  (127.0.0.1)"});
        QCOMPARE(fx.listTags(), QList<qint32>{2});
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 true"});
        QVERIFY(sendFile(fx, "x"));
        QCOMPARE(fx.events.size(), 2);
    }

    void lastBlockTwiceEndsOnce() {
        TransferFixture fx;
        fx.sendRequest(2, "f.bin");
        fx.receive();
        // The second copy arrives while the first one's ACK waits in its yield.
        fx.client.writeDatagram(TransferFixture::data(1, "end"), QHostAddress::LocalHost,
                                fx.lastPort);
        fx.client.writeDatagram(TransferFixture::data(1, "end"), QHostAddress::LocalHost,
                                fx.lastPort);
        TransferFixture::settle();
        QCOMPARE(fx.receive(), ackOf(1));
        // A copy that comes after the end is a repeat of the final DATA: the port answers it.
        bool again = false;
        const QByteArray second = fx.receive(&again, 100);
        QVERIFY(!again || second == ackOf(1));
        QVERIFY(fx.silent());
        QCOMPARE(fx.events, QStringList{"ReceiveComplete f.bin 127.0.0.1 false"});
        QCOMPARE(fx.logLines().size(), 2);
        QCOMPARE(fx.readFile("f.bin"), QByteArray("end"));
    }

    void progressLinesAreRateLimited() {
        TransferFixture fx;
        const QByteArray content = pattern(512 * 200);
        fx.sendRequest(2, "p.bin");
        fx.receive();
        QStringList seen{fx.listLines().first()};
        for (int block = 1; block <= 160; ++block) {
            if (block == 103) {
                fx.advance(150);
            }
            QCOMPARE(answer(fx, TransferFixture::data(block, content.mid((block - 1) * 512, 512))),
                     ackOf(block));
            if (seen.last() != fx.listLines().first()) {
                seen << fx.listLines().first();
            }
        }
        // The 51st block gives a line, the 102nd comes within 0.1 s and does not, the 153rd does.
        QCOMPARE(seen, (QStringList{"Receiving p.bin from  (127.0.0.1)",
                                    "Receiving p.bin from  (127.0.0.1), 26112 bytes",
                                    "Receiving p.bin from  (127.0.0.1), 78336 bytes"}));
    }

    void progressGoesOnPastMidnight() {
        TransferFixture fx;
        fx.time.reset();
        fx.time = std::make_unique<platform::VirtualTime>(
            QDateTime(QDate(2026, 1, 5), QTime(23, 59, 59, 950)));
        const QByteArray content = pattern(512 * 110);
        fx.sendRequest(2, "p.bin");
        fx.receive();
        for (int block = 1; block <= 102; ++block) {
            if (block == 52) {
                fx.advance(200); // 00:00:00.150 on the next day
            }
            QCOMPARE(answer(fx, TransferFixture::data(block, content.mid((block - 1) * 512, 512))),
                     ackOf(block));
        }
        QCOMPARE(fx.listLines(), QStringList{"Receiving p.bin from  (127.0.0.1), 52224 bytes"});
    }

    void shutdownReleasesEverythingWithoutReports() {
        TransferFixture fx;
        const int fds = TransferFixture::openDescriptors();
        fx.sendRequest(2, "f.bin");
        fx.receive();
        QVERIFY(sendFile(fx, pattern(2000), 2));
        TFTPServer().ExitSelection_Click();
        TransferFixture::settle();
        // Counted before anything reaches the main window again, which would load it anew: the
        // listening socket went too.
        QCOMPARE(TransferFixture::openDescriptors(), fds - 1);
        QCOMPARE(TransferFixture::openFilesBeneath(fx.root()), 0);
        QVERIFY(fx.events.isEmpty());
        QCOMPARE(fx.listLines(), QStringList{"Receiving f.bin from  (127.0.0.1)"});
        QCOMPARE(fx.logLines(), QStringList{"Receiving f.bin from  (127.0.0.1)"});
        // The part received so far stays.
        QVERIFY(fx.readFile("f.bin") == pattern(2000).left(1024));
    }

    // The port a finished upload keeps for its final ACK goes with the main window too.
    void shutdownClosesAKeptPort() {
        TransferFixture fx;
        const int fds = TransferFixture::openDescriptors();
        fx.sendRequest(2, "f.bin");
        fx.receive();
        QVERIFY(sendFile(fx, "abc"));
        TFTPServer().ExitSelection_Click();
        TransferFixture::settle();
        QCOMPARE(TransferFixture::openDescriptors(), fds - 1);
        fx.sendToTransfer(TransferFixture::data(1, "abc"));
        QVERIFY(fx.silent());
    }
};

QTEST_GUILESS_MAIN(TestReceiveForm)
#include "tst_receive_form.moc"
