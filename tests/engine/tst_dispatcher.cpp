// The dispatcher on the listening socket and the main window's bookkeeping, with real datagrams
// over loopback and a recording stand-in for the transfer objects.
#include "engine/tftp_server_core.h"
#include "engine/transfer_form.h"
#include "platform/timer.h"
#include "platform/yield.h"

#include <QUdpSocket>
#include <QtTest>

namespace {

struct Started {
    QString kind;
    qint16 id;
    QString remoteHost;
    int remotePort;
    QString name;
    int formsLoadedBefore;
};

QList<Started> g_started;
QStringList g_journal;
// When set, a started fake yields and only then records that its start has finished.
bool g_yieldInStart = false;

class FakeTransfer : public TransferForm {
public:
    explicit FakeTransfer(const QString& kind) : TransferForm(kind) {}

    void Cancel() override {
        g_journal << QStringLiteral("cancel %1").arg(ID);
        Unload();
    }
    void Start(QString& F) override {
        Filename = F;
        IP = TFTP->RemoteHost();
        g_started.append({Name(), ID, TFTP->RemoteHost(), TFTP->RemotePort(), F, 0});
        g_journal << QStringLiteral("start %1").arg(ID);
        if (g_yieldInStart) {
            platform::Yield(this, [this] { g_journal << QStringLiteral("resume %1").arg(ID); });
        }
    }
    void AnswerRepeatedRequest() override { g_journal << QStringLiteral("again %1").arg(ID); }
};

QByteArray request(int opcode, const QByteArray& name, const QByteArray& mode = "octet",
                   char first = 0) {
    QByteArray d;
    d.append(first).append(char(opcode)).append(name).append('\0').append(mode).append('\0');
    return d;
}

} // namespace

class TestDispatcher : public QObject {
    Q_OBJECT

    QUdpSocket client;
    quint16 serverPort = 0;

    void send(const QByteArray& datagram) {
        QVERIFY(client.writeDatagram(datagram, QHostAddress::LocalHost, serverPort) ==
                datagram.size());
    }
    // Waits until the server has taken every datagram sent so far.
    void settle() {
        for (int i = 0; i < 20; ++i) {
            QTest::qWait(5);
            platform::VirtualTime::Settle();
        }
    }

private slots:
    void initTestCase() {
        RegisterTransferKind(kTransmitFormName, [] { return new FakeTransfer(kTransmitFormName); });
        RegisterTransferKind(kReceiveFormName, [] { return new FakeTransfer(kReceiveFormName); });
        QVERIFY(client.bind(QHostAddress::LocalHost, 0));
    }

    void init() {
        g_started.clear();
        g_journal.clear();
        g_yieldInStart = false;
        TFTPServerCore::ListenPort = 0;
        serverPort = quint16(TFTPServer().TFTP->LocalPort());
        QVERIFY(serverPort != 0);
    }

    void cleanup() {
        TFTPServer().ExitSelection_Click();
        ResetTFTPServer();
        settle();
        // The listening socket never answers.
        QVERIFY(!client.hasPendingDatagrams());
    }

    void datagramsThatAreNoRequestAreDropped_data() {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QString>("name"); // empty column value: dropped
        QTest::addColumn<QString>("kind");
        QTest::newRow("three bytes") << QByteArray("\0\1x", 3) << QString() << QString();
        QTest::newRow("nothing after the zero")
            << QByteArray("\0\1x\0", 4) << QString() << QString();
        QTest::newRow("no zero after the name")
            << QByteArray("\0\1abc", 5) << QString() << QString();
        QTest::newRow("DATA opcode") << request(3, "x") << QString() << QString();
        QTest::newRow("ERROR opcode") << request(5, "x") << QString() << QString();
        QTest::newRow("one byte after the zero")
            << QByteArray("\0\1x\0m", 5) << "x" << kTransmitFormName;
        QTest::newRow("any first byte")
            << request(1, "boot.bin", "octet", char(0xFF)) << "boot.bin" << kTransmitFormName;
        QTest::newRow("write request")
            << request(2, "up.txt", "netascii") << "up.txt" << kReceiveFormName;
        QTest::newRow("empty name") << request(1, "") << "" << kTransmitFormName;
        QTest::newRow("options after the mode")
            << request(1, "f", QByteArray("octet\0blksize\0001428", 18)) << "f"
            << kTransmitFormName;
        QTest::newRow("a/../b") << request(1, "a/../b") << "a/b" << kTransmitFormName;
        QTest::newRow("..\\..\\x") << request(2, "..\\..\\x") << "x" << kReceiveFormName;
        QTest::newRow("bytes above 127")
            << request(1, "caf\xE9") << QString::fromLatin1("caf\xE9") << kTransmitFormName;
    }
    void datagramsThatAreNoRequestAreDropped() {
        QFETCH(QByteArray, datagram);
        QFETCH(QString, name);
        QFETCH(QString, kind);
        int starts = 0;
        connect(&TFTPServer(), &TFTPServerCore::TransmitStart, this, [&] { ++starts; });
        connect(&TFTPServer(), &TFTPServerCore::ReceiveStart, this, [&] { ++starts; });
        send(datagram);
        settle();
        if (kind.isEmpty()) {
            QCOMPARE(starts, 0);
            QVERIFY(g_started.isEmpty());
            return;
        }
        QCOMPARE(starts, 1);
        QCOMPARE(g_started.size(), 1);
        const Started& s = g_started.first();
        QCOMPARE(s.kind, kind);
        QCOMPARE(s.name, name);
        QCOMPARE(s.id, qint16(1));
        QCOMPARE(s.remoteHost, QStringLiteral("127.0.0.1"));
        QCOMPARE(s.remotePort, int(client.localPort()));
    }

