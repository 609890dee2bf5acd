#include "platform/win_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

using namespace platform;

namespace {

constexpr DWORD kSequential = FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL;

void WriteText(const QString& path, const QByteArray& text) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(text), text.size());
}

QByteArray ReadText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Reads what is left of an open file, in blocks as the read transfer does.
QByteArray ReadRest(HANDLE file) {
    QByteArray all;
    char block[512];
    DWORD got = 0;
    while (ReadFile(file, block, sizeof block, &got, nullptr) && got > 0)
        all.append(block, got);
    return all;
}

int OpenDescriptors() {
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
        .size();
}

} // namespace

class TestWinFile : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void shareModes_data();
    void shareModes();
    void readOnlyFile();
    void confinement_data();
    void confinement();
    void refusedOpens_data();
    void refusedOpens();
    void plainFileCount_data();
    void plainFileCount();
    void deleteIsLiteral();
    void dispositions();
    void positionReadAndWrite();
    void sizeHalvesOfLargeFile();
    void handlesAreChecked();
    void descriptorsReleased();
    void plainPathsUseBothSeparators();
    void errorTexts_data();
    void errorTexts();

private:
    HANDLE OpenAs(const QByteArray& kind, const QByteArray& name);
    QString RootPath(const QString& name) const { return root_ + QLatin1Char('/') + name; }

    QTemporaryDir base_;
    QString root_;
    QString outside_;
    QByteArray rootBytes_;
};

