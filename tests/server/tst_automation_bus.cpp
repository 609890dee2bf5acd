// Automation over the session bus with the real program: a private dbus-daemon whose service
// directory holds the build's activatable service file starts the program for this test, which
// then plays the client (with a sink object of its own) and a TFTP client on loopback. The test
// runs in a network namespace of its own, so the program binds the real port 69.
#include "platform/registry.h"
#include "toolkit/registry_support.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("net.quorvane.TFTP");
const QString kFactory = QStringLiteral("net.quorvane.TFTP.Factory");
const QString kServer = QStringLiteral("net.quorvane.TFTP.Server");
const QString kIPRange = QStringLiteral("net.quorvane.TFTP.IPRange");
const QString kErrors = QStringLiteral("net.quorvane.TFTP.Error.");
const QString kApp = QStringLiteral("TFTP Server");
const QString kConfig = QStringLiteral("Config");
constexpr int kCallTimeoutMs = 10000;

// A network of our own with loopback up; everything started from here shares it.
bool enterOwnNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return up;
}
bool g_isolated = false;

// A socket on UDP port 69 of every address, or -1 when the port is taken.
int bindPort69() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(69);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
bool port69Free() {
    const int fd = bindPort69();
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

QByteArray request(int opcode, const QByteArray& name) {
    return QByteArray(1, '\0') + char(opcode) + name + '\0' + "octet" + '\0';
}

} // namespace

// The client's event sink: what the server sends, and what it is given back.
class Sink : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "net.quorvane.TFTP.ServerEvents")
public:
    QStringList* events = nullptr;
    QString renameTo;
    QString root;
    // A client too busy to answer in time.
    int delayMs = 0;

public slots:
    QString ReceiveStart(const QString& Filename, const QString& IP, QString& IPOut) {
        *events << QStringLiteral("ReceiveStart %1 %2").arg(Filename, IP);
        QThread::msleep(ulong(delayMs));
        IPOut = IP;
        return renameTo.isEmpty() ? Filename : renameTo;
    }
    // Answers with nothing: the server keeps its values.
    void ReceiveComplete(const QString& Filename, const QString& IP, bool Error) {
        const qint64 size = QFileInfo(root + QLatin1Char('/') + Filename).size();
        *events << QStringLiteral("ReceiveComplete %1 %2 %3 %4")
                       .arg(Filename, IP, QLatin1String(Error ? "true" : "false"))
                       .arg(size);
    }
};

// A client that only listens to the signals.
class Listener : public QObject {
    Q_OBJECT
public:
    QStringList heard;
public slots:
    void onStart(const QString& Filename, const QString& IP) {
        heard << QStringLiteral("ReceiveStart %1 %2").arg(Filename, IP);
    }
    void onComplete(const QString& Filename, const QString& IP, bool Error) {
        heard << QStringLiteral("ReceiveComplete %1 %2 %3")
                     .arg(Filename, IP, QLatin1String(Error ? "true" : "false"));
    }
};

class TestAutomationBus : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void activationStartsTheProgramForAutomationWithoutAWindow();
    void startFailsQuietlyWhilePort69IsHeldThenSucceeds();
    void secondStartLeavesReadyAndClearsLastError();
    void settingPutsAreStoredAtOnce();
    void writeRequestRaisesStartBeforeAndCompleteAfterAtTheSink();
    void sinkTooLateChangesNothing();
    void readRequestRaisesNothing();
    void terminateStopsTheServerAndStartRunsItAgain();
    void ipRangeObjectsAnswerAndFailAsD_BusErrors();
    void processLivesWhileHeldAndEndsAfterTheLastClient();
    void processEndsWhenTheBusGoes();

