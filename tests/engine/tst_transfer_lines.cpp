// What transfers put into the transfer list and the log file: whose line an update reaches once
// the numbers have started again, how a client's name reads there, and a request that comes when
// the server is short of descriptors.
#include "engine/globals.h"
#include "platform/dns_control.h"
#include "transfer_fixture.h"

#include <QFile>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The log file as the disk holds it.
QByteArray logBytes() {
    QFile f(Globals::LogFile);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Creates a file in the root under exactly these name bytes.
bool writeRawName(const TransferFixture& fx, const QByteArray& name, const QByteArray& content) {
    const QByteArray path = fx.root().toUtf8() + '/' + name;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    return ok;
}

// Holds the soft descriptor limit at `spare` above what is open now, until it goes.
class ShortOfDescriptors {
public:
    explicit ShortOfDescriptors(int spare) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = rlim_t(TransferFixture::openDescriptors() + spare);
        ::setrlimit(RLIMIT_NOFILE, &low);
    }
    ~ShortOfDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
};

} // namespace

class TestTransferLines : public QObject {
    Q_OBJECT
private slots:
    // After 20001 the numbers start again at 1, and the list may still hold a line of an
    // earlier transfer 1: the newest line takes the number, the older one keeps its text.
    void updatesReachTheNewestLineOfANumber() {
        TransferFixture fx;
        fx.writeFile("old.bin", QByteArray(100, 'o'));
        fx.writeFile("new.bin", QByteArray(1300, 'n'));
        TFTPServer().TransferCounter = 20001;
        fx.sendRequest(1, "old.bin");
        fx.fetchRest(fx.receive());
        const QString oldLine = QStringLiteral("Sent old.bin to  (127.0.0.1), 100 bytes");
        QCOMPARE(fx.listLines(), QStringList{oldLine});
        QCOMPARE(fx.listTags(), QList<qint32>{1});

        TFTPServer().TransferCounter = 20001;
        fx.sendRequest(1, "new.bin");
        QCOMPARE(fx.listTags(), (QList<qint32>{0, 1}));
        QCOMPARE(fx.fetchRest(fx.receive()), QByteArray(1300, 'n'));
        QCOMPARE(
            fx.listLines(),
            (QStringList{oldLine, QStringLiteral("Sent new.bin to  (127.0.0.1), 1300 bytes")}));
        QCOMPARE(fx.listTags(), (QList<qint32>{0, 1}));
    }

    // Clearing the list forgets where every number's line was: a transfer that takes a number
    // again after the clear and the numbers' new start gets its updates on its own line, and
    // the line now at the old line's place keeps its own number.
    void updatesFindTheirLineAfterClearAndWrap() {
        TransferFixture fx;
        fx.writeFile("a.bin", QByteArray(10, 'a'));
        fx.writeFile("b.bin", QByteArray(20, 'b'));
        fx.writeFile("c.bin", QByteArray(30, 'c'));
        fx.sendRequest(1, "missing.bin");
        fx.receive();
        TFTPServer().TransferCounter = 20001;
        fx.sendRequest(1, "a.bin"); // number 1, second line
        fx.fetchRest(fx.receive());
        QCOMPARE(fx.listTags(), (QList<qint32>{0, 1}));

        TFTPServer().Log->Clear();
        fx.sendRequest(1, "missing.bin");
        fx.receive();
        fx.sendRequest(1, "b.bin"); // number 3, second line again, left running
        fx.receive();
        fx.sendRequest(1, "gone.bin");
        fx.receive();
        TFTPServer().TransferCounter = 20001;
        fx.sendRequest(1, "c.bin"); // number 1 once more, fourth line
        QCOMPARE(fx.listTags(), (QList<qint32>{0, 3, 0, 1}));
        QCOMPARE(fx.fetchRest(fx.receive()), QByteArray(30, 'c'));
        const QString missing = QStringLiteral(
            "TFTP Error from 127.0.0.1 requesting missing.bin : File does not exist");
        QCOMPARE(fx.listLines(),
                 (QStringList{missing, QStringLiteral("Sending b.bin to  (127.0.0.1)"),
                              QStringLiteral("TFTP Error from 127.0.0.1 requesting gone.bin : "
                                             "File does not exist"),
                              QStringLiteral("Sent c.bin to  (127.0.0.1), 30 bytes")}));
    }

