#include "engine/globals.h"
#include "engine/tftp_server_core.h"
#include "platform/registry.h"
#include "platform/timer.h"
#include "toolkit/registry_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

namespace {

const QString kApp = QStringLiteral("TFTP Server");
const QString kSection = QStringLiteral("Config");

void Store(const QString& name, const QString& text) {
    RegistrySupport::SaveRegSetting(kApp, kSection, name, text);
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What a line written at `at` starts with, in the system's short formats.
QString Stamp(const QDateTime& at) {
    const QLocale locale = QLocale::system();
    return locale.toString(at.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(at.time(), QLocale::ShortFormat);
}

} // namespace

class TestGlobals : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void realDefaultsHaveNoDriveLetter();
    void emptyStoreGivesDefaults();
    void storedTextsAreTakenAsTheyStand();
    void rootDirIsCreatedOneLevelOnly();
    void booleans_data();
    void booleans();
    void inactivityMinutes_data();
    void inactivityMinutes();
    void resetInactivity();

    void logLineShape();
    void logLineEscapesControlCharacters_data();
    void logLineEscapesControlCharacters();
    void logFileIsOpenedAnewForEachLine();
    void loggingOffWritesNothing();
    void missingLogFolderGivesOneListLinePerWrite();
    void fullDiskLeavesNoHalfLine();
    void failedWriteDoesNotBringTheMainWindowBack();

private:
    QTemporaryDir tmp_;
    int registryFile_ = 0;
};

void TestGlobals::initTestCase() {
    QVERIFY(tmp_.isValid());
    TFTPServerCore::ListenPort = 0;
}

void TestGlobals::init() {
    // A fresh, empty store for every case.
    qputenv("QUORVANE_REGISTRY",
            tmp_.filePath(QStringLiteral("registry-%1.sqlite3").arg(++registryFile_)).toUtf8());
    RegistryReopenForTests();

    // The state before the first load.
    Globals::RootDir.clear();
    Globals::TaskBar = false;
    Globals::ReceiveOnly = false;
    Globals::TransmitOnly = false;
    Globals::Logging = false;
    Globals::LogFile.clear();
    Globals::InactivityMinutes = 0;
    Globals::MinutesRemaining = 0;

    Globals::SetProgramFolder(tmp_.filePath(QStringLiteral("program")));
    Globals::SetDefaultRootDir(tmp_.filePath(QStringLiteral("TFTP-Root")));
    QDir(tmp_.filePath(QStringLiteral("TFTP-Root"))).removeRecursively();
    TFTPServer().Log->Clear();
}

void TestGlobals::cleanup() {
    Globals::SetProgramFolder(QString());
    Globals::SetDefaultRootDir(QString());
}

void TestGlobals::realDefaultsHaveNoDriveLetter() {
    Globals::SetProgramFolder(QString());
    Globals::SetDefaultRootDir(QString());
    QCOMPARE(Globals::DefaultRootDir(), QStringLiteral("/TFTP-Root"));
    QCOMPARE(Globals::ProgramFolder(), QCoreApplication::applicationDirPath());
}

void TestGlobals::emptyStoreGivesDefaults() {
    Globals::LoadSettings();
    QCOMPARE(Globals::RootDir, tmp_.filePath(QStringLiteral("TFTP-Root")));
    QVERIFY(QDir(Globals::RootDir).exists());
    QCOMPARE(Globals::TaskBar, true);
    // A fresh server serves write requests and refuses read requests.
    QCOMPARE(Globals::ReceiveOnly, true);
    QCOMPARE(Globals::TransmitOnly, false);
    QCOMPARE(Globals::Logging, false);
    QCOMPARE(Globals::LogFile, tmp_.filePath(QStringLiteral("program/Drovemoor.log")));
    QCOMPARE(Globals::InactivityMinutes, 9900000);
    QCOMPARE(Globals::MinutesRemaining, 9900000);
    // Loading stores nothing.
    HKEY key = 0;
    QVERIFY(!RegistrySupport::OpenKey(
        HKEY_LOCAL_MACHINE, QStringLiteral("Software\\Quorvane.Net\\TFTP Server\\Config"), key));
}

void TestGlobals::storedTextsAreTakenAsTheyStand() {
    const QString root = tmp_.filePath(QStringLiteral("stored root"));
    const QString log = QStringLiteral("/var/log/elsewhere.log");
    Store(QStringLiteral("RootDir"), root);
    Store(QStringLiteral("LogFile"), log);
    Globals::LoadSettings();
    QCOMPARE(Globals::RootDir, root);
    QVERIFY(QDir(root).exists());
    QCOMPARE(Globals::LogFile, log);
}

void TestGlobals::rootDirIsCreatedOneLevelOnly() {
    const QString deep = tmp_.filePath(QStringLiteral("no-parent/root"));
    Store(QStringLiteral("RootDir"), deep);
    Globals::LoadSettings();
    QCOMPARE(Globals::RootDir, deep);
    QVERIFY(!QDir(tmp_.filePath(QStringLiteral("no-parent"))).exists());
    // The remaining steps still ran.
    QCOMPARE(Globals::InactivityMinutes, 9900000);

    // An existing directory is no error either.
    const QString existing = tmp_.filePath(QStringLiteral("existing"));
    QVERIFY(QDir().mkpath(existing));
    Store(QStringLiteral("RootDir"), existing);
    Globals::LoadSettings();
    QCOMPARE(Globals::RootDir, existing);
    QCOMPARE(Globals::TaskBar, true);
}

void TestGlobals::booleans_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("before");
    QTest::addColumn<bool>("after");
    const char* names[] = {"TaskBar", "ReceiveOnly", "TransmitOnly", "Logging"};
    for (const char* n : names) {
        const QString name = QLatin1String(n);
        auto row = [&](const char* label) {
            return &QTest::newRow(qPrintable(name + QLatin1Char(' ') + QLatin1String(label)));
        };
        *row("True") << name << "True" << false << true;
        *row("False") << name << "False" << true << false;
        *row("lower case") << name << "true" << false << true;
        *row("upper case") << name << "FALSE" << true << false;
        *row("zero") << name << "0" << true << false;
        *row("minus one") << name << "-1" << false << true;
        *row("fraction") << name << "0.5" << false << true;
        *row("not a Boolean keeps true") << name << "yes" << true << true;
        *row("not a Boolean keeps false") << name << "yes" << false << false;
        *row("empty text keeps") << name << "" << false << false;
        *row("number with junk keeps") << name << "1x" << false << false;
    }
}

