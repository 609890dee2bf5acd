#include "platform/com_object.h"
#include "platform/notify_icon.h"
#include "platform/registry.h"

#include <QApplication>
#include <QFile>
#include <QLibrary>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

#include <memory>

#ifndef KELVARING_PLUGIN_PATH
#error "the build names the About library's plugin file"
#endif

namespace {

constexpr const char* kAboutProgId = "Kelvaring.AboutDialog";

// Stores HKEY_CLASSES_ROOT\<progId>\InprocServer32 = path, as an installer would.
void registerServer(const QString& progId, const QString& path) {
    HKEY key = 0;
    const QByteArray subKey = progId.toLatin1() + "\\InprocServer32";
    QCOMPARE(RegCreateKeyA(HKEY_CLASSES_ROOT, subKey.constData(), &key), ERROR_SUCCESS);
    const QByteArray value = QFile::encodeName(path);
    QCOMPARE(RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.constData()),
                            static_cast<DWORD>(value.size() + 1)),
             ERROR_SUCCESS);
    RegCloseKey(key);
}

QString registeredServer(const QString& progId) {
    HKEY key = 0;
    const QByteArray subKey = progId.toLatin1() + "\\InprocServer32";
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, subKey.constData(), &key) != ERROR_SUCCESS) {
        return QString();
    }
    QByteArray data(4096, '\0');
    DWORD size = static_cast<DWORD>(data.size());
    DWORD type = REG_NONE;
    const LONG rc =
        RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? QFile::decodeName(data.left(size).constData()) : QString();
}

QWidget* visibleTopLevel(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String(name) && w->isVisible()) {
            return w;
        }
    }
    return nullptr;
}

} // namespace

// Members reached by name: properties of several types, overloads, a read-only property.
class Probe : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Text READ Text WRITE SetText)
    Q_PROPERTY(int Count READ Count WRITE SetCount)
    Q_PROPERTY(QString Fixed READ Fixed)

public:
    QString Text() const { return text_; }
    void SetText(const QString& text) { text_ = text; }
    int Count() const { return count_; }
    void SetCount(int count) { count_ = count; }
    QString Fixed() const { return QStringLiteral("fixed"); }

    Q_INVOKABLE int Add(int a, int b) { return a + b; }
    Q_INVOKABLE QString Add(const QString& a, const QString& b) { return a + b; }
    Q_INVOKABLE void Touch() { ++touched; }
    Q_INVOKABLE QVariant Echo(const QVariant& value) { return value; }

    int touched = 0;

private:
    Q_INVOKABLE void Hidden() { ++touched; }

    QString text_;
    int count_ = -1;
};

class TstComObject : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void propertiesByName_data();
    void propertiesByName();
    void methodsByName_data();
    void methodsByName();
    void nullObjectFailsEveryCall();

    void registeredLibraryGivesObjectWithMembers();
    void libraryBesideProgramNeedsNoRegistration_data();
    void libraryBesideProgramNeedsNoRegistration();
    void nothingToCreateGivesNull_data();
    void nothingToCreateGivesNull();
    void libraryRegistersItself();

private:
    QTemporaryDir work_;
    QString emptyFolder_;
};

void TstComObject::initTestCase() {
    QVERIFY(work_.isValid());
    // One registry for the whole run: the loaded library keeps its own connection to it.
    qputenv("QUORVANE_REGISTRY", QFile::encodeName(work_.filePath("registry.sqlite3")));
    RegistryReopenForTests();
    emptyFolder_ = work_.filePath("empty");
    QVERIFY(QDir().mkpath(emptyFolder_));
    QVERIFY(QFile::exists(QLatin1String(KELVARING_PLUGIN_PATH)));
}

void TstComObject::init() {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "");
    platform::SetComSearchFolderForTests(emptyFolder_);
}

void TstComObject::cleanup() {
    platform::SetComSearchFolderForTests(QString());
    for (QWidget* w : QApplication::topLevelWidgets()) {
        w->close();
    }
    QTest::qWait(0);
}

void TstComObject::propertiesByName_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("readName");
    QTest::addColumn<QVariant>("readBack");

    QTest::newRow("text") << QByteArray("Text") << QVariant(QStringLiteral("abc")) << true
                          << QByteArray("Text") << QVariant(QStringLiteral("abc"));
    QTest::newRow("name in another case")
        << QByteArray("tEXT") << QVariant(QStringLiteral("x")) << true << QByteArray("TEXT")
        << QVariant(QStringLiteral("x"));
    QTest::newRow("number from text") << QByteArray("Count") << QVariant(QStringLiteral("42"))
                                      << true << QByteArray("Count") << QVariant(42);
    QTest::newRow("text that is no number")
        << QByteArray("Count") << QVariant(QStringLiteral("forty")) << false << QByteArray("Count")
        << QVariant(-1);
    QTest::newRow("empty value is the default")
        << QByteArray("Count") << QVariant() << true << QByteArray("Count") << QVariant(0);
    QTest::newRow("read-only") << QByteArray("Fixed") << QVariant(QStringLiteral("y")) << false
                               << QByteArray("Fixed") << QVariant(QStringLiteral("fixed"));
    QTest::newRow("no such member")
        << QByteArray("Missing") << QVariant(1) << false << QByteArray("Count") << QVariant(-1);
}