    // The log file gets the name's bytes as the client sent them, the list shows them decoded as
    // UTF-8; controls (C0, DEL, C1) and bytes that are not UTF-8 read \xHH in both. The start line
    // goes to the end of the list, the final one rewrites it, a refusal adds a line of its own.
    void clientNamesInTheListAndTheLogFile_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("listed");
        QTest::addColumn<QByteArray>("logged");
        QTest::newRow("UTF-8") << QByteArray("caf\xC3\xA9.bin") << QStringLiteral("caf\u00E9.bin")
                               << QByteArray("caf\xC3\xA9.bin");
        QTest::newRow("four-byte UTF-8")
            << QByteArray("\xF0\x9F\x98\x80.img") << QStringLiteral("\U0001F600.img")
            << QByteArray("\xF0\x9F\x98\x80.img");
        QTest::newRow("C1 control NEL") << QByteArray("a\xC2\x85"
                                                      "b")
                                        << QStringLiteral("a\\x85b") << QByteArray("a\\x85b");
        QTest::newRow("C0 control and DEL")
            << QByteArray("a\x1B[2J\x7F") << QStringLiteral("a\\x1B[2J\\x7F")
            << QByteArray("a\\x1B[2J\\x7F");
        QTest::newRow("Latin-1, not UTF-8")
            << QByteArray("caf\xE9.bin") << QStringLiteral("caf\\xE9.bin")
            << QByteArray("caf\\xE9.bin");
        QTest::newRow("cut-off sequence, overlong, surrogate")
            << QByteArray("\xE2\x82-\xC0\xAF-\xED\xA0\x80")
            << QStringLiteral("\\xE2\\x82-\\xC0\\xAF-\\xED\\xA0\\x80")
            << QByteArray("\\xE2\\x82-\\xC0\\xAF-\\xED\\xA0\\x80");
    }
    void clientNamesInTheListAndTheLogFile() {
        QFETCH(QByteArray, name);
        QFETCH(QString, listed);
        QFETCH(QByteArray, logged);
        TransferFixture fx;
        QVERIFY(writeRawName(fx, name, "12345"));
        fx.sendRequest(1, name);
        QCOMPARE(fx.fetchRest(fx.receive()), QByteArray("12345"));
        fx.sendRequest(1, name + ".missing");

        QCOMPARE(fx.listLines(),
                 (QStringList{QStringLiteral("Sent %1 to  (127.0.0.1), 5 bytes").arg(listed),
                              QStringLiteral("TFTP Error from 127.0.0.1 requesting %1.missing : "
                                             "File does not exist")
                                  .arg(listed)}));
        const QByteArray file = logBytes();
        QVERIFY2(file.contains(" :Sending " + logged + " to  (127.0.0.1)\r\n"), file);
        QVERIFY2(file.contains(" :Sent " + logged + " to  (127.0.0.1), 5 bytes\r\n"), file);
        QVERIFY2(file.contains(" :TFTP Error from 127.0.0.1 requesting " + logged +
                               ".missing : File does not exist\r\n"),
                 file);
        QCOMPARE(file.count('\n'), 3);
    }

    // A host name is text, not a client's bytes: it reads the same in both.
    void hostNamesKeepTheirLetters() {
        TransferFixture fx;
        platform::DnsControl::SetResolverForTests(
            [](const QString&) { return QStringLiteral("b\u00FCro.example"); });
        fx.sendRequest(2, "up.bin");
        fx.receive();
        fx.sendToTransfer(TransferFixture::data(1, "z"));
        QCOMPARE(fx.listLines(),
                 QStringList{QStringLiteral(
                     "Received up.bin from b\u00FCro.example (127.0.0.1), 1 bytes")});
        QVERIFY2(logBytes().contains(
                     " :Received up.bin from b\xC3\xBCro.example (127.0.0.1), 1 bytes\r\n"),
                 logBytes());
    }

    // Short of descriptors, a request gets no transfer: an ERROR from a socket of its own, one
    // line in the list and the log file. The transfer already running goes on, and the server
    // serves again once descriptors are free.
    void aRequestWithoutDescriptorsIsRefused() {
        TransferFixture fx;
        fx.writeFile("running.bin", QByteArray(2000, 'r'));
        fx.writeFile("late.bin", QByteArray(10, 'l'));
        fx.sendRequest(1, "running.bin");
        const QByteArray first = fx.receive();
        QCOMPARE(first.left(4), QByteArray("\0\3\0\1", 4));
        const quint16 running = fx.transferPort();
        {
            const ShortOfDescriptors shortage(8);
            fx.sendRequest(1, "late.bin");
            bool ok = false;
            const QByteArray refusal = fx.receive(&ok);
            QVERIFY(ok);
            QCOMPARE(refusal, QByteArray("\0\5\0\0TFTP Server Error: server has too many open "
                                         "files, try again later\0",
                                         71));
            QVERIFY(fx.transferPort() != running);
            QVERIFY(fx.transferPort() != fx.serverPort);
            fx.lastPort = running;
            QCOMPARE(fx.fetchRest(first), QByteArray(2000, 'r'));
        }
        const QString refused = QStringLiteral(
            "Error: late.bin requested from 127.0.0.1, but server has too many open files");
        QCOMPARE(
            fx.listLines(),
            (QStringList{QStringLiteral("Sent running.bin to  (127.0.0.1), 2000 bytes"), refused}));
        QCOMPARE(fx.listTags(), (QList<qint32>{1, 0}));
        QCOMPARE(fx.logLines().count(refused), 1);
        QVERIFY(fx.events.first().startsWith(QStringLiteral("TransmitComplete running.bin")));
        QCOMPARE(fx.events.size(), 1);

        fx.sendRequest(1, "late.bin");
        QCOMPARE(fx.fetchRest(fx.receive()), QByteArray(10, 'l'));
        QCOMPARE(fx.listLines().last(), QStringLiteral("Sent late.bin to  (127.0.0.1), 10 bytes"));
    }

    // A write request is refused the same way, and creates no file.
    void aWriteWithoutDescriptorsCreatesNothing() {
        TransferFixture fx;
        {
            const ShortOfDescriptors shortage(8);
            fx.sendRequest(2, "up.bin");
            bool ok = false;
            QCOMPARE(fx.receive(&ok).left(4), QByteArray("\0\5\0\0", 4));
        }
        QVERIFY(!QFile::exists(fx.path("up.bin")));
        QCOMPARE(
            fx.listLines(),
            QStringList{QStringLiteral(
                "Error: 127.0.0.1 wants to write up.bin, but server has too many open files")});
    }
};

QTEST_GUILESS_MAIN(TestTransferLines)
#include "tst_transfer_lines.moc"