    // Also when requests wait for a start handler that answers later: the number is checked
    // where it is taken, so none passes 20001 however many waited.
    void counterRunsTo20001ThenStartsAgain_data() {
        QTest::addColumn<bool>("held");
        QTest::newRow("at once") << false;
        QTest::newRow("held by a start handler") << true;
    }
    void counterRunsTo20001ThenStartsAgain() {
        QFETCH(bool, held);
        QList<std::shared_ptr<EventHold>> holds;
        const auto hold = [&] {
            if (held) {
                holds << TFTPServer().HoldEvent();
            }
        };
        connect(&TFTPServer(), &TFTPServerCore::TransmitStart, this, hold);
        connect(&TFTPServer(), &TFTPServerCore::ReceiveStart, this, hold);
        TFTPServer().TransferCounter = 19999;
        for (const char* name : {"a", "b", "c", "d"}) {
            send(request(1, name));
        }
        settle();
        holds.clear();
        settle();
        send(request(2, "e"));
        settle();
        holds.clear();
        settle();
        QList<qint16> ids;
        for (const Started& s : g_started) {
            ids << s.id;
        }
        QCOMPARE(ids, (QList<qint16>{20000, 20001, 1, 2, 3}));
    }

    // A copy of a request (same address, port and bytes) is the client asking again for what it
    // already asked: it starts and cancels nothing, whether the request still waits for its
    // start handler or its transfer runs, and a running transfer hears of it. Other bytes from
    // the same port are a newer request.
    void repeatedCopyOfARequestIsTheSameRequest_data() {
        QTest::addColumn<bool>("held");
        QTest::newRow("no start handler") << false;
        QTest::newRow("start handler answers later") << true;
    }
    void repeatedCopyOfARequestIsTheSameRequest() {
        QFETCH(bool, held);
        std::shared_ptr<EventHold> hold;
        int starts = 0;
        connect(&TFTPServer(), &TFTPServerCore::ReceiveStart, this, [&] {
            if (held && starts++ == 0) {
                hold = TFTPServer().HoldEvent();
            }
        });
        send(request(2, "up.bin"));
        send(request(2, "up.bin"));
        settle();
        // While it waits there is no transfer yet to answer the copy.
        QCOMPARE(g_journal, held ? QStringList{} : (QStringList{"start 1", "again 1"}));
        hold.reset();
        settle();
        send(request(2, "up.bin"));
        send(request(2, "up.bin"));
        settle();
        QCOMPARE(g_journal.count(QStringLiteral("start 1")), 1);
        QCOMPARE(g_journal.count(QStringLiteral("again 1")), held ? 2 : 3);
        QVERIFY(!g_journal.contains(QStringLiteral("cancel 1")));
        // The same name in another mode is another request: it replaces the running one.
        send(request(2, "up.bin", "netascii"));
        settle();
        QCOMPARE(g_journal.mid(g_journal.size() - 2), (QStringList{"cancel 1", "start 2"}));
        // Once the transfer has ended, the same bytes are a new request again.
        TFTPServer().ExitSelection_Click();
        TFTPServer();
        serverPort = quint16(TFTPServer().TFTP->LocalPort());
        send(request(2, "up.bin", "netascii"));
        settle();
        QCOMPARE(g_journal.last(), QStringLiteral("start 3"));
    }

    void startEventComesFirstAndItsChangesCount() {
        connect(&TFTPServer(), &TFTPServerCore::ReceiveStart, this, [](QString& name, QString& ip) {
            g_journal
                << QStringLiteral("event %1 %2 transfers %3").arg(name, ip).arg(g_started.size());
            name = QStringLiteral("renamed.bin");
            ip = QStringLiteral("127.0.0.2");
        });
        send(request(2, "orig.bin"));
        settle();
        QCOMPARE(g_journal.first(), QStringLiteral("event orig.bin 127.0.0.1 transfers 0"));
        QCOMPARE(g_started.size(), 1);
        QCOMPARE(g_started[0].name, QStringLiteral("renamed.bin"));
        QCOMPARE(g_started[0].remoteHost, QStringLiteral("127.0.0.2"));
    }