void TstComObject::propertiesByName() {
    QFETCH(QByteArray, name);
    QFETCH(QVariant, value);
    QFETCH(bool, ok);
    QFETCH(QByteArray, readName);
    QFETCH(QVariant, readBack);
    Probe probe;
    QCOMPARE(platform::SetMember(&probe, name.constData(), value), ok);
    QVariant read;
    QVERIFY(platform::GetMember(&probe, readName.constData(), read));
    QCOMPARE(read, readBack);
    QVERIFY(!platform::GetMember(&probe, "Missing", read));
}

void TstComObject::methodsByName_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QVariant>("result");
    QTest::addColumn<int>("touched");

    QTest::newRow("numbers") << QByteArray("Add") << QVariantList{2, 3} << true << QVariant(5) << 0;
    QTest::newRow("texts choose their overload")
        << QByteArray("Add") << QVariantList{QStringLiteral("a"), QStringLiteral("b")} << true
        << QVariant(QStringLiteral("ab")) << 0;
    QTest::newRow("name in another case")
        << QByteArray("aDD") << QVariantList{2, 3} << true << QVariant(5) << 0;
    QTest::newRow("too few arguments")
        << QByteArray("Add") << QVariantList{2} << false << QVariant() << 0;
    QTest::newRow("no result") << QByteArray("Touch") << QVariantList{} << true << QVariant() << 1;
    QTest::newRow("variant passes as it is")
        << QByteArray("Echo") << QVariantList{QVariant(7.5)} << true << QVariant(7.5) << 0;
    QTest::newRow("private member")
        << QByteArray("Hidden") << QVariantList{} << false << QVariant() << 0;
    QTest::newRow("no such member")
        << QByteArray("Missing") << QVariantList{} << false << QVariant() << 0;
}

void TstComObject::methodsByName() {
    QFETCH(QByteArray, name);
    QFETCH(QVariantList, args);
    QFETCH(bool, ok);
    QFETCH(QVariant, result);
    QFETCH(int, touched);
    Probe probe;
    QVariant returned;
    QCOMPARE(platform::CallMember(&probe, name.constData(), args, &returned), ok);
    QCOMPARE(returned, result);
    QCOMPARE(probe.touched, touched);
}

void TstComObject::nullObjectFailsEveryCall() {
    QVariant value;
    QVERIFY(!platform::SetMember(nullptr, "Text", QStringLiteral("x")));
    QVERIFY(!platform::GetMember(nullptr, "Text", value));
    QVERIFY(!platform::CallMember(nullptr, "Touch"));
    Probe probe;
    QVERIFY(!platform::SetMember(&probe, nullptr, 1));
    QVERIFY(!platform::CallMember(&probe, nullptr));
}

void TstComObject::registeredLibraryGivesObjectWithMembers() {
    registerServer(QLatin1String(kAboutProgId), QLatin1String(KELVARING_PLUGIN_PATH));
    const std::unique_ptr<QObject> about(platform::CreateObject(QLatin1String(kAboutProgId)));
    QVERIFY(about);
    // Every creation makes a new object; ProgIDs ignore case.
    const std::unique_ptr<QObject> second(platform::CreateObject("kelvaring.aboutdialog"));
    QVERIFY(second);
    QVERIFY(second.get() != about.get());

    QVariant value;
    for (const char* name : {"ProgramName", "PackageName", "SubTitle", "VersionInfo"}) {
        QVERIFY2(platform::GetMember(about.get(), name, value), name);
        QCOMPARE(value.toString(), QString());
        const QString text = QLatin1String(name) + QLatin1String(" text");
        QVERIFY2(platform::SetMember(about.get(), name, text), name);
        QVERIFY(platform::GetMember(about.get(), name, value));
        QCOMPARE(value.toString(), text);
    }

    // The picture is kept by reference, across the library boundary.
    QVERIFY(platform::GetMember(about.get(), "ProgIcon", value));
    QVERIFY(!value.value<platform::PictureRef>());
    QPixmap square(32, 32);
    square.fill(Qt::red);
    const platform::PictureRef icon = platform::IconPicture(QIcon(square));
    QVERIFY(platform::SetMember(about.get(), "ProgIcon", QVariant::fromValue(icon)));
    QVERIFY(platform::GetMember(about.get(), "ProgIcon", value));
    QCOMPARE(value.value<platform::PictureRef>().get(), icon.get());

    QVERIFY(!platform::SetMember(about.get(), "NoSuchMember", 1));
    QVERIFY(!platform::CallMember(about.get(), "Show", {1}));
    QVERIFY(platform::CallMember(about.get(), "Show"));
    QWidget* window = visibleTopLevel("AboutForm");
    QVERIFY(window);
    QVERIFY(!window->parentWidget());
    QVERIFY(!window->isModal());
}

