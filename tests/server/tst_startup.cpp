// Shutdown, the close box and reload, and the inactivity exit, with the program's main window.
#include "engine/globals.h"
#include "engine/transfer_fixture.h"
#include "platform/msg_box.h"
#include "server/main_program.h"
#include "server/tftp_server_window.h"

#include <QtTest>

namespace {
QByteArray bytes(int n) {
    return QByteArray(n, 'z');
}
} // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        SetTFTPServerFactory([] { return new TFTPServerWindow; });
        platform::SetMsgBoxResponder([](const QString&, int, const QString&) { return 1; });
    }

    void exitUnloadsRunningTransfersWithoutCompletionEvents() {
        TransferFixture fx;
        fx.writeFile("a.bin", bytes(5000));
        fx.sendRequest(1, "a.bin");
        fx.receive();
        fx.sendRequest(2, "b.bin");
        fx.receive();
        QCOMPARE(platform::Forms::Count(), 3);
        MainWindow().ExitSelection_Click();
        TransferFixture::settle();
        QCOMPARE(platform::Forms::Count(), 0);
        QVERIFY(fx.events.isEmpty());
        QVERIFY(!static_cast<TFTPServerWindow*>(TFTPServerInstance())->SysTray->InTray());
    }

    void closeBoxLeavesTransfersAndALaterUpdateReloadsHidden() {
        TransferFixture fx;
        fx.writeFile("a.bin", bytes(5000));
        MainWindow().Show();
        fx.sendRequest(1, "a.bin");
        const QByteArray first = fx.receive();
        auto* window = static_cast<TFTPServerWindow*>(TFTPServerInstance());
        window->Window->close();
        QVERIFY(!TFTPServerLoaded());
        QCOMPARE(window->TFTP->State(), 0);
        QVERIFY(!window->SysTray->InTray());
        QCOMPARE(platform::Forms::Count(), 1); // the transfer runs on

        // Its end touches the main window again.
        QCOMPARE(fx.fetchRest(first), bytes(5000));
        QCOMPARE(fx.events, QStringList{"TransmitComplete a.bin 127.0.0.1 false"});
        QVERIFY(TFTPServerLoaded());
        QCOMPARE(window->TFTP->State(), 1);
        QVERIFY(!window->Window->isVisible());
        QCOMPARE(window->SysTray->InTray(), Globals::TaskBar);
    }

    void inactivityExitComesAfterMoreThanNMinus1AndAtMostNMinutes_data() {
        QTest::addColumn<int>("resetAtSeconds");
        QTest::addColumn<int>("exitAtSeconds");
        QTest::newRow("no activity") << 0 << 300;
        // The seconds already counted towards the minute are kept.
        QTest::newRow("reset at 50 s") << 50 << 300;
        QTest::newRow("reset at 60 s") << 60 << 360;
    }
    void inactivityExitComesAfterMoreThanNMinus1AndAtMostNMinutes() {
        QFETCH(int, resetAtSeconds);
        QFETCH(int, exitAtSeconds);
        TransferFixture fx;
        Globals::InactivityMinutes = 5;
        Globals::ResetInactivity();
        if (resetAtSeconds > 0) {
            fx.advance(resetAtSeconds * 1000);
            Globals::ResetInactivity();
        }
        const int waited = exitAtSeconds - resetAtSeconds;
        QVERIFY(waited > 240 && waited <= 300);
        fx.advance((exitAtSeconds - resetAtSeconds) * 1000 - 1000);
        QVERIFY(TFTPServerLoaded());
        fx.advance(1000);
        QVERIFY(!TFTPServerLoaded());
        QCOMPARE(platform::Forms::Count(), 0);
    }

    void neverKeepsTheProgramRunning() {
        TransferFixture fx;
        Globals::InactivityMinutes = 9900000;
        Globals::ResetInactivity();
        fx.advance(3600 * 1000);
        QVERIFY(TFTPServerLoaded());
        QCOMPARE(Globals::MinutesRemaining, 9900000 - 60);
    }

    void failedLoadUnloadsWithMessageOnlyStandalone_data() {
        QTest::addColumn<bool>("automation");
        QTest::addColumn<int>("boxes");
        QTest::newRow("standalone") << false << 1;
        QTest::newRow("automation") << true << 0;
    }
    void failedLoadUnloadsWithMessageOnlyStandalone() {
        QFETCH(bool, automation);
        QFETCH(int, boxes);
        QStringList seen;
        platform::SetMsgBoxResponder([&](const QString& text, int style, const QString& title) {
            seen << QStringLiteral("%1|%2|%3").arg(title).arg(style).arg(text);
            return 1;
        });
        SetAutomationMode(automation);
        platform::UdpSocketControl holder;
        QVERIFY(holder.Bind(0));
        TFTPServerCore::ListenPort = holder.LocalPort();
        MainWindow();
        QVERIFY(!TFTPServerLoaded());
        QCOMPARE(seen.size(), boxes);
        if (boxes) {
            QCOMPARE(seen.first(), QStringLiteral("Drovemoor|16|Cannot start TFTP server.\rA TFTP "
                                                  "Server is already running on port 69"));
        }
        QVERIFY(!static_cast<TFTPServerWindow*>(TFTPServerInstance())->SysTray->InTray());
        SetAutomationMode(false);
        ResetTFTPServer();
        platform::SetMsgBoxResponder([](const QString&, int, const QString&) { return 1; });
    }

    // After a start that could not serve, the tip of the day is there to be read: the program
    // ends once it is closed, not before.
    void waitingForOpenWindowsEndsWhenTheLastIsClosed() {
        QWidget tip;
        tip.show();
        QTimer::singleShot(0, &tip, &QWidget::close);
        WaitForOpenWindows();
        QVERIFY(!tip.isVisible());
        WaitForOpenWindows(); // nothing open: back at once
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
