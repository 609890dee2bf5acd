#include "engine/ip_range.h"
#include "platform/registry.h"
#include "test_files.h"
#include "toolkit/registry_support.h"

#include <QTemporaryDir>
#include <QTest>

#include <stdexcept>

namespace {

const QString kApp = QStringLiteral("TFTP Server");
const QString kSection = QStringLiteral("IP Ranges");
// Read back where nothing was written.
const QString kUnwritten = QStringLiteral("<unwritten>");

QString StartName(int n) {
    return QStringLiteral("Start IP Range %1").arg(n);
}
QString EndName(int n) {
    return QStringLiteral("End IP Range %1").arg(n);
}

void StoreSlot(int n, const QString& start, const QString& end) {
    RegistrySupport::SaveRegSetting(kApp, kSection, StartName(n), start);
    RegistrySupport::SaveRegSetting(kApp, kSection, EndName(n), end);
}

QStringList ReadSlot(int n) {
    return {RegistrySupport::GetRegSetting(kApp, kSection, StartName(n), kUnwritten),
            RegistrySupport::GetRegSetting(kApp, kSection, EndName(n), kUnwritten)};
}

IPRange Range(const QString& start, const QString& end) {
    IPRange r;
    r.SetStartIP(start);
    r.SetEndIP(end);
    return r;
}

} // namespace

class TestIPRanges : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(tmp_.isValid()); }
    void init();

    void rangeTexts_data();
    void rangeTexts();
    void rangeFromUncheckedTextOverflows();
    void collectionRefusesEqualKeys();
    void ipAllowed_data();
    void ipAllowed();
    void noSlotsAdmitEveryone();
    void loadSkipsBadAndRepeatedSlotsAndSaveCompacts();
    void loadKeepsWhatIsAlreadyThere();
    void saveStoresAtMostOneHundred();

private:
    QTemporaryDir tmp_;
    int registryFile_ = 0;
};

void TestIPRanges::init() {
    qputenv("QUORVANE_REGISTRY",
            tmp_.filePath(QStringLiteral("registry-%1.sqlite3").arg(++registryFile_)).toUtf8());
    RegistryReopenForTests();
    IPRanges().Clear();
}

void TestIPRanges::rangeTexts_data() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("startIP");
    QTest::addColumn<QString>("endIP");
    QTest::addColumn<QString>("key");
    QTest::newRow("plain") << "192.168.1.1"
                           << "192.168.1.254"
                           << "192.168.1.1"
                           << "192.168.1.254"
                           << "R:192.168.1.1:192.168.1.254";
    QTest::newRow("spelling does not matter") << " 010.000.000.001 "
                                              << "10.0.0.9"
                                              << "10.0.0.1"
                                              << "10.0.0.9"
                                              << "R:10.0.0.1:10.0.0.9";
    QTest::newRow("start above end kept") << "10.0.0.9"
                                          << "10.0.0.1"
                                          << "10.0.0.9"
                                          << "10.0.0.1"
                                          << "R:10.0.0.9:10.0.0.1";
    QTest::newRow("malformed text is key 0") << "1.2.3"
                                             << ""
                                             << "0.0.0.0"
                                             << "0.0.0.0"
                                             << "R:0.0.0.0:0.0.0.0";
}

void TestIPRanges::rangeTexts() {
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(QString, startIP);
    QFETCH(QString, endIP);
    QFETCH(QString, key);
    const IPRange r = Range(start, end);
    QCOMPARE(r.StartIP(), startIP);
    QCOMPARE(r.EndIP(), endIP);
    QCOMPARE(r.Key(), key);
}

void TestIPRanges::rangeFromUncheckedTextOverflows() {
    QCOMPARE(IPRange().Key(), QStringLiteral("R:0.0.0.0:0.0.0.0"));
    const IPRange r = Range(QStringLiteral("3000000000.0.0.0"), QStringLiteral("10.0.0.1"));
    QVERIFY_THROWS_EXCEPTION(std::overflow_error, r.StartIP());
    QCOMPARE(r.EndIP(), QStringLiteral("10.0.0.1"));
    // Such a range never enters the collection.
    QVERIFY_THROWS_EXCEPTION(std::overflow_error, IPRanges().Add(r));
    QCOMPARE(IPRanges().Count(), 0);
}