    void repeatedRequestCancelsEveryMatchingTransfer() {
        auto* a = static_cast<FakeTransfer*>(CreateTransferForm(kTransmitFormName));
        auto* b = static_cast<FakeTransfer*>(CreateTransferForm(kTransmitFormName));
        auto* otherCase = static_cast<FakeTransfer*>(CreateTransferForm(kTransmitFormName));
        auto* otherKind = static_cast<FakeTransfer*>(CreateTransferForm(kReceiveFormName));
        a->ID = 11;
        b->ID = 12;
        otherCase->ID = 13;
        otherKind->ID = 14;
        for (FakeTransfer* f : {a, b, otherCase, otherKind}) {
            f->IP = QStringLiteral("127.0.0.1");
            f->Filename = QStringLiteral("file.bin");
        }
        otherCase->Filename = QStringLiteral("FILE.bin");
        send(request(1, "file.bin"));
        settle();
        QCOMPARE(g_journal, (QStringList{"cancel 11", "cancel 12", "start 1"}));
        QVERIFY(otherCase->IsLoaded());
        QVERIFY(otherKind->IsLoaded());
    }

    void dispatchReenteredWhileEarlierStartIsYielding() {
        g_yieldInStart = true;
        QUdpSocket second;
        QVERIFY(second.bind(QHostAddress::LocalHost, 0));
        send(request(1, "same"));
        second.writeDatagram(request(1, "same"), QHostAddress::LocalHost, serverPort);
        send(request(2, "same"));
        settle();
        // The second request arrived while the first start was yielding: it cancelled it, and
        // the first start's rest never ran.
        QCOMPARE(g_journal, (QStringList{"start 1", "cancel 1", "start 2", "start 3", "resume 2",
                                         "resume 3"}));
    }

    void updateLogRewritesTheTopmostTaggedLine() {
        TransferLog* log = TFTPServer().Log;
        for (qint32 tag : {5, 7, 5, 0}) {
            log->SetItemData(log->AddItem(QStringLiteral("line %1").arg(tag)), tag);
        }
        TFTPServer().UpdateLog(5, QStringLiteral("rewritten"));
        TFTPServer().UpdateLog(9, QStringLiteral("nobody"));
        QStringList lines;
        for (int i = 0; i < log->ListCount(); ++i) {
            lines << log->List(i);
        }
        QCOMPARE(lines, (QStringList{"rewritten", "line 7", "line 5", "line 0"}));
        // Once the top line gives its number up, the next one down carries it; a line that
        // takes a number above the others' becomes the topmost.
        log->SetItemData(0, 0);
        TFTPServer().UpdateLog(5, QStringLiteral("second five"));
        log->SetItemData(3, 7);
        log->SetItemData(1, 0);
        TFTPServer().UpdateLog(7, QStringLiteral("last seven"));
        TFTPServer().UpdateLog(0, QStringLiteral("untagged"));
        lines.clear();
        for (int i = 0; i < log->ListCount(); ++i) {
            lines << log->List(i);
        }
        QCOMPARE(lines, (QStringList{"untagged", "line 7", "second five", "last seven"}));
        log->Clear();
        TFTPServer().UpdateLog(5, QStringLiteral("after clear")); // nothing, no failure
        QCOMPARE(log->ListCount(), 0);
        log->SetItemData(log->AddItem(QStringLiteral("new five")), 5);
        TFTPServer().UpdateLog(5, QStringLiteral("found after clear"));
        QCOMPARE(log->List(0), QStringLiteral("found after clear"));
    }

    void completionReportsRaiseOnlyTheirOwnEvent() {
        QStringList seen;
        connect(&TFTPServer(), &TFTPServerCore::TransmitComplete, this,
                [&](QString& f, QString& ip, bool& e) {
                    seen << "T " + f + " " + ip + " " + (e ? "1" : "0");
                });
        connect(&TFTPServer(), &TFTPServerCore::ReceiveComplete, this,
                [&](QString& f, QString& ip, bool& e) {
                    seen << "R " + f + " " + ip + " " + (e ? "1" : "0");
                });
        TFTPServer().SentFile("a", "1.2.3.4", false);
        TFTPServer().ReceivedFile("b", "5.6.7.8", true);
        QCOMPARE(seen, (QStringList{"T a 1.2.3.4 0", "R b 5.6.7.8 1"}));
    }
};

QTEST_GUILESS_MAIN(TestDispatcher)
#include "tst_dispatcher.moc"
