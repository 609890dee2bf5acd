#include "platform/registry.h"
#include "test_files.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Run with this switch, the test program writes values as a second registry user would.
constexpr const char* kWriterSwitch = "--write-values";
constexpr const char* kRaceKey = "Software\\Race\\Values";
// Run with this one, it writes one value and is killed the moment the write returns.
constexpr const char* kCrashSwitch = "--write-then-die";
// And with this one, it reads one value, and again once a line comes on its input.
constexpr const char* kReadTwiceSwitch = "--read-twice";
constexpr const char* kOldKey = "Software\\Old";

int writeValues(const char* prefix, int count) {
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const std::string name = prefix + std::to_string(i);
        HKEY key = 0;
        LONG rc = RegCreateKeyA(HKEY_LOCAL_MACHINE, kRaceKey, &key);
        if (rc == ERROR_SUCCESS) {
            rc = RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(name.c_str()),
                                static_cast<DWORD>(name.size() + 1));
        }
        if (rc != ERROR_SUCCESS) {
            std::printf("%s: %ld\n", name.c_str(), static_cast<long>(rc));
            ++failures;
        }
        RegCloseKey(key);
    }
    return failures == 0 ? 0 : 1;
}

LONG setValue(HKEY key, const char* name, DWORD type, const QByteArray& bytes) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.constData()),
                          static_cast<DWORD>(bytes.size()));
}

// The whole value, asking for its size first.
QByteArray readValue(HKEY key, const char* name, LONG* rc = nullptr, DWORD* type = nullptr) {
    DWORD size = 0;
    DWORD t = 0;
    LONG answer = RegQueryValueExA(key, name, nullptr, &t, nullptr, &size);
    QByteArray data(static_cast<qsizetype>(size), '\xAA');
    if (answer == ERROR_SUCCESS) {
        answer =
            RegQueryValueExA(key, name, nullptr, &t, reinterpret_cast<BYTE*>(data.data()), &size);
        data.truncate(static_cast<qsizetype>(size));
    }
    if (rc) {
        *rc = answer;
    }
    if (type) {
        *type = t;
    }
    return answer == ERROR_SUCCESS ? data : QByteArray();
}

int readTwice() {
    for (int i = 0; i < 2; ++i) {
        char line[8];
        if (i == 1 && !std::fgets(line, sizeof line, stdin)) {
            return 1;
        }
        HKEY key = 0;
        LONG rc = RegOpenKeyA(HKEY_LOCAL_MACHINE, kOldKey, &key);
        const QByteArray value = rc == ERROR_SUCCESS ? readValue(key, "v", &rc) : QByteArray();
        RegCloseKey(key);
        std::printf("%s\n", rc == ERROR_SUCCESS ? value.constData() : "(unread)");
        std::fflush(stdout);
    }
    return 0;
}

HKEY openKey(const char* path) {
    HKEY key = 0;
    return RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) == ERROR_SUCCESS ? key : 0;
}

HKEY createKey(const char* path) {
    HKEY key = 0;
    return RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key) == ERROR_SUCCESS ? key : 0;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The number of values in the file as another program sees it.
int valuesSeenByAnother(sqlite3* other) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(other, "SELECT count(*) FROM vals", -1, &st, nullptr);
    const int count = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
    sqlite3_finalize(st);
    return count;
}

// The journal kind in the file's header: 1 for a rollback journal, 2 for a write-ahead log.
int journalKind(const QString& file) {
    const QByteArray header = fileBytes(file).left(20);
    return header.size() == 20 && header[18] == header[19] ? header[18] : -1;
}

} // namespace