private:
    QDBusConnection bus() { return QDBusConnection(QStringLiteral("client")); }
    QDBusMessage call(QDBusConnection c, const QString& path, const QString& interface,
                      const QString& member, const QVariantList& args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(kService, path, interface, member);
        m.setArguments(args);
        return c.call(m, QDBus::Block, kCallTimeoutMs);
    }
    QDBusMessage call(const QString& member, const QVariantList& args = {}) {
        return call(bus(), serverPath, kServer, member, args);
    }
    QString create(QDBusConnection c, const QString& member) {
        const QDBusMessage reply = call(c, QStringLiteral("/"), kFactory, member);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            qWarning() << member << reply.errorName() << reply.errorMessage();
            return {};
        }
        return reply.arguments().at(0).value<QDBusObjectPath>().path();
    }
    // A property's value; an invalid variant when the read failed (the error in `error`).
    QVariant get(const QString& path, const QString& interface, const QString& name,
                 QString* error = nullptr) {
        const QDBusMessage reply =
            call(bus(), path, QStringLiteral("org.freedesktop.DBus.Properties"),
                 QStringLiteral("Get"), {interface, name});
        if (error) {
            *error = reply.errorName();
        }
        return reply.type() == QDBusMessage::ReplyMessage
                   ? reply.arguments().value(0).value<QDBusVariant>().variant()
                   : QVariant();
    }
    QVariant get(const QString& name) { return get(serverPath, kServer, name); }
    // The error name of a property write, empty on success.
    QString set(const QString& path, const QString& interface, const QString& name,
                const QVariant& value) {
        return call(bus(), path, QStringLiteral("org.freedesktop.DBus.Properties"),
                    QStringLiteral("Set"),
                    {interface, name, QVariant::fromValue(QDBusVariant(value))})
            .errorName();
    }
    QString set(const QString& name, const QVariant& value) {
        return set(serverPath, kServer, name, value);
    }
    bool served() { return bus().interface()->isServiceRegistered(kService); }
    uint servingPid() { return bus().interface()->servicePid(kService); }
    // The program's exit code when asked to register or unregister into the test's folder.
    int registration(const QString& option) {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), work.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setProcessEnvironment(env);
        program.start(drovemoor, {option});
        return program.waitForFinished(10000) && program.exitStatus() == QProcess::NormalExit
                   ? program.exitCode()
                   : -1;
    }
    static bool alive(uint pid) { return pid != 0 && ::kill(pid_t(pid), 0) == 0; }
    QString stored(const QString& value) {
        RegistryReopenForTests();
        return RegistrySupport::GetRegSetting(kApp, kConfig, value, QStringLiteral("(none)"));
    }
    QByteArray daemonErrors() {
        QFile f(work.filePath(QStringLiteral("daemon.err")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // The next datagram to the TFTP client within the wait, serving the bus meanwhile.
    QByteArray receive(int waitMs = 3000) {
        QElapsedTimer t;
        t.start();
        while (!udp.hasPendingDatagrams() && t.elapsed() < waitMs) {
            QTest::qWait(5);
        }
        if (!udp.hasPendingDatagrams()) {
            return {};
        }
        const QNetworkDatagram d = udp.receiveDatagram();
        transferPort = quint16(d.senderPort());
        return d.data();
    }

    QTemporaryDir work;
    QProcess daemon;
    QString address;
    QString drovemoor;
    QString root;
    QString serverPath;
    uint serverPid = 0;
    QStringList events;
    Sink sink;
    Listener listener;
    QUdpSocket udp;
    quint16 transferPort = 0;
};

void TestAutomationBus::initTestCase() {
    if (!g_isolated) {
        QSKIP("needs a network namespace of its own (unshare -n: root or CAP_SYS_ADMIN)");
    }
    drovemoor = qEnvironmentVariable("DROVEMOOR_BINARY");
    if (drovemoor.isEmpty()) {
        drovemoor = QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                    QStringLiteral("/../server/drovemoor"));
    }
    QVERIFY2(QFileInfo(drovemoor).isExecutable(), qPrintable(drovemoor));
    // The program registers itself; the bus then reads the service file it wrote.
    const QString services = work.filePath(QStringLiteral("data/dbus-1/services"));
    QCOMPARE(registration(QStringLiteral("--regserver")), 0);
    QFile serviceFile(services + QStringLiteral("/net.quorvane.TFTP.service"));
    QVERIFY(serviceFile.open(QIODevice::ReadOnly));
    const QByteArray service = serviceFile.readAll();
    QVERIFY(service.contains("Name=net.quorvane.TFTP\n"));
    QVERIFY(service.contains("Exec=" + QFileInfo(drovemoor).absoluteFilePath().toLocal8Bit() +
                             " --automation\n"));

    root = work.filePath(QStringLiteral("root"));
    QVERIFY(QDir().mkpath(root));
    const QByteArray registry = work.filePath(QStringLiteral("registry.sqlite3")).toLocal8Bit();
    qputenv("QUORVANE_REGISTRY", registry);
    RegistryReopenForTests();
    const QList<QPair<QString, QVariant>> settings{
        {QStringLiteral("RootDir"), root},
        {QStringLiteral("ReceiveOnly"), false},
        {QStringLiteral("TransmitOnly"), false},
        {QStringLiteral("TaskBar"), false},
        {QStringLiteral("Logging"), true},
        {QStringLiteral("LogFile"), work.filePath(QStringLiteral("transfers.log"))},
        // A server left behind by a test that crashed ends itself.
        {QStringLiteral("InactivityTimer"), 2}};
    for (const auto& [name, value] : settings) {
        RegistrySupport::SaveRegSetting(kApp, kConfig, name, value);
    }

    const QString config = work.filePath(QStringLiteral("bus.conf"));
    QFile conf(config);
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write(QStringLiteral(
                   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                   "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig>\n  <type>session</type>\n"
                   "  <listen>unix:path=%1</listen>\n  <servicedir>%2</servicedir>\n"
                   "  <policy context=\"default\">\n    <allow send_destination=\"*\"/>\n"
                   "    <allow receive_sender=\"*\"/>\n    <allow own=\"*\"/>\n"
                   "  </policy>\n</busconfig>\n")
                   .arg(work.filePath(QStringLiteral("bus")), services)
                   .toUtf8());
    conf.close();

    // The bus hands its own environment to the programs it starts.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUORVANE_REGISTRY"), QString::fromLocal8Bit(registry));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    daemon.setProcessEnvironment(env);
    daemon.setStandardErrorFile(work.filePath(QStringLiteral("daemon.err")));
    // The bus goes with the test, however the test ends.
    daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                  QStringLiteral("--print-address")});
    if (!daemon.waitForStarted()) {
        QSKIP("dbus-daemon is not installed");
    }
    QTRY_VERIFY(daemon.canReadLine());
    address = QString::fromLocal8Bit(daemon.readLine()).trimmed();
    QDBusConnection client = QDBusConnection::connectToBus(address, QStringLiteral("client"));
    QVERIFY2(client.isConnected(), qPrintable(client.lastError().message()));

    sink.events = &events;
    sink.root = root;
    QVERIFY(client.registerObject(QStringLiteral("/sink"), &sink, QDBusConnection::ExportAllSlots));
    QVERIFY(client.connect(QString(), QString(), kServer, QStringLiteral("ReceiveStart"), &listener,
                           SLOT(onStart(QString, QString))));
    QVERIFY(client.connect(QString(), QString(), kServer, QStringLiteral("ReceiveComplete"),
                           &listener, SLOT(onComplete(QString, QString, bool))));
    QVERIFY(udp.bind(QHostAddress::LocalHost, 0));
}

