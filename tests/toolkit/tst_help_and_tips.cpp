#include "platform/com_object.h"
#include "platform/html_help.h"
#include "platform/msg_box.h"
#include "platform/registry.h"
#include "test_files.h"
#include "toolkit/help_menu_functions.h"
#include "toolkit/registry_support.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QWidget>
#include <QtTest>

#include <memory>

#ifndef TIPDIALOG_LIBRARY
#error "TIPDIALOG_LIBRARY names the tip component's library (set by platform/tipdialog)"
#endif

namespace {

constexpr const char* kTipProgIdKey = "Mirrowick.TipDialog\\InprocServer32";
constexpr const char* kTipWindowName = "TipOfTheDay";
constexpr const char* kSection = "TFTPServer";
constexpr const char* kPageMissing = "The page cannot be displayed";

struct Box {
    QString prompt;
    int style;
    QString title;
};

// Makes the ProgID point at a library, as an installer would register it.
void registerTipComponent(const QByteArray& library) {
    HKEY key = 0;
    QCOMPARE(RegCreateKeyA(HKEY_CLASSES_ROOT, kTipProgIdKey, &key), ERROR_SUCCESS);
    QCOMPARE(RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(library.constData()),
                            DWORD(library.size() + 1)),
             ERROR_SUCCESS);
    RegCloseKey(key);
}

// The program's folder as the build lays it out: the tip component sits in its plugins folder.
QString programFolderWithTipComponent() {
    return QFileInfo(QFileInfo(QString::fromLocal8Bit(TIPDIALOG_LIBRARY)).absolutePath() +
                     QLatin1String("/.."))
        .canonicalFilePath();
}

QList<QWidget*> tipWindows() {
    QList<QWidget*> found;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String(kTipWindowName) && w->isVisible()) {
            found.append(w);
        }
    }
    return found;
}

const QByteArray kTestHelp = "QUORVANE HELP 1\n"
                             "title: Test Help\n"
                             "@topic 1 contents.htm Contents\n"
                             "<html><body><p>Topic one, the contents.</p></body></html>\n"
                             "@topic 2000 server.htm Server window\r\n"
                             "<html><body><p>Topic two thousand.</p>\r\n"
                             "<p><a href=\"contents.htm\">Contents</a></p></body></html>\r\n"
                             "@topic x broken.htm A header that does not parse\n"
                             "<p>Never shown.</p>\n";

} // namespace

class TstHelpAndTips : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void tipSwitchDecidesAtStart_data();
    void tipSwitchDecidesAtStart();
    void withoutTipComponentNothingShows_data();
    void withoutTipComponentNothingShows();
    void secondShowReusesTheTipWindow();

    void helpTopicOpensInTheViewer();
    void noHelpFileOpensNothing();
    void helpViewerSpeaksForItself_data();
    void helpViewerSpeaksForItself();
    void shippedHelpFileHoldsTheContexts_data();
    void shippedHelpFileHoldsTheContexts();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QList<Box> boxes_;
};

void TstHelpAndTips::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    qputenv("QUORVANE_REGISTRY", QFile::encodeName(dir_->filePath("registry.sqlite3")));
    RegistryReopenForTests();
    boxes_.clear();
    platform::SetMsgBoxResponder([this](const QString& prompt, int style, const QString& title) {
        boxes_.append({prompt, style, title});
        return int(platform::vbOK);
    });
    HelpMenuFunctions::HelpFile.clear();
    // Unless a test says otherwise, no component lies where unregistered ones are looked for.
    platform::SetComSearchFolderForTests(dir_->path());
}