class TstRegistry : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void keysOpenCreateAndClose();
    void badPathsAndHandles();
    void valuesKeepTypeAndBytes_data();
    void valuesKeepTypeAndBytes();
    void namesIgnoreCaseAndKeepFirstSpelling();
    void deletingValuesKeysAndTrees();
    void reopenReadsTheEnvironmentAgain();
    void unusableFileFailsCalls_data();
    void unusableFileFailsCalls();
    void readOnlyFileReadsButRefusesWrites();
    void corruptFileIsReportedOnceAndLeftUnchanged_data();
    void corruptFileIsReportedOnceAndLeftUnchanged();
    void concurrentWritersLoseNothing();
    void aWriteOutlivesItsProcess();
    void eachWriteIsInTheFileAlone_data();
    void eachWriteIsInTheFileAlone();
    void aReaderWhoMayNotWriteBesideAnOldStoreFollowsItsWriter();
    void aBatchIsInTheFileAloneWhenItEnds();
    void aFailedBatchStoresNothing_data();
    void aFailedBatchStoresNothing();
    void missingOrOwnStoreIsUsable();

private:
    void useRegistry(const QString& file);

    std::unique_ptr<QTemporaryDir> dir_;
    QString file_;
};

void TstRegistry::useRegistry(const QString& file) {
    qputenv("QUORVANE_REGISTRY", QFile::encodeName(file));
    RegistryReopenForTests();
}

void TstRegistry::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    file_ = dir_->filePath("registry.sqlite3");
    useRegistry(file_);
}

void TstRegistry::cleanup() {
    RegistryReopenForTests();
    dir_.reset();
}