void TestWinFile::initTestCase() {
    QVERIFY(base_.isValid());
    root_ = base_.filePath(QStringLiteral("root"));
    outside_ = base_.filePath(QStringLiteral("outside"));
    rootBytes_ = root_.toLocal8Bit();
    QVERIFY(QDir().mkpath(root_ + QStringLiteral("/sub")));
    QVERIFY(QDir().mkpath(outside_));
    WriteText(outside_ + QStringLiteral("/secret.txt"), "secret");

    // Plain files: a.txt, b.txt, ab.bin, a*b, axb and the link linkin.
    WriteText(RootPath(QStringLiteral("a.txt")), "alpha");
    WriteText(RootPath(QStringLiteral("b.txt")), "bravo");
    WriteText(RootPath(QStringLiteral("ab.bin")), "x");
    WriteText(RootPath(QStringLiteral("a*b")), "star");
    WriteText(RootPath(QStringLiteral("axb")), "ex");
    WriteText(RootPath(QStringLiteral(".hidden")), "hidden");
    WriteText(RootPath(QStringLiteral("sub/inner.txt")), "inner");
    WriteText(RootPath(QStringLiteral("sub/.hid")), "hid");
    const QByteArray r = rootBytes_;
    QCOMPARE(::symlink("a.txt", r + "/linkin"), 0);
    QCOMPARE(::symlink("../outside/secret.txt", r + "/linkout"), 0);
    QCOMPARE(::symlink("../outside", r + "/linkdirout"), 0);
    QCOMPARE(::symlink(r + "/a.txt", r + "/absin"), 0);
    QCOMPARE(::mkfifo(r + "/fifo", 0644), 0);

    const QByteArray socketPath = r + "/sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(socketPath.size()) < sizeof address.sun_path);
    qstrcpy(address.sun_path, socketPath.constData());
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(s >= 0);
    QCOMPARE(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(s);
    // A device node needs CAP_MKNOD; without it the cases that name it still hold.
    if (::mknod(r + "/dev", S_IFCHR | 0666, makedev(1, 3)) != 0)
        qInfo("no device node in the fixture: %s", strerror(errno));
}

HANDLE TestWinFile::OpenAs(const QByteArray& kind, const QByteArray& name) {
    if (kind == "read")
        return CreateFileBeneath(rootBytes_, name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                 kSequential);
    if (kind == "read sharing write")
        return CreateFileBeneath(rootBytes_, name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 OPEN_EXISTING, kSequential);
    if (kind == "write")
        return CreateFileBeneath(rootBytes_, name, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS,
                                 kSequential);
    if (kind == "replace")
        return CreateFileBeneath(rootBytes_, name, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS,
                                 kSequential);
    qFatal("unknown open kind");
}

void TestWinFile::shareModes_data() {
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QByteArray>("secondName");
    QTest::addColumn<uint>("error");

    QTest::newRow("readers share")
        << QByteArray("read") << QByteArray("read") << QByteArray("s.txt") << uint(ERROR_SUCCESS);
    QTest::newRow("reader refuses writer") << QByteArray("read") << QByteArray("write")
                                           << QByteArray("s.txt") << uint(ERROR_SHARING_VIOLATION);
    QTest::newRow("reader refuses replacing")
        << QByteArray("read") << QByteArray("replace") << QByteArray("s.txt")
        << uint(ERROR_SHARING_VIOLATION);
    QTest::newRow("writer refuses reader") << QByteArray("write") << QByteArray("read")
                                           << QByteArray("s.txt") << uint(ERROR_SHARING_VIOLATION);
    QTest::newRow("writer refuses writer") << QByteArray("write") << QByteArray("write")
                                           << QByteArray("s.txt") << uint(ERROR_SHARING_VIOLATION);
    QTest::newRow("reader refuses delete") << QByteArray("read") << QByteArray("delete")
                                           << QByteArray("s.txt") << uint(ERROR_SHARING_VIOLATION);
    QTest::newRow("writer refuses delete") << QByteArray("write") << QByteArray("delete")
                                           << QByteArray("s.txt") << uint(ERROR_SHARING_VIOLATION);
    QTest::newRow("same file through a link")
        << QByteArray("read") << QByteArray("write") << QByteArray("s-link")
        << uint(ERROR_SHARING_VIOLATION);
    // A reader that lets writers in is admitted next to a writer that lets readers in.
    QTest::newRow("writer admits write-sharing reader")
        << QByteArray("write") << QByteArray("read sharing write") << QByteArray("s.txt")
        << uint(ERROR_SUCCESS);
    QTest::newRow("write-sharing reader admits writer")
        << QByteArray("read sharing write") << QByteArray("write") << QByteArray("s.txt")
        << uint(ERROR_SUCCESS);
}

void TestWinFile::shareModes() {
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QByteArray, secondName);
    QFETCH(uint, error);

    const QString path = RootPath(QStringLiteral("s.txt"));
    WriteText(path, "shared contents");
    QFile::remove(RootPath(QStringLiteral("s-link")));
    QCOMPARE(::symlink("s.txt", RootPath(QStringLiteral("s-link")).toLocal8Bit()), 0);

    auto attempt = [&]() -> HANDLE {
        if (second == "delete")
            return DeleteFileBeneath(rootBytes_, secondName) ? nullptr : INVALID_HANDLE_VALUE;
        return OpenAs(second, secondName);
    };

    HANDLE held = OpenAs(first, "s.txt");
    QVERIFY(held != INVALID_HANDLE_VALUE);
    HANDLE other = attempt();
    if (error == ERROR_SUCCESS) {
        QVERIFY(other != INVALID_HANDLE_VALUE);
        if (other)
            QVERIFY(CloseHandle(other));
    } else {
        QCOMPARE(other, INVALID_HANDLE_VALUE);
        QCOMPARE(GetLastError(), DWORD(error));
        QCOMPARE(ReadText(path), QByteArray("shared contents"));
    }
    QVERIFY(CloseHandle(held));

    // Once the first handle is closed nothing stands in the way.
    other = attempt();
    QVERIFY(other != INVALID_HANDLE_VALUE);
    if (other)
        QVERIFY(CloseHandle(other));
    QFile::remove(path);
    QFile::remove(RootPath(QStringLiteral("s-link")));
}

