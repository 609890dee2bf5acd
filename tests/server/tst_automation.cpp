// The automation class Server in this process: its start, stop and window, the setting puts
// and the relay of write-request events, with a fake sink in place of the client's.
#include "engine/globals.h"
#include "engine/transfer_fixture.h"
#include "engine/transfer_form.h"
#include "platform/msg_box.h"
#include "platform/registry.h"
#include "server/automation_ip_range.h"
#include "server/automation_server.h"
#include "server/tftp_server_window.h"
#include "toolkit/registry_support.h"

#include <QDBusMetaType>
#include <QDir>
#include <QMainWindow>
#include <QSignalSpy>
#include <QXmlStreamReader>
#include <QtTest>

#include <memory>

namespace {

const QString kApp = QStringLiteral("TFTP Server");
const QString kConfig = QStringLiteral("Config");
const QString kErrors = QLatin1String(AutomationBus::kErrorPrefix);

QString stored(const QString& value) {
    return RegistrySupport::GetRegSetting(kApp, kConfig, value, QStringLiteral("(none)"));
}

void store(const QString& value, const QVariant& setting) {
    RegistrySupport::SaveRegSetting(kApp, kConfig, value, setting);
}

TFTPServerWindow* window() {
    return static_cast<TFTPServerWindow*>(TFTPServerInstance());
}

// A client's sink: records each event and may rename the file, at once or when told.
class SinkServer : public Server {
public:
    QStringList calls;
    QString renameTo;
    bool answerLater = false;

    void answer() {
        const QList<std::function<void()>> due = std::exchange(pending, {});
        for (const auto& reply : due) {
            reply();
        }
    }

protected:
    void CallSink(const QString& member, const QVariantList& args, SinkReply done) override {
        QStringList parts{member};
        for (const QVariant& a : args) {
            parts << a.toString();
        }
        calls << parts.join(QLatin1Char(' '));
        QVariantList got = args;
        if (member == QLatin1String("ReceiveStart") && !renameTo.isEmpty()) {
            got[0] = renameTo;
        }
        if (answerLater) {
            pending << [done, args, got] { done(args, got); };
        } else {
            done(args, got);
        }
    }

private:
    QList<std::function<void()>> pending;
};

// The members an interface file declares: "property Name type access", "method Name",
// "signal Name argcount".
QStringList declaredMembers(const QString& interface) {
    QFile file(QStringLiteral(":/dbus/%1.xml").arg(interface));
    if (!file.open(QIODevice::ReadOnly)) {
        return {QStringLiteral("no file for ") + interface};
    }
    QStringList members;
    QXmlStreamReader xml(&file);
    qsizetype signal = -1; // the signal whose arguments are being counted
    int signalArgs = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement()) {
            continue;
        }
        const QXmlStreamAttributes a = xml.attributes();
        const QString name = a.value(QLatin1String("name")).toString();
        if (xml.name() == QLatin1String("arg")) {
            signalArgs += signal >= 0 ? 1 : 0;
            continue;
        }
        if (xml.name() == QLatin1String("annotation")) {
            continue;
        }
        if (signal >= 0) {
            members[signal] += QStringLiteral(" %1").arg(signalArgs);
            signal = -1;
        }
        if (xml.name() == QLatin1String("property")) {
            members << QStringLiteral("property %1 %2 %3")
                           .arg(name, a.value(QLatin1String("type")),
                                a.value(QLatin1String("access")));
        } else if (xml.name() == QLatin1String("method")) {
            members << QStringLiteral("method ") + name;
        } else if (xml.name() == QLatin1String("signal")) {
            signal = members.size();
            signalArgs = 0;
            members << QStringLiteral("signal ") + name;
        }
    }
    if (signal >= 0) {
        members[signal] += QStringLiteral(" %1").arg(signalArgs);
    }
    members.sort();
    return members;
}