void TstComObject::libraryBesideProgramNeedsNoRegistration_data() {
    QTest::addColumn<QString>("subfolder");
    QTest::newRow("program folder") << QString();
    QTest::newRow("plugins subfolder") << QStringLiteral("plugins");
}

void TstComObject::libraryBesideProgramNeedsNoRegistration() {
    QFETCH(QString, subfolder);
    QTemporaryDir program;
    QVERIFY(program.isValid());
    const QString folder = QDir(program.path()).filePath(subfolder);
    QVERIFY(QDir().mkpath(folder));
    // Files that are no plugin of ours lie there too and are passed over.
    QFile junk(QDir(folder).filePath("libaaa-junk.so"));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("not a library");
    junk.close();
    QVERIFY(QFile::copy(QLatin1String(KELVARING_PLUGIN_PATH),
                        QDir(folder).filePath("libkelvaring.so")));
    platform::SetComSearchFolderForTests(program.path());

    const std::unique_ptr<QObject> about(platform::CreateObject(QLatin1String(kAboutProgId)));
    QVERIFY(about);
    QVERIFY(platform::SetMember(about.get(), "ProgramName", QStringLiteral("found")));
    QVERIFY(!platform::CreateObject(QStringLiteral("Nobody.Else")));

    // A registration whose file is gone still finds the library beside the program.
    registerServer(QLatin1String(kAboutProgId), work_.filePath("moved/libkelvaring.so"));
    const std::unique_ptr<QObject> again(platform::CreateObject(QLatin1String(kAboutProgId)));
    QVERIFY(again);
}

void TstComObject::nothingToCreateGivesNull_data() {
    QTest::addColumn<QString>("progId");
    QTest::addColumn<QString>("registeredAs");
    QTest::addColumn<QString>("registeredPath");

    const QString plugin = QLatin1String(KELVARING_PLUGIN_PATH);
    QTest::newRow("not registered") << QStringLiteral("Nobody.Nothing") << QString() << QString();
    QTest::newRow("empty ProgID") << QString() << QString() << QString();
    QTest::newRow("ProgID with a key path")
        << QStringLiteral("Kelvaring.AboutDialog\\InprocServer32")
        << QStringLiteral("Kelvaring.AboutDialog") << plugin;
    QTest::newRow("library missing")
        << QStringLiteral("Ghost.Class") << QStringLiteral("Ghost.Class")
        << QStringLiteral("/nonexistent/libghost.so");
    QTest::newRow("file that is no library")
        << QStringLiteral("Junk.Class") << QStringLiteral("Junk.Class") << QStringLiteral("junk");
    QTest::newRow("library that does not serve it")
        << QStringLiteral("Other.Class") << QStringLiteral("Other.Class") << plugin;
}

void TstComObject::nothingToCreateGivesNull() {
    QFETCH(QString, progId);
    QFETCH(QString, registeredAs);
    QFETCH(QString, registeredPath);
    if (registeredPath == QLatin1String("junk")) {
        registeredPath = work_.filePath("libjunk.so");
        QFile junk(registeredPath);
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, '\x7f'));
    }
    if (!registeredAs.isEmpty()) {
        registerServer(registeredAs, registeredPath);
    }
    const std::unique_ptr<QObject> object(platform::CreateObject(progId));
    QVERIFY(!object);
}

void TstComObject::libraryRegistersItself() {
    QLibrary library(QLatin1String(KELVARING_PLUGIN_PATH));
    using Entry = std::int32_t (*)();
    const auto registerServerEntry = reinterpret_cast<Entry>(library.resolve("DllRegisterServer"));
    const auto unregisterServerEntry =
        reinterpret_cast<Entry>(library.resolve("DllUnregisterServer"));
    QVERIFY2(registerServerEntry && unregisterServerEntry, qPrintable(library.errorString()));

    QCOMPARE(registerServerEntry(), 0);
    QCOMPARE(QFileInfo(registeredServer(QLatin1String(kAboutProgId))).canonicalFilePath(),
             QFileInfo(QLatin1String(KELVARING_PLUGIN_PATH)).canonicalFilePath());
    std::unique_ptr<QObject> about(platform::CreateObject(QLatin1String(kAboutProgId)));
    QVERIFY(about);

    QCOMPARE(unregisterServerEntry(), 0);
    QCOMPARE(registeredServer(QLatin1String(kAboutProgId)), QString());
    about.reset(platform::CreateObject(QLatin1String(kAboutProgId)));
    QVERIFY(!about);
    QCOMPARE(unregisterServerEntry(), 0);
}

QTEST_MAIN(TstComObject)
#include "tst_com_object.moc"
