// The tray icon on a real X display whose notification area starts after the program, as the
// panel often does at log-in, and starts again later. Runs under its own X server and session
// bus, with the program's own tray control and a bare XEmbed tray host or StatusNotifier host.
// Each test function runs in a process of its own.
#include "platform/notify_icon.h"
#include "server/c_sys_tray.h"

#include <QApplication>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QtTest>

#include <memory>

namespace {

// A host process is ended with the test, whether it passes or not.
struct EndProcess {
    void operator()(QProcess* process) const {
        process->kill();
        process->waitForFinished();
        delete process;
    }
};
using Host = std::unique_ptr<QProcess, EndProcess>;

// Starts a host and waits until it serves; it prints a line for each icon it is offered.
Host startHost(const QString& program, const QStringList& arguments) {
    Host host(new QProcess);
    host->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    host->start(program, arguments);
    if (!host->waitForStarted())
        return nullptr;
    QByteArray seen;
    while (!seen.contains("ready\n") && host->waitForReadyRead(10000))
        seen += host->readAll();
    return seen.contains("ready\n") ? std::move(host) : nullptr;
}

Host startTrayHost() {
    return startHost(qEnvironmentVariable("TRAY_HOST"), {QStringLiteral("60")});
}

// A StatusNotifier watcher and host on the session bus, as KDE Plasma, waybar or GNOME's
// AppIndicator extension run them.
Host startStatusNotifierHost() {
    return startHost(QStringLiteral("/usr/bin/python3"),
                     {qEnvironmentVariable("SNI_HOST"), QStringLiteral("60")});
}

int linesStarting(QProcess& host, QByteArray& seen, const char* start) {
    seen += host.readAll();
    return int(seen.count(start));
}

std::unique_ptr<cSysTray> trayWithIcon() {
    QPixmap picture(16, 16);
    picture.fill(Qt::darkBlue);
    auto tray = std::make_unique<cSysTray>();
    tray->SetTrayIcon(platform::IconPicture(QIcon(picture)));
    tray->SetTrayTip(QStringLiteral("Quorvane.Net TFTP Server"));
    tray->SetInTray(true);
    return tray;
}

// The waiting icon is offered to a host that starts late (it prints a line beginning with
// `offered`), and again to the host that replaces it when the panel restarts (Qt may offer it
// twice, as it sees the old host go and the new one come).
void offeredToLateHostAndItsSuccessor(Host (*startHost)(), const char* offered,
                                      const cSysTray& tray) {
    auto host = startHost();
    QVERIFY(host);
    QByteArray seen;
    QTRY_VERIFY_WITH_TIMEOUT(linesStarting(*host, seen, offered) >= 1, 20000);
    QVERIFY(platform::NotifyIconStateOf(tray.hWnd(), 0)->shown);

    host.reset();
    host = startHost();
    QVERIFY(host);
    seen.clear();
    QTRY_VERIFY_WITH_TIMEOUT(linesStarting(*host, seen, offered) >= 1, 20000);
}

} // namespace

class TestLateTrayHost : public QObject {
    Q_OBJECT
private slots:
    void iconDocksWhenTheHostComesAndComesBack() {
        QVERIFY2(!qEnvironmentVariableIsEmpty("TRAY_HOST"), "TRAY_HOST names the tray host");
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());

        auto tray = trayWithIcon();
        QTest::qWait(200); // the program settles with no tray to be had

        offeredToLateHostAndItsSuccessor(startTrayHost, "dock ", *tray);
    }

    // Qt picks its D-Bus tray or its XEmbed one once per process, when it first makes a tray
    // icon: this runs in a process of its own, on a display with no XEmbed tray at all.
    void iconRegistersWhenAStatusNotifierHostComesAndComesBack() {
        QVERIFY2(!qEnvironmentVariableIsEmpty("SNI_HOST"), "SNI_HOST names the watcher script");
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        // A normal start says nothing, with or without a tray.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));

        auto tray = trayWithIcon();
        QTest::qWait(200);
        QVERIFY(!platform::NotifyIconStateOf(tray->hWnd(), 0)->shown);

        offeredToLateHostAndItsSuccessor(startStatusNotifierHost, "item ", *tray);
    }
};

QTEST_MAIN(TestLateTrayHost)
#include "late_tray_host.moc"