// The same, as the class declares them.
QStringList classMembers(const QMetaObject* meta) {
    QStringList members;
    for (int i = AutomationObject::staticMetaObject.propertyCount(); i < meta->propertyCount();
         ++i) {
        const QMetaProperty p = meta->property(i);
        members << QStringLiteral("property %1 %2 %3")
                       .arg(QLatin1String(p.name()),
                            QLatin1String(QDBusMetaType::typeToSignature(p.metaType())),
                            QLatin1String(p.isWritable() ? "readwrite" : "read"));
    }
    for (int i = AutomationObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        const QMetaMethod m = meta->method(i);
        if (m.methodType() == QMetaMethod::Signal) {
            members << QStringLiteral("signal %1 %2")
                           .arg(QLatin1String(m.name()))
                           .arg(m.parameterCount());
        } else if (m.access() == QMetaMethod::Public) {
            members << QStringLiteral("method ") + QLatin1String(m.name());
        }
    }
    members.sort();
    return members;
}

// The process as automation mode leaves it before a client's Start: settings stored, no
// window loaded.
struct AutomationFixture {
    AutomationFixture() {
        store(QStringLiteral("RootDir"), fx.root());
        store(QStringLiteral("ReceiveOnly"), false);
        store(QStringLiteral("TransmitOnly"), false);
        store(QStringLiteral("Logging"), true);
        store(QStringLiteral("LogFile"), fx.work.filePath(QStringLiteral("transfers.log")));
        store(QStringLiteral("TaskBar"), false);
        MainWindow().ExitSelection_Click();
    }
    // The listening port moves with each load.
    void follow() { fx.serverPort = quint16(window()->TFTP->LocalPort()); }
    void write(const QByteArray& name, const QByteArray& bytes) {
        fx.sendRequest(2, name);
        const QByteArray ack0 = fx.receive();
        QCOMPARE(ack0, QByteArray("\0\4\0\0", 4));
        fx.sendToTransfer(TransferFixture::data(1, bytes));
        QCOMPARE(fx.receive(), QByteArray("\0\4\0\1", 4));
        TransferFixture::settle();
    }

    TransferFixture fx;
};

} // namespace