void TestIPRanges::collectionRefusesEqualKeys() {
    IPRangeList& list = IPRanges();
    QVERIFY(list.Add(Range(QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.9"))));
    QVERIFY(list.Add(Range(QStringLiteral("1.1.1.1"), QStringLiteral("1.1.1.1"))));
    QVERIFY(!list.Add(Range(QStringLiteral("10.0.0.01"), QStringLiteral("10.0.0.9"))));
    QCOMPARE(list.Count(), 2);
    QCOMPARE(list.Item(0).Key(), QStringLiteral("R:10.0.0.1:10.0.0.9"));
    QCOMPARE(list.Item(1).Key(), QStringLiteral("R:1.1.1.1:1.1.1.1"));

    QVERIFY(list.Remove(QStringLiteral("R:10.0.0.1:10.0.0.9")));
    QVERIFY(!list.Remove(QStringLiteral("R:10.0.0.1:10.0.0.9")));
    QCOMPARE(list.Count(), 1);
    QVERIFY(list.Add(Range(QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.9"))));
    QCOMPARE(list.Item(1).Key(), QStringLiteral("R:10.0.0.1:10.0.0.9"));
}

void TestIPRanges::ipAllowed_data() {
    QTest::addColumn<QStringList>("ranges"); // start, end, start, end, ...
    QTest::addColumn<QString>("ip");
    QTest::addColumn<bool>("allowed");
    const QStringList one{"10.0.0.1", "10.0.0.9"};
    QTest::newRow("no ranges") << QStringList() << "192.168.1.1" << true;
    QTest::newRow("start included") << one << "10.0.0.1" << true;
    QTest::newRow("end included") << one << "10.0.0.9" << true;
    QTest::newRow("inside") << one << "10.0.0.5" << true;
    QTest::newRow("below") << one << "10.0.0.0" << false;
    QTest::newRow("above by key, not by text") << one << "10.0.0.10" << false;
    QTest::newRow("start above end admits none")
        << QStringList{"10.0.0.9", "10.0.0.1"} << "10.0.0.5" << false;
    QTest::newRow("start above end, its own end")
        << QStringList{"10.0.0.9", "10.0.0.1"} << "10.0.0.9" << false;
    QTest::newRow("second range matches")
        << QStringList{"10.0.0.1", "10.0.0.9", "192.168.0.0", "192.168.255.255"} << "192.168.3.4"
        << true;
    QTest::newRow("single address") << QStringList{"1.2.3.4", "1.2.3.4"} << "1.2.3.4" << true;
}

void TestIPRanges::ipAllowed() {
    QFETCH(QStringList, ranges);
    QFETCH(QString, ip);
    QFETCH(bool, allowed);
    for (qsizetype i = 0; i + 1 < ranges.size(); i += 2) {
        QVERIFY(IPRanges().Add(Range(ranges[i], ranges[i + 1])));
    }
    QCOMPARE(IPAllowed(ip), allowed);
}

void TestIPRanges::noSlotsAdmitEveryone() {
    LoadIPRanges();
    QCOMPARE(IPRanges().Count(), 0);
    QVERIFY(IPAllowed(QStringLiteral("203.0.113.7")));
}

void TestIPRanges::loadSkipsBadAndRepeatedSlotsAndSaveCompacts() {
    StoreSlot(1, QString(), QString());
    StoreSlot(2, QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.9"));
    StoreSlot(3, QStringLiteral("010.0.0.1"), QStringLiteral("10.0.0.9")); // leading zero
    StoreSlot(4, QStringLiteral("10.1.0.1"), QString());                   // one end only
    StoreSlot(5, QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.9"));  // repeats slot 2
    StoreSlot(6, QStringLiteral(" 192.168.1.1  "), QStringLiteral("192.168.1.254"));
    StoreSlot(7, QStringLiteral("10.0.0.9"), QStringLiteral("10.0.0.1")); // start above end
    StoreSlot(8, QStringLiteral("\t1.1.1.1"), QStringLiteral("1.1.1.2")); // tab is not trimmed
    StoreSlot(100, QStringLiteral("172.16.0.1"), QStringLiteral("172.16.0.2"));

    LoadIPRanges();
    QStringList keys;
    for (int i = 0; i < IPRanges().Count(); ++i) {
        keys << IPRanges().Item(i).Key();
    }
    QCOMPARE(keys, (QStringList{"R:10.0.0.1:10.0.0.9", "R:192.168.1.1:192.168.1.254",
                                "R:10.0.0.9:10.0.0.1", "R:172.16.0.1:172.16.0.2"}));

    const QString store = QFile::decodeName(qgetenv("QUORVANE_REGISTRY"));
    const quint32 commits = storeCommits(store);
    SaveIPRanges();
    // Every slot in one commit, so that no save leaves the tail of an older list behind.
    QCOMPARE(storeCommits(store), commits + 1);
    QCOMPARE(ReadSlot(1), (QStringList{"10.0.0.1", "10.0.0.9"}));
    QCOMPARE(ReadSlot(2), (QStringList{"192.168.1.1", "192.168.1.254"}));
    QCOMPARE(ReadSlot(3), (QStringList{"10.0.0.9", "10.0.0.1"}));
    QCOMPARE(ReadSlot(4), (QStringList{"172.16.0.1", "172.16.0.2"}));
    // Every later slot is written empty, the old slot 100 included.
    for (int n = 5; n <= 100; ++n) {
        QCOMPARE(ReadSlot(n), (QStringList{QString(), QString()}));
    }
    QCOMPARE(ReadSlot(101), (QStringList{kUnwritten, kUnwritten}));

    // What was saved loads back as the same list.
    IPRanges().Clear();
    LoadIPRanges();
    QCOMPARE(IPRanges().Count(), 4);
    QCOMPARE(IPRanges().Item(3).Key(), QStringLiteral("R:172.16.0.1:172.16.0.2"));
}

void TestIPRanges::loadKeepsWhatIsAlreadyThere() {
    QVERIFY(IPRanges().Add(Range(QStringLiteral("1.1.1.1"), QStringLiteral("1.1.1.9"))));
    StoreSlot(1, QStringLiteral("1.1.1.1"), QStringLiteral("1.1.1.9"));
    StoreSlot(2, QStringLiteral("2.2.2.2"), QStringLiteral("2.2.2.9"));
    LoadIPRanges();
    QCOMPARE(IPRanges().Count(), 2);
    QCOMPARE(IPRanges().Item(1).Key(), QStringLiteral("R:2.2.2.2:2.2.2.9"));
}

void TestIPRanges::saveStoresAtMostOneHundred() {
    for (int i = 0; i < 101; ++i) {
        const QString ip = QStringLiteral("10.0.%1.%2").arg(i / 256).arg(i % 256);
        QVERIFY(IPRanges().Add(Range(ip, ip)));
    }
    SaveIPRanges();
    QCOMPARE(ReadSlot(100), (QStringList{"10.0.0.99", "10.0.0.99"}));
    QCOMPARE(ReadSlot(101), (QStringList{kUnwritten, kUnwritten}));
}

QTEST_GUILESS_MAIN(TestIPRanges)
#include "tst_ip_ranges.moc"