void TestGlobals::booleans() {
    QFETCH(QString, name);
    QFETCH(QString, stored);
    QFETCH(bool, before);
    QFETCH(bool, after);
    bool* setting = name == QLatin1String("TaskBar")        ? &Globals::TaskBar
                    : name == QLatin1String("ReceiveOnly")  ? &Globals::ReceiveOnly
                    : name == QLatin1String("TransmitOnly") ? &Globals::TransmitOnly
                                                            : &Globals::Logging;
    Store(name, stored);
    *setting = before;
    Globals::LoadSettings();
    QCOMPARE(*setting, after);
}

void TestGlobals::inactivityMinutes_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<qint32>("minutes");
    // Before each load InactivityMinutes holds 123.
    QTest::newRow("whole number") << "90" << 90;
    QTest::newRow("not a number") << "never" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("number then text") << "  45 minutes" << 45;
    QTest::newRow("half down to even") << "2.5" << 2;
    QTest::newRow("half up to even") << "3.5" << 4;
    QTest::newRow("negative") << "-7" << -7;
    QTest::newRow("exponent") << "1e3" << 1000;
    QTest::newRow("largest") << "2147483647" << 2147483647;
    QTest::newRow("smallest") << "-2147483648" << qint32(-2147483647 - 1);
    QTest::newRow("too large keeps") << "2147483648" << 123;
    QTest::newRow("rounds out of range keeps") << "2147483647.5" << 123;
    QTest::newRow("huge keeps") << "1e999" << 123;
}

void TestGlobals::inactivityMinutes() {
    QFETCH(QString, stored);
    QFETCH(qint32, minutes);
    Store(QStringLiteral("InactivityTimer"), stored);
    Globals::InactivityMinutes = 123;
    Globals::MinutesRemaining = 1;
    Globals::LoadSettings();
    QCOMPARE(Globals::InactivityMinutes, minutes);
    QCOMPARE(Globals::MinutesRemaining, minutes);
}

void TestGlobals::resetInactivity() {
    Globals::InactivityMinutes = 5;
    Globals::MinutesRemaining = 1;
    Globals::ResetInactivity();
    QCOMPARE(Globals::MinutesRemaining, 5);
}

void TestGlobals::logLineShape() {
    const QDateTime at(QDate(2026, 3, 7), QTime(9, 41, 13));
    platform::VirtualTime time(at);
    Globals::Logging = true;
    Globals::LogFile = tmp_.filePath(QStringLiteral("shape.log"));
    QFile::remove(Globals::LogFile);

    Globals::WriteLog(QStringLiteral("Sent a.txt to 10.0.0.1"));
    time.Advance(61 * 1000);
    Globals::WriteLog(QStringLiteral("second"));

    const QString expected = Stamp(at) + QStringLiteral(" :Sent a.txt to 10.0.0.1\r\n") +
                             Stamp(at.addSecs(61)) + QStringLiteral(" :second\r\n");
    QCOMPARE(QString::fromUtf8(ReadAll(Globals::LogFile)), expected);
    QCOMPARE(TFTPServer().Log->ListCount(), 0);
}

void TestGlobals::logLineEscapesControlCharacters_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("written");
    QTest::newRow("forged line") << QStringLiteral("a.txt\r\n1/1/26 0:00 :Sent evil")
                                 << QStringLiteral("a.txt\\x0D\\x0A1/1/26 0:00 :Sent evil");
    QTest::newRow("tab, bell, delete")
        << QStringLiteral("x\ty\az\x7F") << QStringLiteral("x\\x09y\\x07z\\x7F");
    // A transfer's line carries a client's name as bytes, one character each.
    QTest::newRow("UTF-8 name bytes kept")
        << QString::fromLatin1("caf\xC3\xA9 ~!") << QStringLiteral("caf\u00E9 ~!");
    QTest::newRow("C1 control") << QString::fromLatin1("a\xC2\x85z") << QStringLiteral("a\\x85z");
    QTest::newRow("byte that is not UTF-8")
        << QString::fromLatin1("caf\xE9") << QStringLiteral("caf\\xE9");
}