void TestWinFile::readOnlyFile() {
    const QString path = RootPath(QStringLiteral("ro.txt"));
    WriteText(path, "keep me");
    QCOMPARE(::chmod(path.toLocal8Bit(), 0444), 0);
    QCOMPARE(::geteuid(), uid_t(0)); // root would pass any permission check of the kernel

    QVERIFY(!DeleteFileBeneath(rootBytes_, "ro.txt"));
    QCOMPARE(GetLastError(), ERROR_ACCESS_DENIED);
    for (const QByteArray kind : {"write", "replace"}) {
        QCOMPARE(OpenAs(kind, "ro.txt"), INVALID_HANDLE_VALUE);
        QCOMPARE(GetLastError(), ERROR_ACCESS_DENIED);
    }
    QCOMPARE(ReadText(path), QByteArray("keep me"));

    HANDLE reader = OpenAs("read", "ro.txt");
    QVERIFY(reader != INVALID_HANDLE_VALUE);
    QCOMPARE(ReadRest(reader), QByteArray("keep me"));
    QVERIFY(CloseHandle(reader));

    // Any one write bit makes it writable again.
    QCOMPARE(::chmod(path.toLocal8Bit(), 0464), 0);
    QVERIFY(DeleteFileBeneath(rootBytes_, "ro.txt"));
}

void TestWinFile::confinement_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("contents"); // empty: refused with ERROR_ACCESS_DENIED
    QTest::addColumn<bool>("isLink");         // a link in the root may itself be deleted

    QTest::newRow("link inside") << QByteArray("linkin") << QByteArray("alpha") << true;
    QTest::newRow("dot-dot inside") << QByteArray("sub/../a.txt") << QByteArray("alpha") << false;
    QTest::newRow("backslash") << QByteArray("sub\\inner.txt") << QByteArray("inner") << false;
    QTest::newRow("dot-dot out") << QByteArray("../outside/secret.txt") << QByteArray() << false;
    QTest::newRow("dot-dot out backslash")
        << QByteArray("..\\outside\\secret.txt") << QByteArray() << false;
    QTest::newRow("dot-dot out midway")
        << QByteArray("sub/../../outside/secret.txt") << QByteArray() << false;
    QTest::newRow("link out") << QByteArray("linkout") << QByteArray() << true;
    QTest::newRow("directory link out")
        << QByteArray("linkdirout/secret.txt") << QByteArray() << false;
    QTest::newRow("new file behind link out")
        << QByteArray("linkdirout/new.txt") << QByteArray() << false;
    QTest::newRow("absolute link") << QByteArray("absin") << QByteArray() << true;
    QTest::newRow("absolute name")
        << (outside_ + QStringLiteral("/secret.txt")).toLocal8Bit() << QByteArray() << false;
}

void TestWinFile::confinement() {
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, contents);
    QFETCH(bool, isLink);

    HANDLE file = OpenAs("read", name);
    if (!contents.isEmpty()) {
        QVERIFY(file != INVALID_HANDLE_VALUE);
        QCOMPARE(ReadRest(file), contents);
        QVERIFY(CloseHandle(file));
        QCOMPARE(CountPlainFilesBeneath(rootBytes_, name), 1);
        return;
    }
    QCOMPARE(file, INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), ERROR_ACCESS_DENIED);
    QCOMPARE(CountPlainFilesBeneath(rootBytes_, name), 0);
    QCOMPARE(OpenAs("write", name), INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), ERROR_ACCESS_DENIED);
    QCOMPARE(OpenAs("replace", name), INVALID_HANDLE_VALUE);
    if (!isLink) {
        QVERIFY(!DeleteFileBeneath(rootBytes_, name));
        QCOMPARE(GetLastError(), ERROR_ACCESS_DENIED);
    }
    // Whatever the name, the outside stays as it was.
    QCOMPARE(QDir(outside_).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("secret.txt")});
    QCOMPARE(ReadText(outside_ + QStringLiteral("/secret.txt")), QByteArray("secret"));
}

