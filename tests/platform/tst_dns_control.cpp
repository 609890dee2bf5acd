#include "platform/dns_control.h"

#include <QSignalSpy>
#include <QTest>

using platform::DnsControl;

class TestDnsControl : public QObject {
    Q_OBJECT
private slots:
    void lookupAnswers();
    void failureAnswers_data();
    void failureAnswers();
    void abandonedLookupNeverAnswers();
    void newLookupReplacesPending();
    void noAnswerAfterControlEnds();
};

void TestDnsControl::lookupAnswers() {
    DnsControl dns;
    QSignalSpy answers(&dns, &DnsControl::Event10);
    dns.SetProperty3(true);
    QString address = "127.0.0.1";
    dns.Method18(address);
    QCOMPARE(address, QString("127.0.0.1"));
    QCOMPARE(answers.count(), 0); // never inside the call
    QTRY_COMPARE_WITH_TIMEOUT(answers.count(), 1, 10000);
    const QList<QVariant> answer = answers.takeFirst();
    const QString name = answer.at(0).toString();
    const int status = answer.at(2).toInt();
    // Whether loopback has a name depends on the machine; a success must carry a real one.
    if (status == DnsControl::StatusOk) {
        QVERIFY(!name.isEmpty());
        QVERIFY(name != address);
    } else {
        QVERIFY(name.isEmpty());
    }
    QTest::qWait(100);
    QCOMPARE(answers.count(), 0);
}

void TestDnsControl::failureAnswers_data() {
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("address");
    QTest::newRow("lookups off") << false << "127.0.0.1";
    QTest::newRow("a name, not an address") << true << "localhost";
    QTest::newRow("empty") << true << "";
    QTest::newRow("out of range") << true << "256.0.0.1";
}

void TestDnsControl::failureAnswers() {
    QFETCH(bool, enabled);
    QFETCH(QString, address);
    DnsControl dns;
    QSignalSpy answers(&dns, &DnsControl::Event10);
    dns.SetProperty3(enabled);
    dns.Method18(address);
    QCOMPARE(answers.count(), 0);
    QTRY_COMPARE(answers.count(), 1);
    QVERIFY(answers.first().at(0).toString().isEmpty());
    QVERIFY(answers.first().at(2).toInt() != DnsControl::StatusOk);
}

void TestDnsControl::abandonedLookupNeverAnswers() {
    for (const QString& text : {QString("127.0.0.1"), QString("not an address")}) {
        DnsControl dns;
        QSignalSpy answers(&dns, &DnsControl::Event10);
        dns.SetProperty3(true);
        QString address = text;
        dns.Method18(address);
        dns.Method17();
        dns.Method17(); // twice is harmless
        QTest::qWait(2000);
        QCOMPARE(answers.count(), 0);
    }
}

void TestDnsControl::newLookupReplacesPending() {
    DnsControl dns;
    QSignalSpy answers(&dns, &DnsControl::Event10);
    dns.SetProperty3(true);
    QString first = "127.0.0.1";
    QString second = "not an address";
    dns.Method18(first);
    dns.Method18(second);
    QTRY_COMPARE(answers.count(), 1);
    QCOMPARE(answers.first().at(1).toString(), second);
    QTest::qWait(2000);
    QCOMPARE(answers.count(), 1);
}

void TestDnsControl::noAnswerAfterControlEnds() {
    int answers = 0;
    {
        DnsControl dns;
        connect(&dns, &DnsControl::Event10, this, [&] { ++answers; });
        dns.SetProperty3(true);
        QString address = "127.0.0.1";
        dns.Method18(address);
    }
    QTest::qWait(2000);
    QCOMPARE(answers, 0);
}

QTEST_GUILESS_MAIN(TestDnsControl)
#include "tst_dns_control.moc"
