// How many descriptors are left, told by the kernel's own rules: numbers below the soft limit.
#include "platform/descriptors.h"

#include <QDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

} // namespace

class TestDescriptors : public QObject {
    Q_OBJECT

    rlimit saved_{};

private slots:
    void init() { QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved_), 0); }
    void cleanup() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

    void raisesTheSoftLimitToTheHardOne() {
        rlimit low = saved_;
        low.rlim_cur = 200;
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
        platform::RaiseDescriptorLimit();
        rlimit now{};
        ::getrlimit(RLIMIT_NOFILE, &now);
        QCOMPARE(now.rlim_cur, saved_.rlim_max);
    }

    // Free numbers below the limit count, wherever the open ones lie; nothing stays open.
    void countsFreeNumbersBelowTheLimit() {
        const int before = openDescriptors();
        rlimit low = saved_;
        low.rlim_cur = rlim_t(before + 100);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
        QVERIFY(platform::DescriptorsLeft(64));
        // One open at the very top number: the rest below still counts.
        const int any = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int top = ::fcntl(any, F_DUPFD_CLOEXEC, int(low.rlim_cur) - 1);
        ::close(any);
        QCOMPARE(top, int(low.rlim_cur) - 1);
        QVERIFY(platform::DescriptorsLeft(64));
        ::close(top);

        low.rlim_cur = rlim_t(before + 8);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
        QVERIFY(!platform::DescriptorsLeft(64));
        QVERIFY(platform::DescriptorsLeft(4));
        ::setrlimit(RLIMIT_NOFILE, &saved_);
        QCOMPARE(openDescriptors(), before);
    }
};

QTEST_GUILESS_MAIN(TestDescriptors)
#include "tst_descriptors.moc"
