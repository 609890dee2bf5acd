// Read requests end to end against the engine: a real client socket over loopback, virtual time.
#include "engine/globals.h"
#include "engine/ip_range.h"
#include "engine/transmit_form.h"
#include "platform/win_file.h"
#include "transfer_fixture.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QtTest>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray pattern(int size) {
    QByteArray b(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        b[i] = char((i * 7 + i / 512) & 0xFF);
    }
    return b;
}

int errorCode(const QByteArray& p) {
    return quint8(p[2]) * 256 + quint8(p[3]);
}
QString errorText(const QByteArray& p) {
    return QString::fromLatin1(p.mid(4).chopped(1));
}
int blockOf(const QByteArray& p) {
    return quint8(p[2]) * 256 + quint8(p[3]);
}

} // namespace

class TestTransmitForm : public QObject {
    Q_OBJECT
private slots:
    void sendsBlocksOfTheFile_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<int>>("packetSizes");
        QTest::newRow("empty") << 0 << QList<int>{4};
        QTest::newRow("512") << 512 << QList<int>{516, 4};
        QTest::newRow("1000") << 1000 << QList<int>{516, 492};
        QTest::newRow("1024") << 1024 << QList<int>{516, 516, 4};
    }
    void sendsBlocksOfTheFile() {
        QFETCH(int, size);
        QFETCH(QList<int>, packetSizes);
        TransferFixture fx;
        const QByteArray content = pattern(size);
        fx.writeFile("boot.bin", content);
        fx.sendRequest(1, "boot.bin");
        QList<int> sizes;
        QByteArray got;
        for (int block = 1;; ++block) {
            bool ok = false;
            const QByteArray p = fx.receive(&ok);
            QVERIFY(ok);
            QCOMPARE(p.left(2), QByteArray("\0\3", 2));
            QCOMPARE(blockOf(p), block);
            sizes << int(p.size());
            got += p.mid(4);
            fx.ack(block);
            if (p.size() < 516) {
                break;
            }
        }
        QCOMPARE(sizes, packetSizes);
        QCOMPARE(got, content);
        QVERIFY(fx.silent());
        const QString sent = QStringLiteral("Sent boot.bin to  (127.0.0.1), %1 bytes").arg(size);
        QCOMPARE(fx.listLines(), QStringList{sent});
        QCOMPARE(fx.listTags(), QList<qint32>{1});
        QCOMPARE(fx.logLines(), (QStringList{"Sending boot.bin to  (127.0.0.1)", sent}));
        QCOMPARE(fx.events, QStringList{"TransmitComplete boot.bin 127.0.0.1 false"});
    }

    void largestFileIsServedAndOneByteMoreRefused() {
        TransferFixture fx;
        const QByteArray content = pattern(int(TransmitForm::kMaxFileSize));
        fx.writeFile("max.img", content);
        fx.sendRequest(1, "max.img");
        int blocks = 0;
        const QByteArray got = fx.fetchRest(fx.receive(), &blocks);
        QCOMPARE(blocks, 65026);
        QVERIFY(got == content);
        QCOMPARE(fx.events, QStringList{"TransmitComplete max.img 127.0.0.1 false"});

        QFile big(fx.path("big.img"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(qint64(TransmitForm::kMaxFileSize) + 1));
        big.close();
        QFile huge(fx.path("huge.img"));
        QVERIFY(huge.open(QIODevice::WriteOnly));
        QVERIFY(huge.resize(qint64(5) << 30)); // sparse, 5 GiB
        huge.close();
        for (const QByteArray name : {"big.img", "huge.img"}) {
            fx.sendRequest(1, name);
            const QByteArray p = fx.receive();
            QCOMPARE(errorCode(p), 1);
            QCOMPARE(errorText(p), QStringLiteral("TFTP Error: File too large for TFTP Protocol"));
        }
        QCOMPARE(
            fx.listLines().last(),
            QStringLiteral("TFTP Error from 127.0.0.1 requesting huge.img : File too large for "
                           "TFTP Protocol"));
    }

    void refusals_data() {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("listLine");
        QTest::addColumn<QString>("fileLine");
        const QString from = QStringLiteral(" from 127.0.0.1");
        QTest::newRow("receive only")
            << "receiveOnly" << QByteArray("/a.bin") << 2
            << "TFTP Server Error: server is configured for receive only"
            << "Error: /a.bin requested from 127.0.0.1, but server is configured for Receive Only"
            << "Error: /a.bin requested from 127.0.0.1, but server is configured for Receive Only";
        QTest::newRow("colon") << "" << QByteArray("/c:/a.bin") << 2
                               << "TFTP Server Error: Invalid access to /c:/a.bin"
                               << "Invalid access to /c:/a.bin" + from
                               << "TFTP Server Error: Invalid access to /c:/a.bin" + from;
        QTest::newRow("outside ranges")
            << "ranges" << QByteArray("./a.bin") << 2
            << "TFTP Server Error: Invalid access to a.bin"
            << "Error: a.bin requested from 127.0.0.1, but client IP address (127.0.0.1) is "
               "outside security address range."
            << "Error: a.bin requested from 127.0.0.1, but client IP address (127.0.0.1) is "
               "outside security address range.";
        QTest::newRow("no such file")
            << "" << QByteArray("nothere.bin") << 1 << "TFTP Error: File does not exist"
            << "TFTP Error from 127.0.0.1 requesting nothere.bin : File does not exist"
            << "TFTP Error from 127.0.0.1 requesting nothere.bin : File does not exist";
        QTest::newRow("hidden file")
            << "" << QByteArray("sub/.hidden") << 1 << "TFTP Error: File does not exist"
            << "TFTP Error from 127.0.0.1 requesting sub/.hidden : File "
               "does not exist"
            << "TFTP Error from 127.0.0.1 requesting sub/.hidden : File "
               "does not exist";
        QTest::newRow("directory")
            << "" << QByteArray("sub") << 1 << "TFTP Error: File does not exist"
            << "TFTP Error from 127.0.0.1 requesting sub : File does not exist"
            << "TFTP Error from 127.0.0.1 requesting sub : File does not exist";
        QTest::newRow("fifo") << "" << QByteArray("pipe") << 1 << "TFTP Error: File does not exist"
                              << "TFTP Error from 127.0.0.1 requesting pipe : File does not exist"
                              << "TFTP Error from 127.0.0.1 requesting pipe : File does not exist";
        QTest::newRow("wildcard without match")
            << "" << QByteArray("*.zzz") << 1 << "TFTP Error: File does not exist"
            << "TFTP Error from 127.0.0.1 requesting *.zzz : File does not exist"
            << "TFTP Error from 127.0.0.1 requesting *.zzz : File does not exist";
        QTest::newRow("wildcard with match")
            << "" << QByteArray("sub/*.bin") << 2 << "TFTP Error: File Open Error 123"
            << "TFTP Error from 127.0.0.1 requesting sub/*.bin : File Open Error 123"
            << "TFTP Error from 127.0.0.1 requesting sub/*.bin : File Open Error 123";
        QTest::newRow("name of dots only")
            << "" << QByteArray("./.") << 2 << "TFTP Error: File Open Error 5"
            << "TFTP Error from 127.0.0.1 requesting  : File Open "
               "Error 5"
            << "TFTP Error from 127.0.0.1 requesting  : File Open "
               "Error 5";
        QTest::newRow("held by a writer")
            << "writer" << QByteArray("a.bin") << 2 << "TFTP Error: Sharing Violation"
            << "TFTP Error from 127.0.0.1 requesting a.bin : Sharing Violation"
            << "TFTP Error from 127.0.0.1 requesting a.bin : Sharing Violation";
        const QString outside = QStringLiteral(" (outside the root directory)");
        QTest::newRow("parent step")
            << "" << QByteArray("x/....//....//....//etc/passwd") << 2
            << "TFTP Server Error: Invalid access to x/../../../etc/passwd"
            << "Invalid access to x/../../../etc/passwd" + from + outside
            << "TFTP Server Error: Invalid access to x/../../../etc/passwd" + from + outside;
        QTest::newRow("link leading out")
            << "" << QByteArray("out/secret") << 2
            << "TFTP Server Error: Invalid access to out/secret"
            << "Invalid access to out/secret" + from + outside
            << "TFTP Server Error: Invalid access to out/secret" + from + outside;
    }
    void refusals() {
        QFETCH(QString, setup);
        QFETCH(QByteArray, name);
        QFETCH(int, code);
        QFETCH(QString, error);
        QFETCH(QString, listLine);
        QFETCH(QString, fileLine);
        TransferFixture fx;
        QTemporaryDir outside;
        QFile secret(outside.filePath("secret"));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("outside");
        secret.close();
        QVERIFY(QFile::link(outside.path(), fx.path("out")));
        fx.writeFile("a.bin", "data");
        fx.writeFile("sub/x.bin", "data");
        fx.writeFile("sub/.hidden", "data");
        QVERIFY(::mkfifo(fx.path("pipe").toLocal8Bit().constData(), 0644) == 0);
        platform::HANDLE writer = fx.arrange(setup);
        QVERIFY(writer != platform::INVALID_HANDLE_VALUE);
        const int fds = TransferFixture::openDescriptors();
        fx.sendRequest(1, name);
        bool ok = false;
        const QByteArray p = fx.receive(&ok);
        QVERIFY(ok);
        QCOMPARE(p.left(2), QByteArray("\0\5", 2));
        QCOMPARE(errorCode(p), code);
        QCOMPARE(errorText(p), error);
        QVERIFY(p.endsWith('\0'));
        QCOMPARE(fx.listLines(), QStringList{listLine});
        QCOMPARE(fx.listTags(), QList<qint32>{0});
        QCOMPARE(fx.logLines(), QStringList{fileLine});
        QVERIFY(fx.events.isEmpty());
        QVERIFY(fx.silent());
        QCOMPARE(TransferFixture::openDescriptors(), fds);
        if (writer) {
            platform::CloseHandle(writer);
        }
    }

    void resendsThenTimesOutAt26Seconds() {
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(2000));
        const int fds = TransferFixture::openDescriptors();
        fx.sendRequest(1, "f.bin");
        QCOMPARE(blockOf(fx.receive()), 1);
        fx.ack(1);
        const QByteArray block2 = fx.receive();
        QCOMPARE(blockOf(block2), 2);
        for (int resend = 0; resend < 3; ++resend) {
            fx.advance(6499);
            QVERIFY(fx.silent(10));
            fx.advance(1);
            QCOMPARE(fx.receive(), block2);
        }
        fx.advance(6500);
        const QByteArray err = fx.receive();
        QCOMPARE(errorCode(err), 0);
        QCOMPARE(errorText(err),
                 QStringLiteral("Quorvane TFTP Server is running, but times out waiting for YOU "
                                "to ACK data."));
        const QString line =
            QStringLiteral("Timeout error sending f.bin from  (127.0.0.1), 512 bytes");
        QCOMPARE(fx.listLines(), QStringList{line});
        QCOMPARE(fx.logLines().last(), line);
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 true"});
        QCOMPARE(TransferFixture::openDescriptors(), fds);
        fx.advance(30000);
        QVERIFY(fx.silent());
    }

    // The short last block may be lost like any other: it goes again on the retry timer and on
    // an ACK of the block before it, and only its own ACK ends the transfer as sent.
    void lostLastBlockIsSentAgain() {
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(700));
        fx.sendRequest(1, "f.bin");
        fx.receive();
        fx.ack(1);
        const QByteArray last = fx.receive();
        QCOMPARE(last.size(), 192);
        fx.advance(6500);
        QCOMPARE(fx.receive(), last);
        // An older ACK within a second of the last copy gets nothing; one later gets a copy.
        fx.ack(1);
        QVERIFY(fx.silent());
        fx.advance(1000);
        fx.ack(1);
        QCOMPARE(fx.receive(), last);
        // The older ACK is no sign of life: the timer still runs from the first block's ACK, so
        // a client that repeats its ACK often cannot keep it from sending again.
        fx.advance(5500);
        QCOMPARE(fx.receive(), last);
        // A datagram of 1 to 3 bytes is a sign of life only; an ACK of a block never sent is
        // no word on the last one.
        fx.sendToTransfer("xy");
        fx.ack(7);
        QVERIFY(fx.silent());
        QVERIFY(fx.events.isEmpty());
        QCOMPARE(fx.listLines(), QStringList{"Sending f.bin to  (127.0.0.1)"});
        fx.ack(2);
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 false"});
        QCOMPARE(fx.listLines(), QStringList{"Sent f.bin to  (127.0.0.1), 700 bytes"});
    }

    void unacknowledgedLastBlockTimesOut() {
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(700));
        fx.sendRequest(1, "f.bin");
        fx.receive();
        fx.ack(1);
        const QByteArray last = fx.receive();
        for (int resend = 0; resend < 3; ++resend) {
            fx.advance(6500);
            QCOMPARE(fx.receive(), last);
        }
        fx.advance(6500);
        QCOMPARE(errorCode(fx.receive()), 0);
        const QString line =
            QStringLiteral("Timeout error sending f.bin from  (127.0.0.1), 512 bytes");
        QCOMPARE(fx.listLines(), QStringList{line});
        QCOMPARE(fx.logLines().last(), line);
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 true"});
    }

    // The transfer's own line keeps its tag and its texts; each failed log-file write adds an
    // untagged line of its own after it.
    void unwritableLogFileLeavesTheTransferItsOwnLine() {
        TransferFixture fx;
        Globals::LogFile = fx.work.filePath(QStringLiteral("missing/transfers.log"));
        fx.writeFile("f.bin", pattern(700));
        fx.sendRequest(1, "f.bin");
        QCOMPARE(fx.fetchRest(fx.receive()), pattern(700));
        const QString failed = QStringLiteral("Error writing to log file (") + Globals::LogFile +
                               QStringLiteral(") ERROR->") +
                               QString::fromLocal8Bit(strerror(ENOENT));
        QCOMPARE(fx.listLines(),
                 (QStringList{"Sent f.bin to  (127.0.0.1), 700 bytes", failed, failed}));
        QCOMPARE(fx.listTags(), (QList<qint32>{1, 0, 0}));
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 false"});
    }

    // A client that acknowledges every DATA it gets ten times, the copies included: each
    // block may go once more for the older ACKs, not once per copy, and the count in the line
    // is what the client acknowledged.
    void duplicatedAcksDoNotMultiplyBlocks() {
        TransferFixture fx;
        const int size = 40 * 512 + 220;
        fx.writeFile("f.bin", pattern(size));
        fx.sendRequest(1, "f.bin");
        QByteArray got;
        int expected = 1;
        int packets = 0;
        for (bool ok = true; ok;) {
            const QByteArray p = fx.receive(&ok, expected > 41 ? 100 : 2000);
            if (!ok) {
                break;
            }
            ++packets;
            QCOMPARE(p.left(2), QByteArray("\0\3", 2));
            const int block = blockOf(p);
            if (block == expected) {
                got += p.mid(4);
                ++expected;
            }
            for (int copy = 0; copy < 10; ++copy) {
                fx.client.writeDatagram(QByteArray("\0\4", 2) + p.mid(2, 2),
                                        QHostAddress::LocalHost, fx.lastPort);
            }
        }
        QCOMPARE(expected, 42);
        QVERIFY(got == pattern(size));
        QVERIFY2(packets <= 2 * 41, qPrintable(QString::number(packets)));
        QCOMPARE(fx.listLines(),
                 QStringList{QStringLiteral("Sent f.bin to  (127.0.0.1), %1 bytes").arg(size)});
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 false"});
    }

    // Re-sends on an older ACK are bounded by time, not by block: a copy at most once a second,
    // a send still waiting in its yield counts as none, and a lost copy is repaired by the
    // client's next retry a second later instead of by the retry timer.
    void olderAcksResendOnceASecond() {
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(5000));
        fx.sendRequest(1, "f.bin");
        QCOMPARE(blockOf(fx.receive()), 1);
        // The ACK of block 1 and a copy of it arrive together: the copy merges into the send of
        // block 2 that waits in its yield, so no extra copy leaves...
        fx.client.writeDatagram(QByteArray("\0\4\0\1", 4), QHostAddress::LocalHost, fx.lastPort);
        fx.client.writeDatagram(QByteArray("\0\4\0\1", 4), QHostAddress::LocalHost, fx.lastPort);
        TransferFixture::settle();
        const QByteArray block2 = fx.receive();
        QCOMPARE(blockOf(block2), 2);
        QVERIFY(fx.silent());
        // ... and block 2 is lost: the client's retry a second later brings it at once.
        fx.advance(1000);
        fx.ack(1);
        QCOMPARE(fx.receive(), block2);
        // That copy is lost too: the next retry a second later repairs it again.
        for (int copy = 0; copy < 10; ++copy) {
            fx.ack(1);
        }
        QVERIFY(fx.silent());
        fx.advance(1000);
        fx.ack(1);
        QCOMPARE(fx.receive(), block2);
        QVERIFY(fx.silent());
        fx.ack(2);
        QCOMPARE(blockOf(fx.receive()), 3);
    }

    // A client that answers each of our retries with an ERROR (as one does for a transfer it no
    // longer knows) does not keep the transfer alive: it times out 26 s after the last ACK.
    void clientErrorsAreNoSignOfLife() {
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(2000));
        fx.sendRequest(1, "f.bin");
        fx.receive();
        fx.ack(1);
        const QByteArray block2 = fx.receive();
        for (int resend = 0; resend < 3; ++resend) {
            fx.advance(6500);
            QCOMPARE(fx.receive(), block2);
            fx.sendToTransfer(QByteArray("\0\5\0\5Unknown transfer ID\0", 24));
        }
        fx.advance(6500);
        QCOMPARE(errorCode(fx.receive()), 0);
        QCOMPARE(fx.listLines(),
                 QStringList{"Timeout error sending f.bin from  (127.0.0.1), 512 bytes"});
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 true"});
    }

    // A copy of the request from the client's own port is the same request: until the client
    // has acknowledged anything, our first block may have been lost, and it goes again at once
    // (once a second at most); after that the copy changes nothing.
    void repeatedRequestFromTheSamePortIsTheSameTransfer() {
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(1500));
        fx.sendRequest(1, "f.bin");
        const QByteArray block1 = fx.receive();
        const quint16 port = fx.transferPort();
        fx.sendRequest(1, "f.bin");
        QVERIFY(fx.silent());
        fx.advance(1000);
        fx.sendRequest(1, "f.bin");
        QCOMPARE(fx.receive(), block1);
        QCOMPARE(fx.transferPort(), port);
        fx.ack(1);
        const QByteArray block2 = fx.receive();
        QCOMPARE(blockOf(block2), 2);
        fx.advance(1000);
        fx.sendRequest(1, "f.bin");
        QVERIFY(fx.silent());
        QCOMPARE(fx.listLines(), QStringList{"Sending f.bin to  (127.0.0.1)"});
        QCOMPARE(fx.listTags(), QList<qint32>{1});
        QVERIFY(fx.events.isEmpty());
        QVERIFY(fx.fetchRest(block2) == pattern(1500).mid(512));
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 false"});
    }

    // A client asking for the same file again right away: the old read's final ACK already
    // waits on its socket when the new request comes, and the old read ends as sent, not as
    // cancelled.
    void finalAckWaitingWhenTheFileIsAskedForAgain() {
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(700));
        fx.sendRequest(1, "f.bin");
        fx.receive();
        fx.ack(1);
        const QByteArray last = fx.receive();
        QCOMPARE(last.size(), 192);
        // The ACK, then the new request from the client's next run, both before the server runs.
        fx.client.writeDatagram(QByteArray("\0\4\0\2", 4), QHostAddress::LocalHost, fx.lastPort);
        fx.newClientPort();
        fx.client.writeDatagram(TransferFixture::request(1, "f.bin"), QHostAddress::LocalHost,
                                fx.serverPort);
        TransferFixture::settle();
        QCOMPARE(blockOf(fx.receive()), 1);
        QCOMPARE(fx.listLines(), (QStringList{"Sent f.bin to  (127.0.0.1), 700 bytes",
                                              "Sending f.bin to  (127.0.0.1)"}));
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 false"});
    }

    // What the client's ACK may look like: longer than 4 bytes, any first byte.
    void ackShapesAreTaken_data() {
        QTest::addColumn<QByteArray>("ack");
        QTest::newRow("six bytes") << QByteArray("\0\4\0\1xy", 6);
        QTest::newRow("first byte not 0") << QByteArray("\xff\4\0\1", 4);
    }
    void ackShapesAreTaken() {
        QFETCH(QByteArray, ack);
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(600));
        fx.sendRequest(1, "f.bin");
        fx.receive();
        fx.sendToTransfer(ack);
        QCOMPARE(blockOf(fx.receive()), 2);
    }

    // Anyone but the client, writing to the transfer's port, gets ERROR 5 (an ERROR of theirs
    // gets nothing) and changes nothing: no block moves on, and the time-out keeps its time.
    void strangerChangesNothing_data() {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("answered");
        QTest::newRow("ACK") << QByteArray("\0\4\0\1", 4) << true;
        QTest::newRow("DATA") << QByteArray("\0\3\0\1abc", 7) << true;
        QTest::newRow("ERROR") << QByteArray("\0\5\0\0bye\0", 8) << false;
    }
    void strangerChangesNothing() {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, answered);
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(1500));
        fx.sendRequest(1, "f.bin");
        const QByteArray block1 = fx.receive();
        for (int resend = 0; resend < 3; ++resend) {
            fx.advance(6500);
            QCOMPARE(fx.receive(), block1);
        }
        QUdpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress::LocalHost, 0));
        stranger.writeDatagram(datagram, QHostAddress::LocalHost, fx.transferPort());
        TransferFixture::settle();
        if (answered) {
            QVERIFY(stranger.hasPendingDatagrams());
            const QNetworkDatagram reply = stranger.receiveDatagram();
            QCOMPARE(reply.senderPort(), int(fx.transferPort()));
            QCOMPARE(reply.data(), QByteArray("\0\5\0\5Unknown transfer ID\0", 24));
        }
        QVERIFY(!stranger.hasPendingDatagrams());
        QVERIFY(fx.silent());
        fx.advance(6500);
        QCOMPARE(errorCode(fx.receive()), 0);
        QCOMPARE(fx.listLines(),
                 QStringList{"Timeout error sending f.bin from  (127.0.0.1), 0 bytes"});
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 true"});
    }

    // A block the file cannot give is no short last block: the client hears why, and the
    // transfer ends as failed with what the client acknowledged.
    void readTheDiskRefusesFailsTheTransfer() {
        TransferFixture fx;
        struct Lift {
            ~Lift() { platform::SetReadFailureForTests(-1, 0); }
        } lift;
        platform::SetReadFailureForTests(512, EIO);
        fx.writeFile("f.bin", pattern(1500));
        fx.sendRequest(1, "f.bin");
        QCOMPARE(blockOf(fx.receive()), 1);
        fx.ack(1);
        const QByteArray p = fx.receive();
        const QString reason = QString::fromLocal8Bit(strerror(EIO));
        QCOMPARE(errorCode(p), 0);
        QCOMPARE(errorText(p), reason);
        QVERIFY(fx.silent());
        const QString line =
            QStringLiteral("Error sending f.bin to  (127.0.0.1), 512 bytes : ") + reason;
        QCOMPARE(fx.listLines(), QStringList{line});
        QCOMPARE(fx.logLines(), (QStringList{"Sending f.bin to  (127.0.0.1)", line}));
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 true"});
        QCOMPARE(TransferFixture::openFilesBeneath(fx.root()), 0);
    }

    void ackOf65535EndsTheTransfer() {
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(5000));
        fx.sendRequest(1, "f.bin");
        fx.receive();
        fx.ack(65535);
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 false"});
        QVERIFY(fx.silent());
    }

    void repeatedRequestCancelsTheRunningTransfer() {
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(3000));
        fx.sendRequest(1, "f.bin");
        fx.receive();
        const quint16 firstPort = fx.transferPort();
        fx.ack(1);
        fx.receive();
        fx.newClientPort();
        fx.sendRequest(1, "f.bin");
        QCOMPARE(blockOf(fx.receive()), 1);
        QVERIFY(fx.transferPort() != firstPort);
        QCOMPARE(fx.listLines(),
                 (QStringList{"Timeout error sending f.bin to  (127.0.0.1), 512 bytes",
                              "Sending f.bin to  (127.0.0.1)"}));
        QCOMPARE(fx.listTags(), (QList<qint32>{1, 2}));
        QCOMPARE(fx.logLines().at(1),
                 QStringLiteral("Timeout error sending f.bin to 127.0.0.1, 512 bytes"));
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 true"});
        // A name the transfer strips ("/f.bin" is kept as "f.bin") does not match.
        fx.sendRequest(1, "/f.bin");
        fx.receive();
        QCOMPARE(fx.events.size(), 1);
    }

    void repeatedRequestDuringTheStartYieldCancelsBeforeAnythingIsSent() {
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(100));
        const QByteArray rrq = TransferFixture::request(1, "f.bin");
        fx.client.writeDatagram(rrq, QHostAddress::LocalHost, fx.serverPort);
        fx.newClientPort();
        fx.client.writeDatagram(rrq, QHostAddress::LocalHost, fx.serverPort);
        TransferFixture::settle();
        // The first transfer ended inside its start: it sends nothing and adds no line.
        const QByteArray p = fx.receive();
        QCOMPARE(blockOf(p), 1);
        QVERIFY(fx.silent());
        QCOMPARE(fx.listLines(), QStringList{"Sending f.bin to  (127.0.0.1)"});
        QCOMPARE(fx.listTags(), QList<qint32>{2});
        QCOMPARE(fx.events, QStringList{"TransmitComplete f.bin 127.0.0.1 true"});
    }

    void progressLinesAreRateLimited() {
        TransferFixture fx;
        fx.writeFile("p.bin", pattern(512 * 200));
        fx.sendRequest(1, "p.bin");
        QByteArray p = fx.receive();
        QStringList seen;
        for (int block = 1; block <= 120; ++block) {
            fx.ack(block);
            p = fx.receive();
            if (seen.isEmpty() || seen.last() != fx.listLines().first()) {
                seen << fx.listLines().first();
            }
        }
        // The 51st ACK gives a line; the 102nd comes within 0.1 s of virtual time and does not.
        QCOMPARE(seen, (QStringList{"Sending p.bin to  (127.0.0.1)",
                                    "Sending p.bin to  (127.0.0.1), 25600 bytes (25%)"}));
    }

    void shutdownReleasesEverythingWithoutReports() {
        TransferFixture fx;
        fx.writeFile("f.bin", pattern(3000));
        const int fds = TransferFixture::openDescriptors();
        fx.sendRequest(1, "f.bin");
        fx.receive();
        TFTPServer().ExitSelection_Click();
        TransferFixture::settle();
        QVERIFY(fx.events.isEmpty());
        QCOMPARE(fx.listLines(), QStringList{"Sending f.bin to  (127.0.0.1)"});
        QVERIFY(TransferFixture::openDescriptors() < fds + 1);
    }
};

QTEST_GUILESS_MAIN(TestTransmitForm)
#include "tst_transmit_form.moc"
