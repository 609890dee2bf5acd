#include "toolkit/registry_support.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace RegistrySupport;

namespace {

constexpr const char* kConfigPath = "Software\\Quorvane.Net\\TFTP Server\\Config";

HKEY openKey(const char* path) {
    HKEY key = 0;
    return RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) == ERROR_SUCCESS ? key : 0;
}

// The value exactly as stored: its type and its bytes.
QByteArray rawValue(const char* path, const char* name, DWORD& type) {
    const HKEY key = openKey(path);
    QByteArray data(256, '\0');
    DWORD size = static_cast<DWORD>(data.size());
    type = REG_NONE;
    const LONG rc =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? data.left(size) : QByteArray();
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TstRegistrySupport : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void nothingStoredGivesTheDefaultText_data();
    void nothingStoredGivesTheDefaultText();
    void firstSaveCreatesThePathAndStoresText_data();
    void firstSaveCreatesThePathAndStoresText();
    void storedValuesRead_data();
    void storedValuesRead();
    void namesIgnoreCase();
    void primitivesRefuseWithoutCalling();
    void brokenRegistryGivesDefaultsAndKeepsTheFile_data();
    void brokenRegistryGivesDefaultsAndKeepsTheFile();
    void cutAtNul_data();
    void cutAtNul();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString file_;
};

void TstRegistrySupport::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    file_ = dir_->filePath("registry.sqlite3");
    qputenv("QUORVANE_REGISTRY", QFile::encodeName(file_));
    RegistryReopenForTests();
}

void TstRegistrySupport::cleanup() {
    RegistryReopenForTests();
    dir_.reset();
}

void TstRegistrySupport::nothingStoredGivesTheDefaultText_data() {
    QTest::addColumn<QVariant>("defaultValue");
    QTest::addColumn<QString>("expected");
    QTest::newRow("true") << QVariant(true) << "True";
    QTest::newRow("false") << QVariant(false) << "False";
    QTest::newRow("whole number") << QVariant(9900000) << "9900000";
    QTest::newRow("number as double") << QVariant(9900000.0) << "9900000";
    QTest::newRow("text") << QVariant(QStringLiteral("C:\\TFTP-Root")) << "C:\\TFTP-Root";
    QTest::newRow("empty") << QVariant(QString()) << "";
}

void TstRegistrySupport::nothingStoredGivesTheDefaultText() {
    QFETCH(QVariant, defaultValue);
    QFETCH(QString, expected);
    QCOMPARE(GetRegSetting("TFTP Server", "Config", "RootDir", defaultValue), expected);
    QCOMPARE(GetRegSetting("TFTP Server", "IP Ranges",
                           QVariant(QStringLiteral("Start IP Range ") + QString::number(1)),
                           defaultValue),
             expected);
    // Reading made no key.
    QCOMPARE(openKey("Software\\Quorvane.Net"), HKEY(0));
    QCOMPARE(openKey("Software"), HKEY(0));
}

void TstRegistrySupport::firstSaveCreatesThePathAndStoresText_data() {
    QTest::addColumn<QVariant>("setting");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("false") << QVariant(false) << QByteArray("False", 6);
    QTest::newRow("true") << QVariant(true) << QByteArray("True", 5);
    QTest::newRow("number") << QVariant(30) << QByteArray("30", 3);
    QTest::newRow("empty text") << QVariant(QString()) << QByteArray("", 1);
    QTest::newRow("non-ASCII text") << QVariant(QStringLiteral("/srv/caf\u00e9-\u0416"))
                                    << QByteArray("/srv/caf\xc3\xa9-\xd0\x96", 14);
}

void TstRegistrySupport::firstSaveCreatesThePathAndStoresText() {
    QFETCH(QVariant, setting);
    QFETCH(QByteArray, stored);
    SaveRegSetting("TFTP Server", "Config", "ReceiveOnly", setting);

    DWORD type = REG_NONE;
    QCOMPARE(rawValue(kConfigPath, "ReceiveOnly", type), stored);
    QCOMPARE(type, REG_SZ);
    QCOMPARE(GetRegSetting("TFTP Server", "Config", "ReceiveOnly", "default"),
             SettingText(setting));
    // A second section beside the first.
    SaveRegSetting("TFTP Server", "IP Ranges", "End IP Range 100", "10.0.0.1");
    QCOMPARE(GetRegSetting("TFTP Server", "IP Ranges", "End IP Range 100", ""), "10.0.0.1");
    QCOMPARE(GetRegSetting("TFTP Server", "Config", "ReceiveOnly", "default"),
             SettingText(setting));
}