void TestAutomationBus::cleanupTestCase() {
    if (alive(serverPid)) {
        ::kill(pid_t(serverPid), SIGTERM);
    }
    if (!drovemoor.isEmpty()) {
        QCOMPARE(registration(QStringLiteral("--unregserver")), 0);
        QVERIFY(!QFile::exists(
            work.filePath(QStringLiteral("data/dbus-1/services/net.quorvane.TFTP.service"))));
        QCOMPARE(registration(QStringLiteral("--unregserver")), 0); // nothing left to remove
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    if (daemon.state() != QProcess::NotRunning) {
        daemon.terminate();
        daemon.waitForFinished();
    }
}

void TestAutomationBus::activationStartsTheProgramForAutomationWithoutAWindow() {
    QVERIFY(!served());
    serverPath = create(bus(), QStringLiteral("CreateServer"));
    QVERIFY(serverPath.startsWith(QStringLiteral("/Server/")));
    serverPid = servingPid();
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(serverPid));
    QVERIFY(cmdline.open(QIODevice::ReadOnly));
    const QList<QByteArray> argv = cmdline.readAll().split('\0');
    QCOMPARE(QFileInfo(QString::fromLocal8Bit(argv.value(0))).canonicalFilePath(),
             QFileInfo(drovemoor).canonicalFilePath());
    QVERIFY(argv.contains("--automation"));

    // No window was loaded: a standalone start would hold port 69 by now.
    QVERIFY(port69Free());
    QCOMPARE(get(QStringLiteral("Ready")), QVariant(false));
    QCOMPARE(get(QStringLiteral("LastError")), QVariant(QString()));
    QCOMPARE(call(QStringLiteral("Nothing")).errorName(),
             QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));
    // What generic clients learn of the interface.
    const QString xml =
        call(bus(), serverPath, QStringLiteral("org.freedesktop.DBus.Introspectable"),
             QStringLiteral("Introspect"))
            .arguments()
            .value(0)
            .toString();
    for (const char* part :
         {"<interface name=\"net.quorvane.TFTP.Server\">",
          "<property name=\"Ready\" type=\"b\" access=\"readwrite\">",
          "<property name=\"RootDir\" type=\"s\" access=\"readwrite\">",
          "value=\"{87F7D5DF-26A5-4036-A7AF-93061F9710EF}\"",
          "<arg name=\"path\" type=\"o\" direction=\"in\"/>", "<signal name=\"ReceiveComplete\">",
          "<arg name=\"Error\" type=\"b\"/>"}) {
        QVERIFY2(xml.contains(QLatin1String(part)), part);
    }
    const QDBusMessage show = call(QStringLiteral("ShowStatusWindow"));
    QCOMPARE(show.errorName(), kErrors + QStringLiteral("ObjectNotSet"));
    QVERIFY(port69Free());
}

