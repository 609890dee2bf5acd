// Names a hostile client can send: one that fills a datagram, and one made of wildcards. They are
// refused as any other name would be; the log file keeps the whole name, the list a shortened
// line.
#include "engine/globals.h"
#include "engine/transfer_log.h"
#include "transfer_fixture.h"

#include <QFile>
#include <QtTest>

namespace {

constexpr int kLongName = 65000;

QByteArray logBytes() {
    QFile f(Globals::LogFile);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The ERROR packet's code and text.
void parseError(const QByteArray& packet, int& code, QByteArray& text) {
    code = packet.size() >= 4 && packet[1] == 5 ? quint8(packet[2]) * 256 + quint8(packet[3]) : -1;
    text = packet.mid(4, packet.indexOf('\0', 4) - 4);
}

} // namespace

class TestHostileNames : public QObject {
    Q_OBJECT
private slots:
    // A line longer than the list keeps loses its middle, never a cut escape or half a
    // character; one that fits stays as it is.
    void listShortensOnlyLongLines_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("shown");
        const QString fits(kListLineMax, QLatin1Char('f'));
        QTest::newRow("fits exactly") << fits << fits;
        const QString longer = QString(kListLineHead, QLatin1Char('h')) +
                               QString(100, QLatin1Char('m')) +
                               QString(kListLineTail, QLatin1Char('t'));
        QTest::newRow("middle left out")
            << longer
            << QString(kListLineHead, QLatin1Char('h')) + "[100 characters left out]" +
                   QString(kListLineTail, QLatin1Char('t'));
        // An escape across the head's end goes whole into the part left out, and so does one
        // across the tail's start.
        const QString escapes = QString(kListLineHead - 2, QLatin1Char('h')) + "\\x1B" +
                                QString(100, QLatin1Char('m')) + "\\x7F" +
                                QString(kListLineTail - 2, QLatin1Char('t'));
        QTest::newRow("escapes at both cuts")
            << escapes
            << QString(kListLineHead - 2, QLatin1Char('h')) + "[108 characters left out]" +
                   QString(kListLineTail - 2, QLatin1Char('t'));
        // A name's own "\x" right before an escape that starts at the tail's cut is no
        // escape: the cut stays where it is.
        const QString literal = QString(kListLineHead, QLatin1Char('h')) +
                                QString(100, QLatin1Char('m')) + "\\x\\x01" +
                                QString(kListLineTail - 4, QLatin1Char('t'));
        QTest::newRow("a name's own \\x before an escape")
            << literal
            << QString(kListLineHead, QLatin1Char('h')) + "[102 characters left out]\\x01" +
                   QString(kListLineTail - 4, QLatin1Char('t'));
        // A character beyond the 16-bit range at the cut is kept or left out whole.
        const QString emoji = QStringLiteral("\U0001F600");
        const QString pairs = QString(kListLineHead - 1, QLatin1Char('h')) + emoji +
                              QString(100, QLatin1Char('m')) + emoji +
                              QString(kListLineTail - 1, QLatin1Char('t'));
        QTest::newRow("surrogate pairs at both cuts")
            << pairs
            << QString(kListLineHead - 1, QLatin1Char('h')) + "[104 characters left out]" +
                   QString(kListLineTail - 1, QLatin1Char('t'));
    }
    void listShortensOnlyLongLines() {
        QFETCH(QString, line);
        QFETCH(QString, shown);
        QCOMPARE(ShortenedForList(line), shown);
        TransferLog log;
        log.AddItem(line);
        QCOMPARE(log.List(0), shown);
        log.SetList(0, line + line);
        QCOMPARE(log.List(0), ShortenedForList(line + line));
        QVERIFY(log.List(0).size() < kListLineMax);
    }