void TestWinFile::refusedOpens_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<uint>("readError");
    QTest::addColumn<uint>("writeError"); // 0: the write open is not tried

    QTest::newRow("missing file") << QByteArray("nope.txt") << uint(ERROR_FILE_NOT_FOUND) << 0u;
    QTest::newRow("missing directory")
        << QByteArray("nodir/nope.txt") << uint(ERROR_PATH_NOT_FOUND) << uint(ERROR_PATH_NOT_FOUND);
    QTest::newRow("file as directory")
        << QByteArray("a.txt/x") << uint(ERROR_PATH_NOT_FOUND) << uint(ERROR_PATH_NOT_FOUND);
    QTest::newRow("root itself") << QByteArray() << uint(ERROR_ACCESS_DENIED)
                                 << uint(ERROR_ACCESS_DENIED);
    QTest::newRow("directory") << QByteArray("sub") << uint(ERROR_ACCESS_DENIED)
                               << uint(ERROR_ACCESS_DENIED);
    QTest::newRow("directory with separator")
        << QByteArray("sub\\") << uint(ERROR_ACCESS_DENIED) << uint(ERROR_ACCESS_DENIED);
    QTest::newRow("wildcard") << QByteArray("a*b") << uint(ERROR_INVALID_NAME)
                              << uint(ERROR_INVALID_NAME);
    QTest::newRow("question mark")
        << QByteArray("a?txt") << uint(ERROR_INVALID_NAME) << uint(ERROR_INVALID_NAME);
    QTest::newRow("zero byte") << QByteArray("a.txt\0x", 7) << uint(ERROR_INVALID_NAME)
                               << uint(ERROR_INVALID_NAME);
    // Opening these for real would block (fifo) or reach hardware (device).
    QTest::newRow("fifo") << QByteArray("fifo") << uint(ERROR_ACCESS_DENIED)
                          << uint(ERROR_ACCESS_DENIED);
    QTest::newRow("socket") << QByteArray("sock") << uint(ERROR_ACCESS_DENIED)
                            << uint(ERROR_ACCESS_DENIED);
    if (QFileInfo::exists(RootPath(QStringLiteral("dev"))))
        QTest::newRow("device") << QByteArray("dev") << uint(ERROR_ACCESS_DENIED)
                                << uint(ERROR_ACCESS_DENIED);
}

void TestWinFile::refusedOpens() {
    QFETCH(QByteArray, name);
    QFETCH(uint, readError);
    QFETCH(uint, writeError);

    const QStringList before = QDir(root_).entryList(QDir::AllEntries | QDir::System);
    QCOMPARE(OpenAs("read", name), INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), DWORD(readError));
    if (writeError) {
        QCOMPARE(OpenAs("write", name), INVALID_HANDLE_VALUE);
        QCOMPARE(GetLastError(), DWORD(writeError));
        QCOMPARE(OpenAs("replace", name), INVALID_HANDLE_VALUE);
        QCOMPARE(GetLastError(), DWORD(writeError));
    }
    QCOMPARE(QDir(root_).entryList(QDir::AllEntries | QDir::System), before);
    QCOMPARE(QFileInfo(RootPath(QStringLiteral("fifo"))).isFile(), false);
    QCOMPARE(ReadText(RootPath(QStringLiteral("a*b"))), QByteArray("star"));
}