void TestGlobals::logLineEscapesControlCharacters() {
    QFETCH(QString, text);
    QFETCH(QString, written);
    const QDateTime at(QDate(2026, 1, 5), QTime(12, 0));
    platform::VirtualTime time(at);
    Globals::Logging = true;
    Globals::LogFile = tmp_.filePath(QStringLiteral("escape.log"));
    QFile::remove(Globals::LogFile);
    Globals::WriteLog(text);
    QCOMPARE(QString::fromUtf8(ReadAll(Globals::LogFile)),
             Stamp(at) + QStringLiteral(" :") + written + QStringLiteral("\r\n"));
}

void TestGlobals::logFileIsOpenedAnewForEachLine() {
    platform::VirtualTime time;
    Globals::Logging = true;
    Globals::LogFile = tmp_.filePath(QStringLiteral("moved.log"));
    QFile::remove(Globals::LogFile);
    const QString moved = tmp_.filePath(QStringLiteral("moved.log.1"));
    QFile::remove(moved);

    Globals::WriteLog(QStringLiteral("one"));
    // Another program moves the file away between lines; the next line starts a new file.
    QVERIFY(QFile::rename(Globals::LogFile, moved));
    Globals::WriteLog(QStringLiteral("two"));
    QVERIFY(ReadAll(moved).endsWith(" :one\r\n"));
    const QByteArray second = ReadAll(Globals::LogFile);
    QVERIFY(second.endsWith(" :two\r\n"));
    QCOMPARE(second.count('\n'), 1);
}

void TestGlobals::loggingOffWritesNothing() {
    Globals::Logging = false;
    Globals::LogFile = tmp_.filePath(QStringLiteral("off.log"));
    QFile::remove(Globals::LogFile);
    Globals::WriteLog(QStringLiteral("Sent a.txt"));
    QVERIFY(!QFile::exists(Globals::LogFile));
    QCOMPARE(TFTPServer().Log->ListCount(), 0);

    // Off also means a broken log path stays quiet.
    Globals::LogFile = tmp_.filePath(QStringLiteral("missing/off.log"));
    Globals::WriteLog(QStringLiteral("Sent a.txt"));
    QCOMPARE(TFTPServer().Log->ListCount(), 0);
}

void TestGlobals::missingLogFolderGivesOneListLinePerWrite() {
    Globals::Logging = true;
    Globals::LogFile = tmp_.filePath(QStringLiteral("missing/x.log"));
    TransferLog* log = TFTPServer().Log;
    const QString expected = QStringLiteral("Error writing to log file (") + Globals::LogFile +
                             QStringLiteral(") ERROR->") +
                             QString::fromLocal8Bit(std::strerror(ENOENT));

    Globals::WriteLog(QStringLiteral("first"));
    Globals::WriteLog(QStringLiteral("second"));

    QCOMPARE(log->ListCount(), 2);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(log->List(i), expected);
        QCOMPARE(log->ItemData(i), 0);
    }
    QVERIFY(!QDir(tmp_.filePath(QStringLiteral("missing"))).exists());
}

void TestGlobals::fullDiskLeavesNoHalfLine() {
    const QDateTime at(QDate(2026, 1, 5), QTime(12, 0));
    platform::VirtualTime time(at);
    Globals::Logging = true;
    Globals::LogFile = tmp_.filePath(QStringLiteral("full.log"));
    QFile::remove(Globals::LogFile);
    Globals::WriteLog(QStringLiteral("first"));
    const qint64 before = QFileInfo(Globals::LogFile).size();

    // A file-size limit that lets only part of the next line in stands for a disk that fills up.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit low = saved;
    low.rlim_cur = rlim_t(before + 10);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &low), 0);
    Globals::WriteLog(QStringLiteral("a line that does not fit"));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    Globals::WriteLog(QStringLiteral("third"));

    QCOMPARE(QString::fromUtf8(ReadAll(Globals::LogFile)),
             Stamp(at) + QStringLiteral(" :first\r\n") + Stamp(at) + QStringLiteral(" :third\r\n"));
    QCOMPARE(TFTPServer().Log->ListCount(), 1);
    QVERIFY(TFTPServer().Log->List(0).startsWith(QStringLiteral("Error writing to log file (")));
}

void TestGlobals::failedWriteDoesNotBringTheMainWindowBack() {
    ResetTFTPServer();
    Globals::Logging = true;
    Globals::LogFile = tmp_.filePath(QStringLiteral("missing/x.log"));
    Globals::WriteLog(QStringLiteral("after the window closed"));
    QVERIFY(!TFTPServerLoaded());
}

QTEST_GUILESS_MAIN(TestGlobals)
#include "tst_globals.moc"