    // A read request for a missing file under a name that fills the datagram: ERROR 1 as for any
    // missing file, the whole name in the log file, its start and its end in the list.
    void aLongNameIsRefusedAndLoggedWhole() {
        TransferFixture fx;
        const QByteArray name(kLongName, 'a');
        fx.sendRequest(1, name);
        int code = 0;
        QByteArray text;
        parseError(fx.receive(), code, text);
        QCOMPARE(code, 1);
        QCOMPARE(text, QByteArray("TFTP Error: File does not exist"));

        const QString line = QStringLiteral("TFTP Error from 127.0.0.1 requesting ") +
                             QLatin1String(name) + QStringLiteral(" : File does not exist");
        const QString shown = line.left(kListLineHead) +
                              QStringLiteral("[%1 characters left out]")
                                  .arg(line.size() - kListLineHead - kListLineTail) +
                              line.right(kListLineTail);
        QCOMPARE(fx.listLines(), QStringList{shown});
        QVERIFY(shown.endsWith(QStringLiteral("aaaa : File does not exist")));
        QCOMPARE(logBytes().count('\n'), 1);
        QVERIFY(logBytes().endsWith(" :" + line.toLatin1() + "\r\n"));
    }

    // Wildcards are matched against the root's plain files: a name that matches one passes the
    // existence test and cannot be opened, one that matches none is a missing file.
    void wildcardNamesKeepTheirOutcome_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("matches");
        QTest::newRow("one star") << QByteArray("*") << true;
        QTest::newRow("65,000 stars") << QByteArray(kLongName, '*') << true;
        QTest::newRow("stars around a letter")
            << QByteArray(30000, '*') + "t" + QByteArray(30000, '*') << true;
        QTest::newRow("stars around a missing letter")
            << QByteArray(30000, '*') + "z" + QByteArray(30000, '*') << false;
        QTest::newRow("question marks as long as a name") << QByteArray("??????.txt") << true;
        QTest::newRow("question marks longer than any name") << QByteArray(kLongName, '?') << false;
        QTest::newRow("mixed, backtracking") << QByteArray("*e*?**.t?t") << true;
        QTest::newRow("mixed, no match") << QByteArray("?*l*?*.bin") << false;
        QTest::newRow("star then a long literal") << "*" + QByteArray(kLongName - 1, 'e') << false;
        QTest::newRow("alternating") << QByteArray("*?").repeated(20000) << false;
        QTest::newRow("alternating, short") << QByteArray("*?").repeated(3) << true;
        // A star that would back off over a run of "?" for every byte of every entry.
        QTest::newRow("star, question marks, a last letter")
            << "*" + QByteArray(5, '?') + "t" << true;
        QTest::newRow("star, question marks, a missing last letter")
            << "*" + QByteArray(120, '?') + "x" << false;
        QTest::newRow("a piece between stars") << QByteArray("*e?t*") << true;
        QTest::newRow("a missing piece between stars") << QByteArray("*x?x*") << false;
    }
    void wildcardNamesKeepTheirOutcome() {
        QFETCH(QByteArray, name);
        QFETCH(bool, matches);
        TransferFixture fx;
        fx.writeFile("letter.txt", "x");
        fx.writeFile("seven.txt", "x");
        fx.sendRequest(1, name);
        int code = 0;
        QByteArray text;
        parseError(fx.receive(), code, text);
        if (matches) {
            QCOMPARE(code, 2);
            QCOMPARE(text, QByteArray("TFTP Error: File Open Error 123"));
        } else {
            QCOMPARE(code, 1);
            QCOMPARE(text, QByteArray("TFTP Error: File does not exist"));
        }
        const QString ending = matches ? QStringLiteral(" : File Open Error 123")
                                       : QStringLiteral(" : File does not exist");
        QCOMPARE(fx.listLines().size(), 1);
        QVERIFY2(fx.listLines().constFirst().endsWith(ending), qPrintable(fx.listLines()[0]));
        QVERIFY(logBytes().endsWith(" :TFTP Error from 127.0.0.1 requesting " + name +
                                    ending.toLatin1() + "\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestHostileNames)
#include "tst_hostile_names.moc"
