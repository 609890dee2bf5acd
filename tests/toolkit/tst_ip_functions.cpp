#include "toolkit/ip_functions.h"

#include <QTest>

#include <limits>
#include <stdexcept>

using namespace IP_Functions;

class TestIPFunctions : public QObject {
    Q_OBJECT
private slots:
    void isValidIP_data();
    void isValidIP();
    void ipToNumber_data();
    void ipToNumber();
    void numberToIP_data();
    void numberToIP();
    void numberToIPOverflows_data();
    void numberToIPOverflows();
    void hexAndLong_data();
    void hexAndLong();
    void longToIP();
    void validAddressesRoundTripThroughTheKey();
};

void TestIPFunctions::isValidIP_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << "192.168.1.1" << true;
    QTest::newRow("blanks around") << "  10.0.0.1  " << true;
    QTest::newRow("all zero") << "0.0.0.0" << true;
    QTest::newRow("broadcast") << "255.255.255.255" << true;
    QTest::newRow("128 inside") << "0.0.128.0" << true;
    QTest::newRow("leading zero") << "01.2.3.4" << false;
    QTest::newRow("zero padded last") << "1.2.3.04" << false;
    QTest::newRow("above 255") << "256.1.1.1" << false;
    QTest::newRow("three numbers") << "1.2.3" << false;
    QTest::newRow("five numbers") << "1.2.3.4.5" << false;
    QTest::newRow("empty piece") << "1..3.4" << false;
    QTest::newRow("trailing letter") << "1.2.3.4x" << false;
    QTest::newRow("inner blank") << "1.2.3. 4" << false;
    QTest::newRow("tab before") << "\t1.2.3.4" << false;
    QTest::newRow("tab after") << "1.2.3.4\t" << false;
    QTest::newRow("sign") << "+1.2.3.4" << false;
    QTest::newRow("trailing dot") << "1.2.3.4." << false;
    QTest::newRow("piece too large for 32 bits") << "99999999999.1.2.3" << false;
    QTest::newRow("piece wraps modulo 256") << "257.1.1.1" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("blanks only") << "   " << false;
}

void TestIPFunctions::isValidIP() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(IsValidIP(text), valid);
}

void TestIPFunctions::ipToNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("key");
    QTest::newRow("plain") << "192.168.1.1" << 192168001001.0;
    QTest::newRow("blanks around") << "  10.0.0.1  " << 10000000001.0;
    QTest::newRow("leading zeros read as decimal") << "192.168.001.010" << 192168001010.0;
    QTest::newRow("empty piece skipped") << "1..3.4" << 1003004.0;
    QTest::newRow("fifth piece unused") << "1.2.3.4.5" << 1002003004.0;
    QTest::newRow("letter dropped, empty first piece skipped") << "x.1.2.3" << 1002003.0;
    QTest::newRow("no range check, spills over") << "1.2.3.1234" << 1002004234.0;
    QTest::newRow("broadcast") << "255.255.255.255" << 255255255255.0;
    QTest::newRow("piece too long for a number skipped")
        << QStringLiteral("1.2.3.") + QString(400, QLatin1Char('9')) << 1002003.0;
    QTest::newRow("three numbers") << "1.2.3" << 0.0;
    QTest::newRow("no digits") << "abc" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
}

void TestIPFunctions::ipToNumber() {
    QFETCH(QString, text);
    QFETCH(double, key);
    QCOMPARE(IPToNumber(text), key);
}

void TestIPFunctions::numberToIP_data() {
    QTest::addColumn<double>("key");
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << 192168001001.0 << "192.168.1.1";
    QTest::newRow("ten") << 10000000001.0 << "10.0.0.1";
    QTest::newRow("zero") << 0.0 << "0.0.0.0";
    QTest::newRow("broadcast") << 255255255255.0 << "255.255.255.255";
    QTest::newRow("top number modulo 1000") << 1234005006007.0 << "234.5.6.7";
    QTest::newRow("largest top number that fits") << 2147483647e9 << "647.0.0.0";
}

void TestIPFunctions::numberToIP() {
    QFETCH(double, key);
    QFETCH(QString, text);
    QCOMPARE(NumberToIP(key), text);
}

void TestIPFunctions::numberToIPOverflows_data() {
    QTest::addColumn<double>("key");
    QTest::newRow("2^31 * 10^9") << 2147483648e9;
    QTest::newRow("far above") << 1e300;
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity();
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN();
}

void TestIPFunctions::numberToIPOverflows() {
    QFETCH(double, key);
    QVERIFY_THROWS_EXCEPTION(std::overflow_error, NumberToIP(key));
}

void TestIPFunctions::hexAndLong_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("hex");
    QTest::addColumn<qint32>("value");
    QTest::newRow("plain") << "192.168.1.1"
                           << "C0A80101" << qint32(0xC0A80101u);
    QTest::newRow("broadcast") << "255.255.255.255"
                               << "FFFFFFFF" << qint32(-1);
    QTest::newRow("modulo 256") << "257.0.0.1"
                                << "01000001" << qint32(0x01000001);
    QTest::newRow("empty piece counts 0") << "1..3.4"
                                          << "01000304" << qint32(0x01000304);
    QTest::newRow("too large contributes nothing") << "99999999999.1.2.3"
                                                   << "010203" << qint32(0x010203);
    QTest::newRow("three numbers") << "1.2.3"
                                   << "" << qint32(0);
}

void TestIPFunctions::hexAndLong() {
    QFETCH(QString, text);
    QFETCH(QString, hex);
    QFETCH(qint32, value);
    QCOMPARE(IPToHex(text), hex);
    QCOMPARE(IPToLong(text), value);
    // LongToIP pads short hex on the left, just as HexToIP does.
    QCOMPARE(LongToIP(value), HexToIP(hex));
}

void TestIPFunctions::longToIP() {
    QCOMPARE(LongToIP(-1), QStringLiteral("255.255.255.255"));
    QCOMPARE(LongToIP(qint32(0x80000000u)), QStringLiteral("128.0.0.0"));
    QCOMPARE(LongToIP(0), QStringLiteral("0.0.0.0"));
    QCOMPARE(HexToIP(QStringLiteral("10203")), QStringLiteral("0.1.2.3"));
}

void TestIPFunctions::validAddressesRoundTripThroughTheKey() {
    // A sweep over the number values that matter: the key gives the canonical text back, and the
    // direct rule (no leading zeros, 0..255) agrees with the round trip.
    const int samples[] = {0, 1, 9, 10, 99, 100, 127, 128, 199, 200, 254, 255, 256, 999};
    for (int a : samples) {
        for (int d : samples) {
            const QString text = QStringLiteral("%1.0.%2.%3").arg(a).arg(a).arg(d);
            const bool expected = a <= 255 && d <= 255;
            QCOMPARE(IsValidIP(text), expected);
            if (expected) {
                QCOMPARE(NumberToIP(IPToNumber(text)), text);
            }
        }
    }
}

QTEST_GUILESS_MAIN(TestIPFunctions)
#include "tst_ip_functions.moc"