class TestAutomation : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        SetTFTPServerFactory([] { return new TFTPServerWindow; });
        SetAutomationMode(true);
    }
    void init() {
        boxes.clear();
        platform::SetMsgBoxResponder([this](const QString& text, int, const QString&) {
            boxes << text;
            return 1;
        });
    }

    void creationReadsSettingsAndForcesTheTrayIcon() {
        AutomationFixture a;
        store(QStringLiteral("InactivityTimer"), 7);
        Globals::TaskBar = false;
        Globals::RootDir.clear();
        Globals::MinutesRemaining = 1;
        Server server;
        QCOMPARE(Globals::RootDir, a.fx.root());
        QVERIFY(Globals::TaskBar);
        QCOMPARE(stored(QStringLiteral("TaskBar")), QStringLiteral("False"));
        QCOMPARE(Globals::MinutesRemaining, 7);
        QVERIFY(!server.Ready);
        QVERIFY(server.LastError.isEmpty());
        QVERIFY(!TFTPServerLoaded());

        server.Start();
        QVERIFY(server.Ready);
        QVERIFY(window()->SysTray->InTray());
        QVERIFY(!window()->Window->isVisible());
    }

    void secondStartLoadsNothing() {
        AutomationFixture a;
        Server server;
        server.Start();
        QVERIFY(server.Ready);
        const quint64 generation = window()->LoadGeneration();
        server.setProperty("Ready", false);
        server.setProperty("LastError", QStringLiteral("left by the client"));
        server.Start();
        QVERIFY(server.Ready);
        QVERIFY(server.LastError.isEmpty());
        QCOMPARE(window()->LoadGeneration(), generation);
        QCOMPARE(platform::Forms::Count(), 1);
    }

    void startWithPortHeldFailsQuietlyThenSucceeds() {
        AutomationFixture a;
        Server server;
        auto holder = std::make_unique<platform::UdpSocketControl>();
        QVERIFY(holder->Bind(0));
        TFTPServerCore::ListenPort = holder->LocalPort();
        server.Start();
        QVERIFY(!server.Ready);
        QCOMPARE(server.LastError, QStringLiteral("Object was unloaded"));
        QVERIFY(boxes.isEmpty());
        QVERIFY(!TFTPServerLoaded());
        QVERIFY(!window()->Window->isVisible());
        QVERIFY(!window()->SysTray->InTray());
        // Still not started: the window cannot be shown.
        server.ShowStatusWindow();
        QCOMPARE(server.TakeError(), kErrors + QStringLiteral("ObjectNotSet"));

        // A put that needs the window says why it could not have it.
        server.setProperty("RootDir", a.fx.root());
        QCOMPARE(server.TakeError(), kErrors + QStringLiteral("PortInUse"));

        holder.reset();
        server.Start();
        QVERIFY(server.Ready);
        QVERIFY(server.LastError.isEmpty());
        QVERIFY(TFTPServerLoaded());
        TFTPServerCore::ListenPort = 0;
    }

    void showStatusWindowNeedsAStartAndRestores() {
        AutomationFixture a;
        Server server;
        server.ShowStatusWindow();
        QString message;
        QCOMPARE(server.TakeError(&message), kErrors + QStringLiteral("ObjectNotSet"));
        QCOMPARE(message, QStringLiteral("Object variable or With block variable not set"));
        QVERIFY(!TFTPServerLoaded());

        server.Start();
        QVERIFY(!window()->Window->isVisible());
        server.ShowStatusWindow();
        QVERIFY(server.TakeError().isEmpty());
        QVERIFY(window()->Window->isVisible());
        window()->Window->showMinimized();
        server.ShowStatusWindow();
        QVERIFY(!window()->Window->isMinimized());
    }

    void flagPutIsStoredAndLeavesTheOtherFlag_data() {
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QString>("other");
        QTest::newRow("ReceiveOnly") << "ReceiveOnly"
                                     << "TransmitOnly";
        QTest::newRow("TransmitOnly") << "TransmitOnly"
                                      << "ReceiveOnly";
    }
    void flagPutIsStoredAndLeavesTheOtherFlag() {
        QFETCH(QString, flag);
        QFETCH(QString, other);
        AutomationFixture a;
        Server server;
        QVERIFY(server.setProperty(flag.toLatin1(), true));
        QCOMPARE(server.property(flag.toLatin1()).toBool(), true);
        QCOMPARE(server.property(other.toLatin1()).toBool(), false);
        QCOMPARE(stored(flag), QStringLiteral("True"));
        QCOMPARE(stored(other), QStringLiteral("False"));
        QVERIFY(!TFTPServerLoaded()); // the status bar is not touched
        // Both on: every request is refused, as the two flags say.
        QVERIFY(server.setProperty(other.toLatin1(), true));
        QVERIFY(Globals::ReceiveOnly && Globals::TransmitOnly);
        QCOMPARE(stored(other), QStringLiteral("True"));
    }

    void rootDirPutStoresShowsAndRunsTheServer() {
        AutomationFixture a;
        Server server;
        const QString missing = a.fx.path(QStringLiteral("not/there"));
        server.setProperty("RootDir", missing);
        QVERIFY(server.TakeError().isEmpty());
        QCOMPARE(Globals::RootDir, missing);
        QCOMPARE(server.property("RootDir").toString(), missing);
        QCOMPARE(stored(QStringLiteral("RootDir")), missing);
        QVERIFY(!QDir(missing).exists());
        // The status bar's window was loaded for it, hidden: the server runs without a Start.
        QVERIFY(TFTPServerLoaded());
        QVERIFY(!window()->Window->isVisible());
        QCOMPARE(window()->StatusBar->Panels(QStringLiteral("Status"))->Text(), missing);
        const quint64 generation = window()->LoadGeneration();
        server.Start();
        QVERIFY(server.Ready);
        QCOMPARE(window()->LoadGeneration(), generation);
    }

    void writeRequestRaisesBothEventsAndTheSinkMayRename() {
        AutomationFixture a;
        SinkServer server;
        QSignalSpy starts(&server, &Server::ReceiveStart);
        QSignalSpy completes(&server, &Server::ReceiveComplete);
        server.Start();
        a.follow();
        server.renameTo = QStringLiteral("renamed.bin");

        a.fx.sendRequest(2, "asked.bin");
        // The start event came before the transfer answered.
        QCOMPARE(server.calls, QStringList{"ReceiveStart asked.bin 127.0.0.1"});
        QCOMPARE(a.fx.receive(), QByteArray("\0\4\0\0", 4));
        a.fx.sendToTransfer(TransferFixture::data(1, "hello"));
        QCOMPARE(a.fx.receive(), QByteArray("\0\4\0\1", 4));
        TransferFixture::settle();

        QCOMPARE(server.calls, (QStringList{"ReceiveStart asked.bin 127.0.0.1",
                                            "ReceiveComplete renamed.bin 127.0.0.1 false"}));
        QCOMPARE(a.fx.readFile(QStringLiteral("renamed.bin")), QByteArray("hello"));
        QVERIFY(!QFile::exists(a.fx.path(QStringLiteral("asked.bin"))));
        // The signals carry what the server went on with.
        QCOMPARE(starts.size(), 1);
        QCOMPARE(starts.at(0), (QVariantList{"renamed.bin", "127.0.0.1"}));
        QCOMPARE(completes.size(), 1);
        QCOMPARE(completes.at(0), (QVariantList{"renamed.bin", "127.0.0.1", false}));
    }

    void sinkThatAnswersLaterHoldsOnlyItsOwnRequest() {
        AutomationFixture a;
        SinkServer server;
        QSignalSpy starts(&server, &Server::ReceiveStart);
        server.Start();
        a.follow();
        server.answerLater = true;
        server.renameTo = QStringLiteral("renamed.bin");
        a.fx.writeFile(QStringLiteral("out.bin"), "data");

        a.fx.sendRequest(2, "up.bin");
        QVERIFY(a.fx.silent());
        QCOMPARE(platform::Forms::Count(), 1);
        // The client, tired of waiting, sends it again: the same request, not a second one.
        a.fx.sendRequest(2, "up.bin");
        // Its other requests are served meanwhile.
        a.fx.sendRequest(1, "out.bin");
        QCOMPARE(a.fx.fetchRest(a.fx.receive()), QByteArray("data"));
        TransferFixture::settle();
        QCOMPARE(server.calls, QStringList{"ReceiveStart up.bin 127.0.0.1"});
        QCOMPARE(starts.size(), 0);

        server.answer();
        QCOMPARE(a.fx.receive(), QByteArray("\0\4\0\0", 4));
        QCOMPARE(starts.size(), 1);
        QCOMPARE(starts.at(0), (QVariantList{"renamed.bin", "127.0.0.1"}));
        // A copy that was on its way when the answer came is answered by the running transfer.
        const quint16 transfer = a.fx.transferPort();
        a.fx.sendRequest(2, "up.bin");
        QVERIFY(a.fx.silent());
        a.fx.lastPort = transfer;
        a.fx.sendToTransfer(TransferFixture::data(1, "hello"));
        QCOMPARE(a.fx.receive(), QByteArray("\0\4\0\1", 4));
        TransferFixture::settle();
        QCOMPARE(server.calls, (QStringList{"ReceiveStart up.bin 127.0.0.1",
                                            "ReceiveComplete renamed.bin 127.0.0.1 false"}));
        server.answer();
        QCOMPARE(a.fx.readFile(QStringLiteral("renamed.bin")), QByteArray("hello"));
        QVERIFY(!QFile::exists(a.fx.path(QStringLiteral("up.bin"))));

        // Once that transfer is over and its port kept for the final ACK has gone, the same
        // request is a new one.
        server.answerLater = false;
        a.fx.advance(TransferForm::kRetryIntervalMs);
        a.write("up.bin", "again");
        QCOMPARE(server.calls.size(), 4);
    }

    void copyArrivingWithTheAnswerIsStillTheSameRequest() {
        AutomationFixture a;
        SinkServer server;
        server.Start();
        a.follow();
        server.answerLater = true;
        a.fx.sendRequest(2, "up.bin");
        QVERIFY(a.fx.silent());
        // The answer comes in the same pass of the loop as a copy of the request, just before
        // the copy is dispatched.
        platform::UdpSocketControl* listener = window()->TFTP;
        QObject::disconnect(listener, &platform::UdpSocketControl::DataArrival, window(),
                            &TFTPServerCore::TFTP_DataArrival);
        QObject::connect(listener, &platform::UdpSocketControl::DataArrival, &server,
                         [&server] { server.answer(); });
        QObject::connect(listener, &platform::UdpSocketControl::DataArrival, window(),
                         &TFTPServerCore::TFTP_DataArrival);
        a.fx.sendRequest(2, "up.bin");
        QCOMPARE(a.fx.receive(), QByteArray("\0\4\0\0", 4));
        QVERIFY(a.fx.silent());
        QCOMPARE(server.calls, QStringList{"ReceiveStart up.bin 127.0.0.1"});
    }

    void waitingRequestWhenTheServerStopsOrTheClientLetsGo_data() {
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<QString>("stored");
        // Stopped: the request is dropped, and the server is not brought back for it.
        QTest::newRow("terminate") << "terminate"
                                   << "";
        QTest::newRow("terminate, start") << "restart"
                                          << "";
        // Let go: the request goes on as it was sent.
        QTest::newRow("release") << "release"
                                 << "up.bin";
    }
    void waitingRequestWhenTheServerStopsOrTheClientLetsGo() {
        QFETCH(QString, meanwhile);
        QFETCH(QString, stored);
        AutomationFixture a;
        auto server = std::make_unique<SinkServer>();
        server->Start();
        a.follow();
        server->answerLater = true;
        server->renameTo = QStringLiteral("renamed.bin");
        a.fx.sendRequest(2, "up.bin");
        QVERIFY(a.fx.silent());

        if (meanwhile == QLatin1String("release")) {
            server.reset();
        } else {
            server->Terminate();
            if (meanwhile == QLatin1String("restart")) {
                server->Start();
            }
            server->answer();
        }
        TransferFixture::settle();
        const int transfers = platform::Forms::Count() - (TFTPServerLoaded() ? 1 : 0);
        QCOMPARE(TFTPServerLoaded(), meanwhile != QLatin1String("terminate"));
        if (stored.isEmpty()) {
            QCOMPARE(transfers, 0);
            QVERIFY(a.fx.silent());
            return;
        }
        QCOMPARE(transfers, 1);
        QCOMPARE(a.fx.receive(), QByteArray("\0\4\0\0", 4));
        a.fx.sendToTransfer(TransferFixture::data(1, "x"));
        QCOMPARE(a.fx.receive(), QByteArray("\0\4\0\1", 4));
        TransferFixture::settle();
        QCOMPARE(a.fx.readFile(stored), QByteArray("x"));
    }

    void clientsThatLeaveAValueAloneDoNotUndoAnothersChange() {
        AutomationFixture a;
        SinkServer renaming;
        SinkServer watching;
        renaming.Start();
        watching.Start();
        a.follow();
        renaming.answerLater = watching.answerLater = true;
        renaming.renameTo = QStringLiteral("renamed.bin");
        a.fx.sendRequest(2, "up.bin");
        QVERIFY(a.fx.silent());
        renaming.answer();
        QVERIFY(a.fx.silent()); // both must have answered
        watching.answer();
        QCOMPARE(a.fx.receive(), QByteArray("\0\4\0\0", 4));
        a.fx.sendToTransfer(TransferFixture::data(1, "x"));
        QCOMPARE(a.fx.receive(), QByteArray("\0\4\0\1", 4));
        TransferFixture::settle();
        QCOMPARE(a.fx.readFile(QStringLiteral("renamed.bin")), QByteArray("x"));
    }

    void interfaceFilesDeclareWhatTheClassesServe_data() {
        QTest::addColumn<QString>("interface");
        QTest::addColumn<const QMetaObject*>("meta");
        QTest::newRow("Server") << QString::fromLatin1(Server::kInterface)
                                << &Server::staticMetaObject;
        QTest::newRow("IPRange") << QStringLiteral("net.quorvane.TFTP.IPRange")
                                 << &AutomationIPRange::staticMetaObject;
    }
    void interfaceFilesDeclareWhatTheClassesServe() {
        QFETCH(QString, interface);
        QFETCH(const QMetaObject*, meta);
        QCOMPARE(declaredMembers(interface), classMembers(meta));
    }

    void readRequestRaisesNothing() {
        AutomationFixture a;
        SinkServer server;
        QSignalSpy starts(&server, &Server::ReceiveStart);
        server.Start();
        a.follow();
        a.fx.writeFile(QStringLiteral("out.bin"), "data");
        a.fx.sendRequest(1, "out.bin");
        QCOMPARE(a.fx.fetchRest(a.fx.receive()), QByteArray("data"));
        TransferFixture::settle();
        QVERIFY(server.calls.isEmpty());
        QCOMPARE(starts.size(), 0);
    }

    void terminateStopsEverythingAndStartRunsAgain() {
        AutomationFixture a;
        SinkServer server;
        server.Start();
        a.follow();
        a.fx.sendRequest(2, "cut.bin");
        QCOMPARE(a.fx.receive(), QByteArray("\0\4\0\0", 4));
        QCOMPARE(platform::Forms::Count(), 2);
        const quint64 generation = window()->LoadGeneration();

        server.Terminate();
        TransferFixture::settle();
        QCOMPARE(platform::Forms::Count(), 0);
        QVERIFY(!window()->SysTray->InTray());
        QVERIFY(server.Ready); // unchanged
        QCOMPARE(server.calls, QStringList{"ReceiveStart cut.bin 127.0.0.1"});
        server.ShowStatusWindow();
        QCOMPARE(server.TakeError(), kErrors + QStringLiteral("ObjectNotSet"));

        server.Start();
        QVERIFY(server.Ready);
        QVERIFY(TFTPServerLoaded());
        QVERIFY(window()->LoadGeneration() > generation);
        a.follow();
        a.write("again.bin", "x");
        QCOMPARE(server.calls.size(), 3); // connected again
    }

    void serverStoppedByOtherMeansKeepsItsWindow() {
        AutomationFixture a;
        Server server;
        server.Start();
        MainWindow().ExitSelection_Click();
        QVERIFY(!TFTPServerLoaded());
        server.Start();
        QVERIFY(server.Ready);
        QVERIFY(!TFTPServerLoaded());
        server.ShowStatusWindow();
        QVERIFY(server.TakeError().isEmpty());
        QVERIFY(TFTPServerLoaded());
        QVERIFY(window()->Window->isVisible());
    }

    void ipRangeReadsFailOnlyForAbsurdKeys_data() {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("error");
        QTest::newRow("valid") << "10.0.0.1"
                               << "R:10.0.0.1:10.0.0.9"
                               << "";
        QTest::newRow("overflow") << "99999999999.0.0.0"
                                  << ""
                                  << "Overflow";
    }
    void ipRangeReadsFailOnlyForAbsurdKeys() {
        QFETCH(QString, start);
        QFETCH(QString, key);
        QFETCH(QString, error);
        AutomationIPRange range;
        range.SetStartIP(start);
        range.SetEndIP(QStringLiteral("10.0.0.9"));
        QCOMPARE(range.Key(), key);
        QCOMPARE(range.TakeError(), error.isEmpty() ? QString() : kErrors + error);
        QCOMPARE(range.EndIP(), QStringLiteral("10.0.0.9"));
        QVERIFY(range.TakeError().isEmpty());
        QCOMPARE(range.Acceptable(QStringLiteral("10.0.0.9")), error.isEmpty());
        QVERIFY(!range.Acceptable(QStringLiteral("10.0.0.10")));
    }

private:
    QStringList boxes;
};

QTEST_MAIN(TestAutomation)
#include "tst_automation.moc"