void TestWinFile::plainFileCount_data() {
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<int>("count");
    QTest::addColumn<uint>("error");

    // The plain files of the root: a.txt, b.txt, ab.bin, a*b, axb and linkin.
    QTest::newRow("empty") << QByteArray() << 6 << uint(ERROR_SUCCESS);
    QTest::newRow("star") << QByteArray("*") << 6 << uint(ERROR_SUCCESS);
    QTest::newRow("question marks") << QByteArray("?.txt") << 2 << uint(ERROR_SUCCESS);
    QTest::newRow("extension") << QByteArray("*.txt") << 2 << uint(ERROR_SUCCESS);
    QTest::newRow("prefix") << QByteArray("a*") << 4 << uint(ERROR_SUCCESS);
    QTest::newRow("star in the middle") << QByteArray("a*b") << 2 << uint(ERROR_SUCCESS);
    QTest::newRow("one of three") << QByteArray("a?b") << 2 << uint(ERROR_SUCCESS);
    QTest::newRow("suffix") << QByteArray("*b") << 2 << uint(ERROR_SUCCESS);
    QTest::newRow("stars around") << QByteArray("*x*") << 3 << uint(ERROR_SUCCESS);
    QTest::newRow("star needs backtracking") << QByteArray("*t*t") << 2 << uint(ERROR_SUCCESS);
    QTest::newRow("run of stars") << QByteArray(1000, '*') << 6 << uint(ERROR_SUCCESS);
    QTest::newRow("runs of stars between letters")
        << QByteArray("**a***b**") << 3 << uint(ERROR_SUCCESS);
    QTest::newRow("longer than any name")
        << QByteArray(300, '?') << 0 << uint(ERROR_FILE_NOT_FOUND);
    QTest::newRow("question mark is one byte")
        << QByteArray("a.tx??") << 0 << uint(ERROR_FILE_NOT_FOUND);
    QTest::newRow("literal") << QByteArray("b.txt") << 1 << uint(ERROR_SUCCESS);
    QTest::newRow("links that stay inside") << QByteArray("link*") << 1 << uint(ERROR_SUCCESS);
    QTest::newRow("subdirectory, empty name") << QByteArray("sub/") << 1 << uint(ERROR_SUCCESS);
    QTest::newRow("subdirectory, backslash") << QByteArray("sub\\*") << 1 << uint(ERROR_SUCCESS);
    QTest::newRow("hidden") << QByteArray(".hidden") << 0 << uint(ERROR_FILE_NOT_FOUND);
    QTest::newRow("hidden by pattern") << QByteArray(".*") << 0 << uint(ERROR_FILE_NOT_FOUND);
    QTest::newRow("hidden in subdirectory")
        << QByteArray("sub/.hid") << 0 << uint(ERROR_FILE_NOT_FOUND);
    QTest::newRow("directory") << QByteArray("sub") << 0 << uint(ERROR_FILE_NOT_FOUND);
    QTest::newRow("fifo") << QByteArray("fifo") << 0 << uint(ERROR_FILE_NOT_FOUND);
    QTest::newRow("fifo by pattern") << QByteArray("f*") << 0 << uint(ERROR_FILE_NOT_FOUND);
    QTest::newRow("socket") << QByteArray("so?k") << 0 << uint(ERROR_FILE_NOT_FOUND);
    QTest::newRow("device") << QByteArray("de*") << 0 << uint(ERROR_FILE_NOT_FOUND);
    QTest::newRow("no match") << QByteArray("nomatch*") << 0 << uint(ERROR_FILE_NOT_FOUND);
    QTest::newRow("missing directory") << QByteArray("nodir/*") << 0 << uint(ERROR_PATH_NOT_FOUND);
    QTest::newRow("missing directory, literal")
        << QByteArray("nodir/x") << 0 << uint(ERROR_PATH_NOT_FOUND);
    QTest::newRow("file as directory") << QByteArray("a.txt/*") << 0 << uint(ERROR_PATH_NOT_FOUND);
    QTest::newRow("wildcard in directory")
        << QByteArray("s*/inner.txt") << 0 << uint(ERROR_INVALID_NAME);
    QTest::newRow("outside") << QByteArray("../outside/*") << 0 << uint(ERROR_ACCESS_DENIED);
}

void TestWinFile::plainFileCount() {
    QFETCH(QByteArray, pattern);
    QFETCH(int, count);
    QFETCH(uint, error);

    SetLastError(12345);
    QCOMPARE(CountPlainFilesBeneath(rootBytes_, pattern), count);
    QCOMPARE(GetLastError(), DWORD(error));
    // An existence test stops at the first plain file, with the same answer.
    SetLastError(12345);
    QCOMPARE(CountPlainFilesBeneath(rootBytes_, pattern, 1), qMin(count, 1));
    QCOMPARE(GetLastError(), DWORD(error));
}

