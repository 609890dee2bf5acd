// The tray icon on a real X display whose notification area starts after the program, as the
// panel often does at log-in, and starts again later. Runs under its own X server and session
// bus, with the program's own tray control and a bare XEmbed tray host.
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

// Starts the host and waits until it owns the tray; it prints a line for each icon docked.
std::unique_ptr<QProcess> startTrayHost() {
    auto host = std::make_unique<QProcess>();
    host->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    host->start(qEnvironmentVariable("TRAY_HOST"), {QStringLiteral("60")});
    if (!host->waitForStarted())
        return nullptr;
    QByteArray seen;
    while (!seen.contains("ready\n") && host->waitForReadyRead(10000))
        seen += host->readAll();
    return seen.contains("ready\n") ? std::move(host) : nullptr;
}

int dockRequests(QProcess& host, QByteArray& seen) {
    seen += host.readAll();
    return int(seen.count("dock "));
}

} // namespace

class TestLateTrayHost : public QObject {
    Q_OBJECT
private slots:
    void iconDocksWhenTheHostComesAndComesBack() {
        QVERIFY2(!qEnvironmentVariableIsEmpty("TRAY_HOST"), "TRAY_HOST names the tray host");
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());

        QPixmap picture(16, 16);
        picture.fill(Qt::darkBlue);
        cSysTray tray;
        tray.SetTrayIcon(platform::IconPicture(QIcon(picture)));
        tray.SetTrayTip(QStringLiteral("Quorvane.Net TFTP Server"));
        tray.SetInTray(true);
        QTest::qWait(200); // the program settles with no tray to be had

        auto host = startTrayHost();
        QVERIFY(host);
        QByteArray seen;
        QTRY_VERIFY_WITH_TIMEOUT(dockRequests(*host, seen) >= 1, 20000);
        QVERIFY(platform::NotifyIconStateOf(tray.hWnd(), 0)->shown);

        // The panel restarts: the icon asks the new host to dock it (Qt may ask twice, as it
        // sees the old host go and the new one come).
        host->kill();
        host->waitForFinished();
        host = startTrayHost();
        QVERIFY(host);
        seen.clear();
        QTRY_VERIFY_WITH_TIMEOUT(dockRequests(*host, seen) >= 1, 20000);

        host->kill();
        host->waitForFinished();
    }
};

QTEST_MAIN(TestLateTrayHost)
#include "late_tray_host.moc"