void TstRegistry::keysOpenCreateAndClose() {
    HKEY key = 1;
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\A\\B", &key), ERROR_FILE_NOT_FOUND);
    QCOMPARE(key, HKEY(0));

    QCOMPARE(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\A\\B", &key), ERROR_SUCCESS);
    QVERIFY(key != 0 && key != HKEY_LOCAL_MACHINE);
    // Every missing parent was made, and a key opens relative to an open parent.
    const HKEY software = openKey("Software");
    QVERIFY(software != 0);
    QVERIFY(openKey("Software\\A") != 0);
    HKEY relative = 0;
    QCOMPARE(RegOpenKeyA(software, "A\\B", &relative), ERROR_SUCCESS);
    QVERIFY(relative != key);
    // Keys of one hive are not keys of another.
    HKEY other = 0;
    QCOMPARE(RegOpenKeyA(HKEY_CURRENT_USER, "Software", &other), ERROR_FILE_NOT_FOUND);

    HKEY same = 0;
    QCOMPARE(RegCreateKeyA(HKEY_LOCAL_MACHINE, "", &same), ERROR_SUCCESS);
    QCOMPARE(same, HKEY_LOCAL_MACHINE);
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, nullptr, &same), ERROR_SUCCESS);
    QCOMPARE(same, HKEY_LOCAL_MACHINE);

    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(key), ERROR_INVALID_HANDLE);
    QCOMPARE(RegCloseKey(relative), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(software), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    QCOMPARE(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

void TstRegistry::badPathsAndHandles() {
    HKEY key = 0;
    for (const char* path : {"\\Software", "Software\\\\A", "\\"}) {
        QCOMPARE(RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_BAD_PATHNAME);
        QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_BAD_PATHNAME);
    }
    QVERIFY(openKey("Software") == 0); // nothing was made on the way
    // One trailing separator names the same key.
    QCOMPARE(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\", &key), ERROR_SUCCESS);
    QVERIFY(openKey("Software") != 0);

    QCOMPARE(RegCloseKey(key), ERROR_SUCCESS);
    const BYTE byte = 0;
    DWORD size = 0;
    for (const HKEY bad : {HKEY(0), key, HKEY(0x80000004)}) {
        QCOMPARE(RegSetValueExA(bad, "v", 0, REG_SZ, &byte, 1), ERROR_INVALID_HANDLE);
        QCOMPARE(RegQueryValueExA(bad, "v", nullptr, nullptr, nullptr, &size),
                 ERROR_INVALID_HANDLE);
        QCOMPARE(RegOpenKeyA(bad, "x", &key), ERROR_INVALID_HANDLE);
        QCOMPARE(RegCreateKeyA(bad, "x", &key), ERROR_INVALID_HANDLE);
    }
    QCOMPARE(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software", nullptr), ERROR_INVALID_PARAMETER);
    QCOMPARE(RegSetValueExA(HKEY_LOCAL_MACHINE, "v", 0, REG_SZ, nullptr, 1),
             ERROR_INVALID_PARAMETER);
}

void TstRegistry::valuesKeepTypeAndBytes_data() {
    QTest::addColumn<uint>("type");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("text with its NUL") << uint(REG_SZ) << QByteArray("abc", 4);
    QTest::newRow("text without a NUL") << uint(REG_SZ) << QByteArray("abc");
    QTest::newRow("embedded NUL") << uint(REG_SZ) << QByteArray("ab\0cd", 6);
    QTest::newRow("no bytes at all") << uint(REG_SZ) << QByteArray();
    QTest::newRow("Latin-1 bytes") << uint(REG_EXPAND_SZ) << QByteArray("\xe9t\xe9", 4);
    QTest::newRow("dword") << uint(REG_DWORD) << QByteArray("\x78\x56\x34\x12", 4);
    QTest::newRow("binary") << uint(REG_BINARY) << QByteArray("\0\xff\0", 3);
    QTest::newRow("multi") << uint(REG_MULTI_SZ) << QByteArray("a\0b\0\0", 5);
}

void TstRegistry::valuesKeepTypeAndBytes() {
    QFETCH(uint, type);
    QFETCH(QByteArray, bytes);
    const HKEY key = createKey("Software\\Values");
    QVERIFY(key != 0);
    QCOMPARE(setValue(key, "v", REG_NONE, "older, longer value"), ERROR_SUCCESS);
    QCOMPARE(setValue(key, "v", type, bytes), ERROR_SUCCESS);

    // No buffer: the type and the size only.
    DWORD t = 99;
    DWORD size = 0;
    QCOMPARE(RegQueryValueExA(key, "v", nullptr, &t, nullptr, &size), ERROR_SUCCESS);
    QCOMPARE(t, DWORD(type));
    QCOMPARE(size, DWORD(bytes.size()));
    if (size > 0) {
        QByteArray small(bytes.size() - 1, 'x');
        DWORD smallSize = size - 1;
        QCOMPARE(RegQueryValueExA(key, "v", nullptr, &t, reinterpret_cast<BYTE*>(small.data()),
                                  &smallSize),
                 ERROR_MORE_DATA);
        QCOMPARE(smallSize, size);
    }
    // A larger buffer than needed: the size comes back as the value's own.
    QByteArray big(bytes.size() + 8, 'x');
    DWORD bigSize = static_cast<DWORD>(big.size());
    QCOMPARE(RegQueryValueExA(key, "v", nullptr, &t, reinterpret_cast<BYTE*>(big.data()), &bigSize),
             ERROR_SUCCESS);
    QCOMPARE(big.left(bigSize), bytes);

    // The bytes are in the file, not in this process.
    RegCloseKey(key);
    RegistryReopenForTests();
    DWORD reread = 0;
    QCOMPARE(readValue(openKey("Software\\Values"), "v", nullptr, &reread), bytes);
    QCOMPARE(reread, DWORD(type));
}

void TstRegistry::namesIgnoreCaseAndKeepFirstSpelling() {
    const HKEY key = createKey("Software\\MixedCase\\Caf\xC9");
    QVERIFY(key != 0);
    QCOMPARE(setValue(key, "RootDir", REG_SZ, QByteArray("a", 2)), ERROR_SUCCESS);

    const HKEY again = openKey("SOFTWARE\\mixedcase\\CAF\xE9");
    QVERIFY(again != 0);
    LONG rc = 0;
    QCOMPARE(readValue(again, "ROOTDIR", &rc), QByteArray("a", 2));
    QCOMPARE(setValue(again, "rootdir", REG_SZ, QByteArray("b", 2)), ERROR_SUCCESS);
    QVERIFY(createKey("software\\MIXEDCASE\\caf\xe9\\Sub") != 0);

    // One value under its first name; one key under its first name.
    char name[64];
    DWORD length = sizeof name;
    QCOMPARE(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
             ERROR_SUCCESS);
    QCOMPARE(QByteArray(name, length), QByteArray("RootDir"));
    length = sizeof name;
    QCOMPARE(RegEnumValueA(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr),
             ERROR_NO_MORE_ITEMS);
    QCOMPARE(readValue(key, "RootDir"), QByteArray("b", 2));
    QCOMPARE(RegEnumKeyA(openKey("Software\\MixedCase"), 0, name, sizeof name), ERROR_SUCCESS);
    QCOMPARE(QByteArray(name), QByteArray("Caf\xC9"));
    QCOMPARE(RegEnumKeyA(openKey("Software\\MixedCase"), 1, name, sizeof name),
             ERROR_NO_MORE_ITEMS);
    QCOMPARE(RegEnumKeyA(openKey("Software\\MixedCase"), 0, name, 4), ERROR_MORE_DATA);
}

void TstRegistry::deletingValuesKeysAndTrees() {
    const HKEY tree = createKey("Software\\Tree");
    QVERIFY(tree != 0);
    QVERIFY(createKey("Software\\Tree\\Leaf") != 0);
    QVERIFY(createKey("Software\\Tree\\Branch\\Leaf") != 0);
    // Siblings whose names begin like the tree's are not part of it.
    QVERIFY(createKey("Software\\Tree2") != 0);
    QCOMPARE(setValue(openKey("Software\\Tree2"), "v", REG_SZ, "x"), ERROR_SUCCESS);
    QCOMPARE(setValue(tree, "v", REG_SZ, "x"), ERROR_SUCCESS);

    QCOMPARE(RegDeleteValueA(tree, "V"), ERROR_SUCCESS);
    QCOMPARE(RegDeleteValueA(tree, "v"), ERROR_FILE_NOT_FOUND);
    QCOMPARE(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Tree\\Branch"), ERROR_ACCESS_DENIED);
    QCOMPARE(RegDeleteKeyA(tree, "leaf"), ERROR_SUCCESS);
    QVERIFY(openKey("Software\\Tree\\Leaf") == 0);
    QCOMPARE(RegDeleteKeyA(tree, "leaf"), ERROR_FILE_NOT_FOUND);

    QCOMPARE(setValue(openKey("Software\\Tree\\Branch\\Leaf"), "deep", REG_SZ, "x"), ERROR_SUCCESS);
    QCOMPARE(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Tree"), ERROR_SUCCESS);
    QVERIFY(openKey("Software\\Tree") == 0);
    QVERIFY(openKey("Software\\Tree\\Branch\\Leaf") == 0);
    QVERIFY(openKey("Software\\Tree2") != 0);
    QCOMPARE(readValue(openKey("Software\\Tree2"), "v"), QByteArray("x"));

    // A handle outlives its key, but nothing more is written through it.
    QCOMPARE(setValue(tree, "v", REG_SZ, "x"), ERROR_KEY_DELETED);
    HKEY below = 0;
    QCOMPARE(RegCreateKeyA(tree, "Again", &below), ERROR_KEY_DELETED);
    QVERIFY(createKey("Software\\Tree\\Branch\\Leaf") != 0);
    QCOMPARE(readValue(openKey("Software\\Tree\\Branch\\Leaf"), "deep"), QByteArray());

    // An empty subkey clears the key itself and keeps it.
    QCOMPARE(RegDeleteTreeA(openKey("Software\\Tree2"), ""), ERROR_SUCCESS);
    QVERIFY(openKey("Software\\Tree2") != 0);
    LONG rc = 0;
    readValue(openKey("Software\\Tree2"), "v", &rc);
    QCOMPARE(rc, ERROR_FILE_NOT_FOUND);
    QCOMPARE(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

void TstRegistry::reopenReadsTheEnvironmentAgain() {
    QCOMPARE(setValue(createKey("Software\\A"), "v", REG_SZ, "first"), ERROR_SUCCESS);
    useRegistry(dir_->filePath("other/registry.sqlite3"));
    QVERIFY(openKey("Software\\A") == 0);
    QCOMPARE(setValue(createKey("Software\\A"), "v", REG_SZ, "second"), ERROR_SUCCESS);
    QVERIFY(QFile::exists(dir_->filePath("other/registry.sqlite3")));
    useRegistry(file_);
    QCOMPARE(readValue(openKey("Software\\A"), "v"), QByteArray("first"));
}

void TstRegistry::unusableFileFailsCalls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    QTest::newRow("folder is a file") << "plain/registry.sqlite3"
                                      << "Not a directory";
    QTest::newRow("file is a folder") << "folder"
                                      << "it is a folder";
}

void TstRegistry::unusableFileFailsCalls() {
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QFile plain(dir_->filePath("plain"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QVERIFY(QDir(dir_->path()).mkdir("folder"));
    useRegistry(dir_->filePath(name));
    std::string file;
    std::string why;
    QVERIFY(!RegistryUsable(file, why));
    QCOMPARE(QString::fromStdString(file), dir_->filePath(name));
    QCOMPARE(QString::fromStdString(why), reason);

    HKEY key = 0;
    QVERIFY(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\A", &key) != ERROR_SUCCESS);
    QCOMPARE(key, HKEY(0));
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software", &key), ERROR_FILE_NOT_FOUND);
    QVERIFY(setValue(HKEY_LOCAL_MACHINE, "v", REG_SZ, "x") != ERROR_SUCCESS);
    LONG rc = 0;
    readValue(HKEY_LOCAL_MACHINE, "v", &rc);
    QCOMPARE(rc, ERROR_FILE_NOT_FOUND);
    QCOMPARE(fileBytes(dir_->filePath("plain")), QByteArray());
}

void TstRegistry::readOnlyFileReadsButRefusesWrites() {
    if (geteuid() == 0) {
        QSKIP("the superuser writes to read-only files");
    }
    QCOMPARE(setValue(createKey("Software\\A"), "v", REG_SZ, "kept"), ERROR_SUCCESS);
    RegistryReopenForTests();
    QVERIFY(QFile::setPermissions(file_, QFile::ReadOwner));
    const QByteArray before = fileBytes(file_);

    QCOMPARE(readValue(openKey("Software\\A"), "v"), QByteArray("kept"));
    HKEY key = 0;
    QCOMPARE(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\B", &key), ERROR_ACCESS_DENIED);
    QCOMPARE(setValue(openKey("Software\\A"), "v", REG_SZ, "lost"), ERROR_ACCESS_DENIED);
    QCOMPARE(readValue(openKey("Software\\A"), "v"), QByteArray("kept"));
    QCOMPARE(fileBytes(file_), before);
    QFile::setPermissions(file_, QFile::ReadOwner | QFile::WriteOwner);
}

void TstRegistry::corruptFileIsReportedOnceAndLeftUnchanged_data() {
    QTest::addColumn<bool>("foreignDatabase");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not a database") << false << "it is not a database";
    QTest::newRow("another program's database") << true << "another program's database";
}

void TstRegistry::corruptFileIsReportedOnceAndLeftUnchanged() {
    QFETCH(bool, foreignDatabase);
    QFETCH(QString, reason);
    RegistryReopenForTests();
    QFile::remove(file_);
    if (foreignDatabase) {
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(file_).constData(), &db), SQLITE_OK);
        QCOMPARE(sqlite3_exec(db, "CREATE TABLE keys(x); INSERT INTO keys VALUES(1);", nullptr,
                              nullptr, nullptr),
                 SQLITE_OK);
        sqlite3_close(db);
    } else {
        QFile f(file_);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("these are the operator's notes, not a database\n").repeated(100));
    }
    const QByteArray before = fileBytes(file_);

    std::string file;
    std::string why;
    QVERIFY(!RegistryUsable(file, why));
    QCOMPARE(QString::fromStdString(why), reason);
    HKEY key = 0;
    QCOMPARE(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software", &key), ERROR_FILE_NOT_FOUND);
    QCOMPARE(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\A", &key), ERROR_BADDB);
    QCOMPARE(setValue(HKEY_LOCAL_MACHINE, "v", REG_SZ, "x"), ERROR_BADDB);
    QCOMPARE(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software"), ERROR_BADDB);
    LONG rc = 0;
    readValue(HKEY_LOCAL_MACHINE, "v", &rc);
    QCOMPARE(rc, ERROR_FILE_NOT_FOUND);

    // Another process finds it the same way and says so once, however many calls it makes.
    QProcess writer;
    writer.start(QCoreApplication::applicationFilePath(), {kWriterSwitch, "X", "5"});
    QVERIFY(writer.waitForFinished(60000));
    QCOMPARE(writer.exitCode(), 1);
    const QList<QByteArray> lines = writer.readAllStandardError().trimmed().split('\n');
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(QFile::encodeName(file_)), lines.first().constData());

    QCOMPARE(fileBytes(file_), before);
    QVERIFY(!QFile::exists(file_ + "-journal"));
    QVERIFY(!QFile::exists(file_ + "-wal"));
}

void TstRegistry::aWriteOutlivesItsProcess() {
    // Its store is in use by this process too, as the program's is by qreg.
    QCOMPARE(setValue(createKey(kRaceKey), "mine", REG_SZ, "x"), ERROR_SUCCESS);
    QProcess writer;
    writer.start(QCoreApplication::applicationFilePath(), {kCrashSwitch});
    QVERIFY(writer.waitForFinished(60000));
    QCOMPARE(writer.exitStatus(), QProcess::CrashExit);
    QCOMPARE(readValue(openKey(kRaceKey), "D0"), QByteArray("D0", 3));
    RegistryReopenForTests();
    QCOMPARE(readValue(openKey(kRaceKey), "D0"), QByteArray("D0", 3));
}

void TstRegistry::eachWriteIsInTheFileAlone_data() {
    QTest::addColumn<QByteArray>("otherMode");
    QTest::newRow("nobody else has it open") << QByteArray();
    QTest::newRow("another program has it open") << QByteArray("delete");
    QTest::newRow("an older version holds it with a write-ahead log") << QByteArray("wal");
}

void TstRegistry::eachWriteIsInTheFileAlone() {
    QFETCH(QByteArray, otherMode);
    const HKEY key = createKey("Software\\One");
    QVERIFY(key != 0);
    RegistryReopenForTests();
    sqlite3* other = nullptr;
    if (!otherMode.isEmpty()) {
        QCOMPARE(sqlite3_open(QFile::encodeName(file_).constData(), &other), SQLITE_OK);
        const QByteArray sql = "PRAGMA journal_mode = " + otherMode + "; SELECT count(*) FROM vals";
        QCOMPARE(sqlite3_exec(other, sql.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    }
    // A copy of the file alone, taken the moment a write returns, holds the value.
    const QString copy = dir_->filePath("copy.sqlite3");
    for (const char* value : {"first", "second"}) {
        QCOMPARE(setValue(key, "v", REG_SZ, value), ERROR_SUCCESS);
        QFile::remove(copy);
        QVERIFY(QFile::copy(file_, copy));
        useRegistry(copy);
        QCOMPARE(readValue(openKey("Software\\One"), "v"), QByteArray(value));
        useRegistry(file_);
    }
    // Once the older version lets go, the next write takes the file to the rollback journal.
    sqlite3_close(other);
    QCOMPARE(setValue(key, "v", REG_SZ, "third"), ERROR_SUCCESS);
    QCOMPARE(journalKind(file_), 1);
    QVERIFY(!QFile::exists(file_ + "-wal"));
    QVERIFY(!QFile::exists(file_ + "-shm"));
}

// A store as an older version left it, with a write-ahead log and without its side files, read
// by a user who may not make them: the value it holds, then the one its first writer stores.
void TstRegistry::aReaderWhoMayNotWriteBesideAnOldStoreFollowsItsWriter() {
    if (geteuid() != 0) {
        QSKIP("reading as another user needs the superuser");
    }
    QCOMPARE(setValue(createKey(kOldKey), "v", REG_SZ, "old"), ERROR_SUCCESS);
    RegistryReopenForTests();
    sqlite3* db = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(file_).constData(), &db), SQLITE_OK);
    QCOMPARE(sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    QCOMPARE(journalKind(file_), 2);
    QVERIFY(!QFile::exists(file_ + "-wal"));
    QVERIFY(QFile::setPermissions(dir_->path(), QFile::ReadOwner | QFile::WriteOwner |
                                                    QFile::ExeOwner | QFile::ReadOther |
                                                    QFile::ExeOther));

    QProcess reader;
    reader.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                             QCoreApplication::applicationFilePath(), kReadTwiceSwitch});
    QVERIFY(reader.waitForStarted(30000));
    QVERIFY(reader.waitForReadyRead(30000));
    QCOMPARE(reader.readLine().trimmed(), QByteArray("old"));
    QCOMPARE(setValue(openKey(kOldKey), "v", REG_SZ, "new"), ERROR_SUCCESS);
    reader.write("\n");
    QVERIFY(reader.waitForFinished(30000));
    QCOMPARE(reader.readAllStandardOutput().trimmed(), QByteArray("new"));
    QCOMPARE(reader.readAllStandardError(), QByteArray());
    QCOMPARE(reader.exitCode(), 0);
}

void TstRegistry::aBatchIsInTheFileAloneWhenItEnds() {
    const HKEY key = createKey("Software\\Batch");
    QCOMPARE(setValue(key, "dropped", REG_SZ, "x"), ERROR_SUCCESS);
    const QByteArray before = fileBytes(file_);
    const quint32 commits = storeCommits(file_);
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(file_).constData(), &other), SQLITE_OK);
    {
        RegistryBatch batch;
        QCOMPARE(setValue(key, "a", REG_SZ, "1"), ERROR_SUCCESS);
        {
            RegistryBatch inner;
            QCOMPARE(setValue(createKey("Software\\Batch\\Sub"), "b", REG_SZ, "2"), ERROR_SUCCESS);
            QCOMPARE(inner.Commit(), ERROR_SUCCESS);
        }
        // A write the store refuses is left out, and the batch goes on.
        QCOMPARE(RegDeleteValueA(key, "absent"), ERROR_FILE_NOT_FOUND);
        QCOMPARE(RegDeleteValueA(key, "dropped"), ERROR_SUCCESS);
        QCOMPARE(setValue(key, "c", REG_SZ, "3"), ERROR_SUCCESS);
        // This process reads what it wrote; the file and other programs have none of it yet.
        QCOMPARE(readValue(openKey("Software\\Batch\\Sub"), "b"), QByteArray("2"));
        QCOMPARE(fileBytes(file_), before);
        QCOMPARE(valuesSeenByAnother(other), 1);
    }
    QCOMPARE(valuesSeenByAnother(other), 3);
    sqlite3_close(other);
    QCOMPARE(storeCommits(file_), commits + 1);
    // A copy of the file alone holds all of it.
    const QString copy = dir_->filePath("copy.sqlite3");
    QVERIFY(QFile::copy(file_, copy));
    useRegistry(copy);
    const HKEY copied = openKey("Software\\Batch");
    QCOMPARE(readValue(copied, "a"), QByteArray("1"));
    QCOMPARE(readValue(copied, "c"), QByteArray("3"));
    QCOMPARE(readValue(openKey("Software\\Batch\\Sub"), "b"), QByteArray("2"));
    LONG rc = 0;
    readValue(copied, "dropped", &rc);
    QCOMPARE(rc, ERROR_FILE_NOT_FOUND);
    // Past the batch, each write is a commit of its own again.
    useRegistry(file_);
    QCOMPARE(setValue(openKey("Software\\Batch"), "d", REG_SZ, "4"), ERROR_SUCCESS);
    QCOMPARE(storeCommits(file_), commits + 2);
}

void TstRegistry::aFailedBatchStoresNothing_data() {
    QTest::addColumn<bool>("lockedFirst");
    QTest::newRow("another writer holds the store at the batch's first write") << true;
    QTest::newRow("another program is reading when the batch commits") << false;
}

// A batch the store cannot take answers as a single write would, and leaves the file as it was.
void TstRegistry::aFailedBatchStoresNothing() {
    QFETCH(bool, lockedFirst);
    const HKEY key = createKey("Software\\Batch");
    QCOMPARE(setValue(key, "v", REG_SZ, "old"), ERROR_SUCCESS);
    const QByteArray before = fileBytes(file_);
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(file_).constData(), &other), SQLITE_OK);
    {
        RegistryBatch batch;
        if (lockedFirst) {
            QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
            QCOMPARE(setValue(key, "v", REG_SZ, "new"), ERROR_CANTWRITE);
            // The rest is refused at once, not after a wait of its own for each value.
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(setValue(key, "w", REG_SZ, "new"), ERROR_CANTWRITE);
            QVERIFY(clock.elapsed() < 2500);
        } else {
            QCOMPARE(setValue(key, "v", REG_SZ, "new"), ERROR_SUCCESS);
            QCOMPARE(setValue(key, "w", REG_SZ, "new"), ERROR_SUCCESS);
            QCOMPARE(
                sqlite3_exec(other, "BEGIN; SELECT count(*) FROM vals", nullptr, nullptr, nullptr),
                SQLITE_OK);
        }
        QCOMPARE(batch.Commit(), ERROR_CANTWRITE);
        QCOMPARE(batch.Commit(), ERROR_SUCCESS);
    }
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    QCOMPARE(fileBytes(file_), before);
    QVERIFY(!QFile::exists(file_ + "-journal"));
    QCOMPARE(readValue(key, "v"), QByteArray("old"));
    LONG rc = 0;
    readValue(key, "w", &rc);
    QCOMPARE(rc, ERROR_FILE_NOT_FOUND);
    QCOMPARE(setValue(key, "v", REG_SZ, "later"), ERROR_SUCCESS);
}

void TstRegistry::missingOrOwnStoreIsUsable() {
    std::string file;
    std::string why;
    QVERIFY(RegistryUsable(file, why));
    QCOMPARE(QString::fromStdString(file), file_);
    QVERIFY(createKey("Software\\A") != 0);
    RegistryReopenForTests();
    QVERIFY(RegistryUsable(file, why));
    QVERIFY(why.empty());
}

void TstRegistry::concurrentWritersLoseNothing() {
    constexpr int kPerWriter = 200;
    QProcess first;
    QProcess second;
    const QString self = QCoreApplication::applicationFilePath();
    first.start(self, {kWriterSwitch, "A", QString::number(kPerWriter)});
    second.start(self, {kWriterSwitch, "B", QString::number(kPerWriter)});
    QVERIFY(first.waitForFinished(240000));
    QVERIFY(second.waitForFinished(240000));
    QVERIFY2(first.exitCode() == 0, first.readAllStandardOutput().constData());
    QVERIFY2(second.exitCode() == 0, second.readAllStandardOutput().constData());
    QCOMPARE(first.readAllStandardError(), QByteArray());

    const HKEY key = openKey(kRaceKey);
    QVERIFY(key != 0);
    for (const char* prefix : {"A", "B"}) {
        for (int i = 0; i < kPerWriter; ++i) {
            const QByteArray name = prefix + QByteArray::number(i);
            QCOMPARE(readValue(key, name.constData()),
                     QByteArray(name.constData(), name.size() + 1));
        }
    }
    char name[32];
    DWORD length = sizeof name;
    QCOMPARE(
        RegEnumValueA(key, 2 * kPerWriter - 1, name, &length, nullptr, nullptr, nullptr, nullptr),
        ERROR_SUCCESS);
    length = sizeof name;
    QCOMPARE(RegEnumValueA(key, 2 * kPerWriter, name, &length, nullptr, nullptr, nullptr, nullptr),
             ERROR_NO_MORE_ITEMS);
}

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], kWriterSwitch) == 0) {
        return writeValues(argv[2], std::atoi(argv[3]));
    }
    if (argc == 2 && std::strcmp(argv[1], kReadTwiceSwitch) == 0) {
        return readTwice();
    }
    if (argc == 2 && std::strcmp(argv[1], kCrashSwitch) == 0) {
        writeValues("D", 1);
        ::kill(::getpid(), SIGKILL);
    }
    QCoreApplication app(argc, argv);
    TstRegistry test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_registry.moc"