void TstRegistrySupport::storedValuesRead_data() {
    QTest::addColumn<uint>("type");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty text is not the default") << uint(REG_SZ) << QByteArray("", 1) << "";
    QTest::newRow("no bytes at all") << uint(REG_SZ) << QByteArray() << "";
    QTest::newRow("embedded NUL") << uint(REG_SZ) << QByteArray("ab\0cd", 6) << "ab";
    QTest::newRow("no terminating NUL") << uint(REG_SZ) << QByteArray("/srv/tftp") << "/srv/tftp";
    QTest::newRow("UTF-8") << uint(REG_SZ) << QByteArray("\xc3\xa9t\xc3\xa9", 6) << "\u00e9t\u00e9";
    QTest::newRow("dword") << uint(REG_DWORD) << QByteArray("\x01\0\0\0", 4) << "default";
    QTest::newRow("expand text") << uint(REG_EXPAND_SZ) << QByteArray("%TEMP%", 7) << "default";
    QTest::newRow("multi text") << uint(REG_MULTI_SZ) << QByteArray("a\0\0", 3) << "default";
    QTest::newRow("binary") << uint(REG_BINARY) << QByteArray("abc", 4) << "default";
}

void TstRegistrySupport::storedValuesRead() {
    QFETCH(uint, type);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    HKEY key = 0;
    QVERIFY(CreateKey(HKEY_LOCAL_MACHINE, kConfigPath, key));
    QCOMPARE(RegSetValueExA(key, "RootDir", 0, type,
                            reinterpret_cast<const BYTE*>(bytes.constData()),
                            static_cast<DWORD>(bytes.size())),
             ERROR_SUCCESS);
    QVERIFY(CloseKey(key));
    QCOMPARE(GetRegSetting("TFTP Server", "Config", "RootDir", "default"), expected);
}

void TstRegistrySupport::namesIgnoreCase() {
    SaveRegSetting("tftp server", "CONFIG", "rootdir", "/srv/a");
    QCOMPARE(GetRegSetting("TFTP Server", "Config", "RootDir", "default"), "/srv/a");
    SaveRegSetting("TFTP Server", "Config", "ROOTDIR", "/srv/b");
    QCOMPARE(GetRegSetting("tftp SERVER", "config", "RootDir", "default"), "/srv/b");
}

void TstRegistrySupport::primitivesRefuseWithoutCalling() {
    HKEY key = 0;
    // An empty path would name the hive itself.
    QVERIFY(!CreateKey(HKEY_LOCAL_MACHINE, QString(), key));
    QCOMPARE(key, HKEY(0));
    QVERIFY(!SetStringValue(0, "RootDir", "x"));
    QVERIFY(!OpenKey(HKEY_LOCAL_MACHINE, kConfigPath, key));
    QVERIFY(!CloseKey(0));

    // A failed read leaves the out text as it was.
    QVERIFY(CreateKey(HKEY_LOCAL_MACHINE, kConfigPath, key));
    QString text = "untouched";
    QVERIFY(!QueryStringValue(key, "Missing", text));
    QCOMPARE(text, "untouched");
    QVERIFY(SetStringValue(key, "Present", ""));
    QVERIFY(QueryStringValue(key, "Present", text));
    QCOMPARE(text, "");
    QVERIFY(CloseKey(key));
    QVERIFY(!CloseKey(key));
}

void TstRegistrySupport::brokenRegistryGivesDefaultsAndKeepsTheFile_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("cannot be made") << "notes/registry.sqlite3" << QByteArray();
    QTest::newRow("not a database") << "notes" << QByteArray("RootDir=/srv\n").repeated(50);
}

void TstRegistrySupport::brokenRegistryGivesDefaultsAndKeepsTheFile() {
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    const QString notes = dir_->filePath("notes");
    QFile f(notes);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();
    qputenv("QUORVANE_REGISTRY", QFile::encodeName(dir_->filePath(name)));
    RegistryReopenForTests();

    SaveRegSetting("TFTP Server", "Config", "RootDir", "/srv/new");
    QCOMPARE(GetRegSetting("TFTP Server", "Config", "RootDir", "/default"), "/default");
    QCOMPARE(GetRegSetting("Quorvane 2003", "Common", "ToolTips", true), "True");
    QCOMPARE(fileBytes(notes), content);
}

void TstRegistrySupport::cutAtNul_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no NUL") << "abc"
                            << "abc";
    QTest::newRow("NUL inside") << QString::fromLatin1("ab\0cd\0", 6) << "ab";
    QTest::newRow("NUL first") << QString::fromLatin1("\0abc", 4) << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TstRegistrySupport::cutAtNul() {
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(CutAtNul(text), expected);
}

QTEST_GUILESS_MAIN(TstRegistrySupport)
#include "tst_registry_support.moc"