void TestAutomationBus::startFailsQuietlyWhilePort69IsHeldThenSucceeds() {
    const int holder = bindPort69();
    QVERIFY(holder >= 0);
    QCOMPARE(call(QStringLiteral("Start")).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(get(QStringLiteral("Ready")), QVariant(false));
    QVERIFY(!get(QStringLiteral("LastError")).toString().isEmpty());
    QVERIFY(!daemonErrors().contains("Cannot start TFTP server."));
    ::close(holder);

    QCOMPARE(call(QStringLiteral("Start")).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(get(QStringLiteral("Ready")), QVariant(true));
    QCOMPARE(get(QStringLiteral("LastError")), QVariant(QString()));
    QVERIFY(!port69Free());
}

void TestAutomationBus::secondStartLeavesReadyAndClearsLastError() {
    QCOMPARE(set(QStringLiteral("Ready"), false), QString());
    QCOMPARE(set(QStringLiteral("LastError"), QStringLiteral("set by the client")), QString());
    QCOMPARE(get(QStringLiteral("LastError")), QVariant(QStringLiteral("set by the client")));
    QCOMPARE(call(QStringLiteral("Start")).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(get(QStringLiteral("Ready")), QVariant(true));
    QCOMPARE(get(QStringLiteral("LastError")), QVariant(QString()));
    QVERIFY(!port69Free());
}

void TestAutomationBus::settingPutsAreStoredAtOnce() {
    QCOMPARE(set(QStringLiteral("ReceiveOnly"), true), QString());
    QCOMPARE(get(QStringLiteral("ReceiveOnly")), QVariant(true));
    QCOMPARE(get(QStringLiteral("TransmitOnly")), QVariant(false));
    QCOMPARE(stored(QStringLiteral("ReceiveOnly")), QStringLiteral("True"));
    QCOMPARE(stored(QStringLiteral("TransmitOnly")), QStringLiteral("False"));
    QCOMPARE(set(QStringLiteral("ReceiveOnly"), false), QString());
    QCOMPARE(stored(QStringLiteral("ReceiveOnly")), QStringLiteral("False"));

    const QString missing = work.filePath(QStringLiteral("not-there"));
    QCOMPARE(set(QStringLiteral("RootDir"), missing), QString());
    QCOMPARE(get(QStringLiteral("RootDir")), QVariant(missing));
    QCOMPARE(stored(QStringLiteral("RootDir")), missing);
    QVERIFY(!QFileInfo::exists(missing));
    QCOMPARE(set(QStringLiteral("RootDir"), root), QString());

    // A value of the wrong type, or an unknown property, changes nothing.
    QCOMPARE(set(QStringLiteral("ReceiveOnly"), QStringLiteral("yes")),
             QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
    QCOMPARE(set(QStringLiteral("Nothing"), true),
             QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"));
    QCOMPARE(get(QStringLiteral("ReceiveOnly")), QVariant(false));
}

void TestAutomationBus::writeRequestRaisesStartBeforeAndCompleteAfterAtTheSink() {
    QCOMPARE(call(QStringLiteral("SetEventSink"),
                  {QString(), QVariant::fromValue(QDBusObjectPath(QStringLiteral("/sink")))})
                 .type(),
             QDBusMessage::ReplyMessage);
    sink.renameTo = QStringLiteral("renamed.txt");
    events.clear();
    listener.heard.clear();

    udp.writeDatagram(request(2, "asked.txt"), QHostAddress::LocalHost, 69);
    const QByteArray ack0 = receive();
    events << QStringLiteral("ack %1").arg(ack0.size() == 4 ? int(ack0[3]) : -1);
    udp.writeDatagram(QByteArray("\0\3\0\1hello", 9), QHostAddress::LocalHost, transferPort);
    QCOMPARE(receive(), QByteArray("\0\4\0\1", 4));
    QTRY_COMPARE(events.size(), 3);
    QCOMPARE(events, (QStringList{"ReceiveStart asked.txt 127.0.0.1", "ack 0",
                                  "ReceiveComplete renamed.txt 127.0.0.1 false 5"}));

    QFile stored(root + QStringLiteral("/renamed.txt"));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), QByteArray("hello"));
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/asked.txt")));
    QTRY_COMPARE(listener.heard, (QStringList{"ReceiveStart renamed.txt 127.0.0.1",
                                              "ReceiveComplete renamed.txt 127.0.0.1 false"}));
    sink.renameTo.clear();
}

void TestAutomationBus::sinkTooLateChangesNothing() {
    sink.delayMs = 5500; // past the server's 5 s
    sink.renameTo = QStringLiteral("late.txt");
    events.clear();
    listener.heard.clear();
    udp.writeDatagram(request(2, "slow.txt"), QHostAddress::LocalHost, 69);
    QCOMPARE(receive(10000), QByteArray("\0\4\0\0", 4));
    sink.delayMs = 0;
    udp.writeDatagram(QByteArray("\0\3\0\1hello", 9), QHostAddress::LocalHost, transferPort);
    QCOMPARE(receive(), QByteArray("\0\4\0\1", 4));
    QTRY_COMPARE(events, (QStringList{"ReceiveStart slow.txt 127.0.0.1",
                                      "ReceiveComplete slow.txt 127.0.0.1 false 5"}));
    QVERIFY(QFileInfo::exists(root + QStringLiteral("/slow.txt")));
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/late.txt")));
    QTRY_COMPARE(listener.heard, (QStringList{"ReceiveStart slow.txt 127.0.0.1",
                                              "ReceiveComplete slow.txt 127.0.0.1 false"}));
    sink.renameTo.clear();
}

void TestAutomationBus::readRequestRaisesNothing() {
    QFile file(root + QStringLiteral("/hello.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("served");
    file.close();
    events.clear();
    listener.heard.clear();

    udp.writeDatagram(request(1, "hello.txt"), QHostAddress::LocalHost, 69);
    QCOMPARE(receive(), QByteArray("\0\3\0\1served", 10));
    udp.writeDatagram(QByteArray("\0\4\0\1", 4), QHostAddress::LocalHost, transferPort);
    QTest::qWait(300);
    QVERIFY(events.isEmpty());
    QVERIFY(listener.heard.isEmpty());
}

void TestAutomationBus::terminateStopsTheServerAndStartRunsItAgain() {
    QCOMPARE(call(QStringLiteral("Terminate")).type(), QDBusMessage::ReplyMessage);
    QVERIFY(port69Free());
    QCOMPARE(get(QStringLiteral("Ready")), QVariant(true)); // unchanged
    QVERIFY(alive(serverPid));                              // the client still holds it
    QCOMPARE(call(QStringLiteral("ShowStatusWindow")).errorName(),
             kErrors + QStringLiteral("ObjectNotSet"));

    QCOMPARE(call(QStringLiteral("Start")).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(get(QStringLiteral("Ready")), QVariant(true));
    QVERIFY(!port69Free());
    QCOMPARE(call(QStringLiteral("ShowStatusWindow")).type(), QDBusMessage::ReplyMessage);
}

void TestAutomationBus::ipRangeObjectsAnswerAndFailAsD_BusErrors() {
    const QString range = create(bus(), QStringLiteral("CreateIPRange"));
    QVERIFY(range.startsWith(QStringLiteral("/IPRange/")));
    QCOMPARE(get(range, kIPRange, QStringLiteral("Key")),
             QVariant(QStringLiteral("R:0.0.0.0:0.0.0.0")));
    QCOMPARE(set(range, kIPRange, QStringLiteral("StartIP"), QStringLiteral("10.0.0.1")),
             QString());
    QCOMPARE(set(range, kIPRange, QStringLiteral("EndIP"), QStringLiteral("10.0.0.9")), QString());
    QCOMPARE(get(range, kIPRange, QStringLiteral("Key")),
             QVariant(QStringLiteral("R:10.0.0.1:10.0.0.9")));
    const auto acceptable = [&](const QString& ip) {
        return call(bus(), range, kIPRange, QStringLiteral("Acceptable"), {ip})
            .arguments()
            .value(0);
    };
    QCOMPARE(acceptable(QStringLiteral("10.0.0.9")), QVariant(true));
    QCOMPARE(acceptable(QStringLiteral("10.0.0.10")), QVariant(false));
    QCOMPARE(set(range, kIPRange, QStringLiteral("Key"), QStringLiteral("R:1.1.1.1:1.1.1.1")),
             QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"));

    // A key too large for dotted text: its reads fail, the others answer.
    QCOMPARE(set(range, kIPRange, QStringLiteral("StartIP"), QStringLiteral("99999999999.0.0.0")),
             QString());
    QString error;
    QVERIFY(!get(range, kIPRange, QStringLiteral("StartIP"), &error).isValid());
    QCOMPARE(error, kErrors + QStringLiteral("Overflow"));
    QVERIFY(!get(range, kIPRange, QStringLiteral("Key"), &error).isValid());
    QCOMPARE(error, kErrors + QStringLiteral("Overflow"));
    QCOMPARE(get(range, kIPRange, QStringLiteral("EndIP")), QVariant(QStringLiteral("10.0.0.9")));
    const QDBusMessage all = call(bus(), range, QStringLiteral("org.freedesktop.DBus.Properties"),
                                  QStringLiteral("GetAll"), {kIPRange});
    QCOMPARE(all.errorName(), kErrors + QStringLiteral("Overflow"));

    // Only the client that made it can let it go.
    {
        QDBusConnection other = QDBusConnection::connectToBus(address, QStringLiteral("other"));
        QCOMPARE(call(other, range, kIPRange, QStringLiteral("Release")).errorName(),
                 QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("other"));
    QCOMPARE(call(bus(), range, kIPRange, QStringLiteral("Release")).type(),
             QDBusMessage::ReplyMessage);
    QCOMPARE(call(bus(), range, kIPRange, QStringLiteral("Acceptable"), {QStringLiteral("1.1.1.1")})
                 .errorName(),
             QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"));
}

void TestAutomationBus::processLivesWhileHeldAndEndsAfterTheLastClient() {
    // Released without Terminate: the server runs on.
    QCOMPARE(call(QStringLiteral("Release")).type(), QDBusMessage::ReplyMessage);
    QTest::qWait(200);
    QVERIFY(alive(serverPid));
    QVERIFY(!port69Free());

    // A client that leaves without Terminate: likewise.
    {
        QDBusConnection second = QDBusConnection::connectToBus(address, QStringLiteral("second"));
        QVERIFY(!create(second, QStringLiteral("CreateServer")).isEmpty());
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("second"));
    QTest::qWait(200);
    QVERIFY(alive(serverPid));
    QVERIFY(!port69Free());

    // The last client stops the server and lives on; once it leaves, so does the process.
    {
        QDBusConnection last = QDBusConnection::connectToBus(address, QStringLiteral("last"));
        const QString path = create(last, QStringLiteral("CreateServer"));
        QCOMPARE(servingPid(), serverPid); // the running process serves a second client
        QCOMPARE(call(last, path, kServer, QStringLiteral("Terminate")).type(),
                 QDBusMessage::ReplyMessage);
        QVERIFY(port69Free());
        QTest::qWait(200);
        QVERIFY(alive(serverPid));
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("last"));
    QTRY_VERIFY(!served());
    QTRY_VERIFY(!alive(serverPid));

    // The next client has the bus start a new process.
    serverPath = create(bus(), QStringLiteral("CreateServer"));
    QVERIFY(!serverPath.isEmpty());
    const uint next = servingPid();
    QVERIFY(next != serverPid && alive(next));
    serverPid = next;
    QCOMPARE(call(QStringLiteral("Release")).type(), QDBusMessage::ReplyMessage);
    QTRY_VERIFY(!served());
    QTRY_VERIFY(!alive(serverPid));
}

void TestAutomationBus::processEndsWhenTheBusGoes() {
    serverPath = create(bus(), QStringLiteral("CreateServer"));
    QVERIFY(!serverPath.isEmpty());
    serverPid = servingPid();
    QVERIFY(alive(serverPid));
    // With the bus every client is gone, though none released its object.
    daemon.terminate();
    QVERIFY(daemon.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(!alive(serverPid), 20000);
}

int main(int argc, char** argv) {
    // Before any thread starts, so that every thread and child shares the namespace.
    g_isolated = enterOwnNetwork();
    QCoreApplication app(argc, argv);
    TestAutomationBus test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_automation_bus.moc"