void TstHelpAndTips::cleanup() {
    for (QWidget* w : tipWindows()) {
        w->close();
    }
    platform::HtmlHelpA(0, nullptr, platform::HH_CLOSE_ALL, 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(tipWindows().isEmpty());
    QVERIFY(!platform::HtmlHelpViewer());
    platform::SetMsgBoxResponder(nullptr);
    HelpMenuFunctions::HelpFile.clear();
    platform::SetComSearchFolderForTests(QString());
    RegistryReopenForTests();
    dir_.reset();
}

void TstHelpAndTips::tipSwitchDecidesAtStart_data() {
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("shownAtStart");
    QTest::newRow("never stored") << false << QString() << true;
    QTest::newRow("True") << true << "True" << true;
    QTest::newRow("False") << true << "False" << false;
    QTest::newRow("false in small letters") << true << "false" << false;
    QTest::newRow("0") << true << "0" << false;
    QTest::newRow("0.0 is a number equal to 0") << true << "0.0" << false;
    QTest::newRow("-1") << true << "-1" << true;
    QTest::newRow("abc is no truth value") << true << "abc" << true;
    QTest::newRow("empty is no truth value") << true << "" << true;
}

void TstHelpAndTips::tipSwitchDecidesAtStart() {
    QFETCH(bool, stored);
    QFETCH(QString, value);
    QFETCH(bool, shownAtStart);
    // Found without registration, as in the program's own folder.
    platform::SetComSearchFolderForTests(programFolderWithTipComponent());
    if (stored) {
        RegistrySupport::SaveRegSetting("Quorvane 2003", "Common", "ToolTips", value);
    }

    // Start-up asks without force; the menu item forces the tip whatever the switch says.
    for (const bool force : {false, true}) {
        ToolTips::ShowTipOfTheDay(QLatin1String(kSection), force);
        const QList<QWidget*> shown = tipWindows();
        QCOMPARE(shown.size(), (force || shownAtStart) ? 1 : 0);
        if (!shown.isEmpty()) {
            QWidget* tip = shown.first();
            QCOMPARE(tip->property("Section").toString(), QLatin1String(kSection));
            QCOMPARE(tip->property("ProgramName").toString(), "Quorvane.Net TFTP Server");
            QCOMPARE(tip->property("Path").toString(), QCoreApplication::applicationDirPath());
            QVERIFY(!tip->property("Tip").toString().isEmpty());
            tip->close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }
    QVERIFY(boxes_.isEmpty());
    // Only read: the switch is exactly as it was.
    QCOMPARE(RegistrySupport::GetRegSetting("Quorvane 2003", "Common", "ToolTips", "unset"),
             stored ? value : QStringLiteral("unset"));
}

void TstHelpAndTips::withoutTipComponentNothingShows_data() {
    QTest::addColumn<QString>("registeredLibrary"); // in the temporary folder; empty: none
    QTest::newRow("not registered") << QString();
    QTest::newRow("registered library gone") << "libgone.so";
    QTest::newRow("registered file is no library") << "libtext.so";
}

void TstHelpAndTips::withoutTipComponentNothingShows() {
    QFETCH(QString, registeredLibrary);
    if (!registeredLibrary.isEmpty()) {
        writeFile(dir_->filePath("libtext.so"), "not a library\n");
        registerTipComponent(QFile::encodeName(dir_->filePath(registeredLibrary)));
    }
    for (const bool force : {false, true}) {
        ToolTips::ShowTipOfTheDay(QLatin1String(kSection), force);
        QVERIFY(tipWindows().isEmpty());
    }
    QVERIFY(boxes_.isEmpty());
}

void TstHelpAndTips::secondShowReusesTheTipWindow() {
    // Registered elsewhere: found by its registration alone.
    registerTipComponent(TIPDIALOG_LIBRARY);
    ToolTips::ShowTipOfTheDay(QLatin1String(kSection), true);
    QCOMPARE(tipWindows().size(), 1);
    ToolTips::ShowTipOfTheDay(QLatin1String(kSection), true);
    QCOMPARE(tipWindows().size(), 1);
}

void TstHelpAndTips::helpTopicOpensInTheViewer() {
    const QString file = dir_->filePath("Test.chm");
    writeFile(file, kTestHelp);
    HelpMenuFunctions::HelpFile = file;

    HelpMenuFunctions::ShowHelpTopic(2000);
    QWidget* viewer = platform::HtmlHelpViewer();
    QVERIFY(viewer);
    QVERIFY(viewer->isVisible());
    QCOMPARE(viewer->windowTitle(), "Test Help");
    QVERIFY(platform::HtmlHelpViewerText().contains("Topic two thousand."));
    QVERIFY(!platform::HtmlHelpViewerText().contains("Topic one"));
    QVERIFY(!platform::HtmlHelpViewerText().contains("Never shown"));

    // Links between topics are served from the same file.
    auto* browser = viewer->findChild<QTextBrowser*>();
    QVERIFY(browser);
    browser->setSource(QUrl("contents.htm"));
    QVERIFY(platform::HtmlHelpViewerText().contains("Topic one, the contents."));

    // Another topic reuses the one viewer.
    HelpMenuFunctions::ShowHelpTopic(1);
    QCOMPARE(platform::HtmlHelpViewer(), viewer);
    QVERIFY(boxes_.isEmpty());
}

void TstHelpAndTips::noHelpFileOpensNothing() {
    HelpMenuFunctions::ShowHelpTopic(2000);
    HelpMenuFunctions::ShowHelpTopic(1);
    QVERIFY(!platform::HtmlHelpViewer());
    QVERIFY(boxes_.isEmpty());
}

void TstHelpAndTips::helpViewerSpeaksForItself_data() {
    QTest::addColumn<QByteArray>("content"); // empty: no file at all
    QTest::addColumn<int>("context");
    QTest::addColumn<bool>("viewerOpens");
    QTest::newRow("file missing") << QByteArray() << 2000 << false;
    QTest::newRow("not a help file") << QByteArray("ITSF\x03\0\0\0`\0\0\0", 12) << 2000 << false;
    QTest::newRow("topic missing") << kTestHelp << 2001 << true;
}

void TstHelpAndTips::helpViewerSpeaksForItself() {
    QFETCH(QByteArray, content);
    QFETCH(int, context);
    QFETCH(bool, viewerOpens);
    const QString file = dir_->filePath("Quorvane.chm");
    if (!content.isEmpty()) {
        writeFile(file, content);
    }
    HelpMenuFunctions::HelpFile = file;

    HelpMenuFunctions::ShowHelpTopic(context);
    if (viewerOpens) {
        QVERIFY(platform::HtmlHelpViewer());
        QVERIFY(platform::HtmlHelpViewerText().contains(kPageMissing));
        QVERIFY(boxes_.isEmpty());
    } else {
        QVERIFY(!platform::HtmlHelpViewer());
        QCOMPARE(boxes_.size(), 1);
        QCOMPARE(boxes_[0].title, "HTML Help");
        QVERIFY(boxes_[0].prompt.contains(file));
    }
}

void TstHelpAndTips::shippedHelpFileHoldsTheContexts_data() {
    QTest::addColumn<int>("context");
    QTest::newRow("contents") << 1;
    QTest::newRow("main window") << 2000;
    QTest::newRow("configuration dialog") << 2001;
    QTest::newRow("2003") << 2003;
}

void TstHelpAndTips::shippedHelpFileHoldsTheContexts() {
    QFETCH(int, context);
    const QString file = QFINDTESTDATA("../../server/help/Quorvane.chm");
    QVERIFY(!file.isEmpty());
    HelpMenuFunctions::HelpFile = file;

    HelpMenuFunctions::ShowHelpTopic(context);
    QVERIFY(platform::HtmlHelpViewer());
    const QString text = platform::HtmlHelpViewerText();
    QVERIFY(!text.trimmed().isEmpty());
    QVERIFY2(!text.contains(kPageMissing), qPrintable(text));
    QVERIFY(boxes_.isEmpty());
}

QTEST_MAIN(TstHelpAndTips)
#include "tst_help_and_tips.moc"