void TestWinFile::deleteIsLiteral() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = dir.path().toLocal8Bit();
    for (const char* name : {"a*b", "axb", "a?b"})
        WriteText(dir.filePath(QLatin1String(name)), name);
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    QCOMPARE(::symlink(outside_.toLocal8Bit() + "/secret.txt", root + "/out"), 0);
    QCOMPARE(::mkfifo(root + "/fifo", 0644), 0);

    QVERIFY(!DeleteFileBeneath(root, "*"));
    QCOMPARE(GetLastError(), ERROR_FILE_NOT_FOUND);
    QVERIFY(DeleteFileBeneath(root, "a*b"));
    QCOMPARE(GetLastError(), ERROR_SUCCESS);
    QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("a*")}, QDir::Files),
             (QStringList{QStringLiteral("a?b"), QStringLiteral("axb")}));

    const struct {
        QByteArray name;
        DWORD error;
    } refused[] = {
        {"sub", ERROR_ACCESS_DENIED},      {"sub/", ERROR_ACCESS_DENIED},
        {"", ERROR_ACCESS_DENIED},         {"fifo", ERROR_ACCESS_DENIED},
        {"nodir/x", ERROR_PATH_NOT_FOUND}, {"sub/..", ERROR_ACCESS_DENIED},
    };
    for (const auto& r : refused) {
        QVERIFY2(!DeleteFileBeneath(root, r.name), r.name);
        QCOMPARE(GetLastError(), r.error);
    }
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("sub"))).isDir());
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("fifo"))));

    // A link is removed itself; what it points to is left alone.
    QVERIFY(DeleteFileBeneath(root, "out"));
    QVERIFY(!QFileInfo(dir.filePath(QStringLiteral("out"))).isSymLink());
    QCOMPARE(ReadText(outside_ + QStringLiteral("/secret.txt")), QByteArray("secret"));
}

void TestWinFile::dispositions() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = dir.path().toLocal8Bit();
    const QString path = dir.filePath(QStringLiteral("f.bin"));
    auto open = [&](DWORD access, DWORD disposition) {
        return CreateFileBeneath(root, "f.bin", access, FILE_SHARE_READ, disposition, kSequential);
    };

    QCOMPARE(open(GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), ERROR_FILE_NOT_FOUND);
    QCOMPARE(open(GENERIC_WRITE, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), ERROR_FILE_NOT_FOUND);

    HANDLE file = open(GENERIC_WRITE, OPEN_ALWAYS);
    QVERIFY(file != INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), ERROR_SUCCESS);
    DWORD written = 0;
    QVERIFY(WriteFile(file, "hello", 5, &written, nullptr));
    QCOMPARE(written, DWORD(5));
    QVERIFY(CloseHandle(file));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st {};
    QCOMPARE(::stat(path.toLocal8Bit(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0644 & ~mask);

    // Opening an existing file to write keeps what it holds.
    file = open(GENERIC_WRITE, OPEN_ALWAYS);
    QVERIFY(file != INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), ERROR_ALREADY_EXISTS);
    QCOMPARE(GetFileSize(file, nullptr), DWORD(5));
    QVERIFY(CloseHandle(file));

    QCOMPARE(open(GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), ERROR_FILE_EXISTS);
    QCOMPARE(open(GENERIC_READ, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), ERROR_INVALID_PARAMETER);
    QCOMPARE(open(GENERIC_READ, 0), INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), ERROR_INVALID_PARAMETER);
    QCOMPARE(ReadText(path), QByteArray("hello"));

    file = open(GENERIC_WRITE, CREATE_ALWAYS);
    QVERIFY(file != INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), ERROR_ALREADY_EXISTS);
    QCOMPARE(GetFileSize(file, nullptr), DWORD(0));
    QVERIFY(CloseHandle(file));
}

