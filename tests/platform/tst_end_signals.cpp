// End signals reach the program on its event loop; one it was started with ignored stays so.
#include "platform/end_signals.h"

#include <QtTest>

#include <csignal>

class TstEndSignals : public QObject {
    Q_OBJECT
private slots:
    void signalsArriveOnTheEventLoopAndIgnoredOnesStayIgnored() {
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGHUP, SIG_IGN); // as nohup starts a program
        QList<int> seen;
        platform::OnEndSignal([&](int signal) { seen.append(signal); });

        std::raise(SIGTERM);
        std::raise(SIGHUP);
        std::raise(SIGINT);
        QVERIFY(seen.isEmpty()); // nothing runs inside the signal handler
        // All three were raised before the loop ran: an ignored one would sit between the others.
        QTRY_COMPARE(seen, (QList<int>{SIGTERM, SIGINT}));
    }
};

QTEST_GUILESS_MAIN(TstEndSignals)
#include "tst_end_signals.moc"