void TestWinFile::positionReadAndWrite() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = dir.path().toLocal8Bit();
    HANDLE file = CreateFileBeneath(root, "p.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL);
    QVERIFY(file != INVALID_HANDLE_VALUE);

    // Blocks written out of order land at their own offsets.
    const QByteArray first(512, 'a'), second(300, 'b');
    DWORD done = 0;
    QCOMPARE(SetFilePointer(file, 512, nullptr, FILE_BEGIN), DWORD(512));
    QVERIFY(WriteFile(file, second.constData(), DWORD(second.size()), &done, nullptr));
    QCOMPARE(SetFilePointer(file, 0, nullptr, FILE_CURRENT), DWORD(812));
    QCOMPARE(SetFilePointer(file, 0, nullptr, FILE_BEGIN), DWORD(0));
    QVERIFY(WriteFile(file, first.constData(), DWORD(first.size()), &done, nullptr));
    QCOMPARE(done, DWORD(512));
    QCOMPARE(GetFileSize(file, nullptr), DWORD(812));

    QCOMPARE(SetFilePointer(file, -300, nullptr, FILE_END), DWORD(512));
    QCOMPARE(ReadRest(file), second);
    char block[512];
    QVERIFY(ReadFile(file, block, sizeof block, &done, nullptr)); // at the end: 0 bytes
    QCOMPARE(done, DWORD(0));
    QCOMPARE(SetFilePointer(file, 0, nullptr, FILE_BEGIN), DWORD(0));
    QVERIFY(ReadFile(file, block, sizeof block, &done, nullptr));
    QCOMPARE(QByteArray(block, int(done)), first);

    QCOMPARE(SetFilePointer(file, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    QCOMPARE(GetLastError(), ERROR_NEGATIVE_SEEK);
    QCOMPARE(SetFilePointer(file, 0, nullptr, FILE_CURRENT), DWORD(512));
    QCOMPARE(SetFilePointer(file, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
    QCOMPARE(GetLastError(), ERROR_INVALID_PARAMETER);
    QVERIFY(CloseHandle(file));

    // A handle only does what it was opened for.
    HANDLE reader =
        CreateFileBeneath(root, "p.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, kSequential);
    QVERIFY(reader != INVALID_HANDLE_VALUE);
    QVERIFY(!WriteFile(reader, "x", 1, &done, nullptr));
    QCOMPARE(GetLastError(), ERROR_ACCESS_DENIED);
    QVERIFY(CloseHandle(reader));
    HANDLE writer = CreateFileBeneath(root, "p.bin", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING,
                                      kSequential);
    QVERIFY(writer != INVALID_HANDLE_VALUE);
    QVERIFY(!ReadFile(writer, block, sizeof block, &done, nullptr));
    QCOMPARE(GetLastError(), ERROR_ACCESS_DENIED);
    QCOMPARE(done, DWORD(0));
    QVERIFY(CloseHandle(writer));
}

void TestWinFile::sizeHalvesOfLargeFile() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = dir.path().toLocal8Bit();
    constexpr qint64 kSize = (qint64(5) << 30) + 3; // 5 GiB + 3, sparse
    WriteText(dir.filePath(QStringLiteral("big.bin")), QByteArray());
    QCOMPARE(::truncate(root + "/big.bin", kSize), 0);

    HANDLE file = CreateFileBeneath(root, "big.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                    kSequential);
    QVERIFY(file != INVALID_HANDLE_VALUE);
    DWORD high = 0;
    QCOMPARE(GetFileSize(file, &high), DWORD(kSize & 0xFFFFFFFF));
    QCOMPARE(high, DWORD(kSize >> 32));
    QCOMPARE(GetFileSize(file, nullptr), DWORD(kSize & 0xFFFFFFFF));

    LONG moveHigh = -1; // one byte before the end, as a 64-bit distance
    QCOMPARE(SetFilePointer(file, -1, &moveHigh, FILE_END), DWORD((kSize - 1) & 0xFFFFFFFF));
    QCOMPARE(GetLastError(), ERROR_SUCCESS);
    QCOMPARE(moveHigh, LONG((kSize - 1) >> 32));
    char block[512];
    DWORD got = 99;
    QVERIFY(ReadFile(file, block, sizeof block, &got, nullptr));
    QCOMPARE(got, DWORD(1));
    // Without the high half a position beyond 32 bits cannot be told, so it is refused.
    QCOMPARE(SetFilePointer(file, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    QCOMPARE(GetLastError(), ERROR_INVALID_PARAMETER);
    QVERIFY(CloseHandle(file));
}

void TestWinFile::handlesAreChecked() {
    HANDLE file = OpenAs("read", "a.txt");
    QVERIFY(file != INVALID_HANDLE_VALUE);
    QVERIFY(file != nullptr);
    QVERIFY(CloseHandle(file));

    char block[16];
    DWORD got = 7;
    for (HANDLE bad : {file, INVALID_HANDLE_VALUE, HANDLE(nullptr), HANDLE(intptr_t(1) << 40)}) {
        QVERIFY(!CloseHandle(bad));
        QCOMPARE(GetLastError(), ERROR_INVALID_HANDLE);
        QVERIFY(!ReadFile(bad, block, sizeof block, &got, nullptr));
        QCOMPARE(GetLastError(), ERROR_INVALID_HANDLE);
        QCOMPARE(got, DWORD(0));
        QCOMPARE(GetFileSize(bad, nullptr), INVALID_FILE_SIZE);
        QCOMPARE(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

void TestWinFile::descriptorsReleased() {
    const int before = OpenDescriptors();
    for (int i = 0; i < 50; ++i) {
        HANDLE reader = OpenAs("read", "a.txt");
        QVERIFY(reader != INVALID_HANDLE_VALUE);
        QCOMPARE(ReadRest(reader), QByteArray("alpha"));
        // Every kind of refusal on the way must give its descriptors back too.
        QCOMPARE(OpenAs("write", "a.txt"), INVALID_HANDLE_VALUE);
        QVERIFY(!DeleteFileBeneath(rootBytes_, "a.txt"));
        QCOMPARE(OpenAs("read", "linkout"), INVALID_HANDLE_VALUE);
        QCOMPARE(OpenAs("read", "nodir/nope"), INVALID_HANDLE_VALUE);
        QCOMPARE(OpenAs("write", "sub"), INVALID_HANDLE_VALUE);
        QCOMPARE(CountPlainFilesBeneath(rootBytes_, "*"), 6);
        QCOMPARE(CountPlainFilesBeneath(rootBytes_, "nodir/*"), 0);
        QCOMPARE(CountPlainFilesBeneath(rootBytes_, "linkin"), 1);
        QVERIFY(CloseHandle(reader));

        HANDLE writer = OpenAs("write", "cycle.bin");
        QVERIFY(writer != INVALID_HANDLE_VALUE);
        QVERIFY(CloseHandle(writer));
        QVERIFY(DeleteFileBeneath(rootBytes_, "cycle.bin"));
    }
    QCOMPARE(CreateFileBeneath("/no/such/root", "a.txt", GENERIC_READ, FILE_SHARE_READ,
                               OPEN_EXISTING, 0),
             INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), ERROR_PATH_NOT_FOUND);
    QCOMPARE(OpenDescriptors(), before);
}

void TestWinFile::plainPathsUseBothSeparators() {
    const QByteArray path = rootBytes_ + "\\sub/inner.txt";
    HANDLE file = CreateFileA(path.constData(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, kSequential, nullptr);
    QVERIFY(file != INVALID_HANDLE_VALUE);
    QCOMPARE(ReadRest(file), QByteArray("inner"));
    QVERIFY(!DeleteFileA(path.constData()));
    QCOMPARE(GetLastError(), ERROR_SHARING_VIOLATION);
    QVERIFY(CloseHandle(file));
    QCOMPARE(CreateFileA("", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
             INVALID_HANDLE_VALUE);
}

void TestWinFile::errorTexts_data() {
    QTest::addColumn<uint>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("2") << uint(ERROR_FILE_NOT_FOUND)
                       << QStringLiteral("The system cannot find the file specified.");
    QTest::newRow("5") << uint(ERROR_ACCESS_DENIED) << QStringLiteral("Access is denied.");
    QTest::newRow("32") << uint(ERROR_SHARING_VIOLATION)
                        << QStringLiteral("The process cannot access the file because it is being "
                                          "used by another process.");
    QTest::newRow("unknown") << 4242u << QStringLiteral("Unknown error 4242.");
}

void TestWinFile::errorTexts() {
    QFETCH(uint, code);
    QFETCH(QString, text);
    QCOMPARE(ErrorMessageText(code), text);
}

QTEST_GUILESS_MAIN(TestWinFile)
#include "tst_win_file.moc"
