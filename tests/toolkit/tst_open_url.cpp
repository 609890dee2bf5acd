#include "platform/msg_box.h"
#include "test_files.h"
#include "toolkit/common_functions.h"
#include "toolkit/help_menu_functions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace platform;

namespace {

constexpr const char* kTempFileName = "temphtm.HTM";
constexpr const char* kTempFileLine = "\"<HTML> <\\HTML>\"\r\n";
// Blanks, quotes, a dollar and a semicolon: a shell or a command-line split would change it.
constexpr const char* kAwkwardAddress = "https://www.example.net/a b?x=\"1\"&y=$HOME;z='2' %u";

struct Box {
    QString prompt;
    int style;
    QString title;
    QByteArray tempFileAtBox; // what the temporary file held while the box was up
};

QString tempFilePath() {
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(kTempFileName);
}

// A desktop of our own: XDG folders in a temporary folder, and browsers that are shell scripts
// writing the arguments they got into a record file.
class FakeDesktop {
public:
    FakeDesktop() {
        qputenv("XDG_CONFIG_HOME", path("config").toLocal8Bit());
        qputenv("XDG_CONFIG_DIRS", path("etc").toLocal8Bit());
        qputenv("XDG_DATA_HOME", path("data").toLocal8Bit());
        qputenv("XDG_DATA_DIRS", path("share").toLocal8Bit());
        qputenv("TMPDIR", path("tmp").toLocal8Bit());
        QDir().mkpath(path("tmp"));
        qunsetenv("XDG_CURRENT_DESKTOP");
        qunsetenv("BROWSER");
    }

    QString path(const QString& relative) const { return dir_.filePath(relative); }
    QString record() const { return path("record.txt"); }

    // An executable script that records its arguments, one a line after their count.
    QString addBrowser(const QString& relative, QFile::Permissions extra = QFile::ExeOwner) const {
        const QString script = path(relative);
        const QByteArray body = recorderScript(record());
        writeFile(script, body, QFile::ReadOwner | QFile::WriteOwner | extra);
        return script;
    }

    void addEntry(const QString& relative, const QString& exec,
                  const QString& mimeTypes = QString()) const {
        QByteArray text =
            "[Desktop Entry]\nType=Application\nName=Browser\nExec=" + exec.toUtf8() + "\n";
        if (!mimeTypes.isEmpty())
            text += "MimeType=" + mimeTypes.toUtf8() + "\n";
        writeFile(path(relative), text);
    }

    void addList(const QString& relative, const QByteArray& groups) const {
        writeFile(path(relative), groups);
    }

    // The arguments the browser got, once it has run.
    QStringList arguments() const { return recordedArguments(record()); }

private:
    QTemporaryDir dir_;
};

} // namespace

class TstOpenURL : public QObject {
    Q_OBJECT

private slots:
    void init() {
        desktop_ = std::make_unique<FakeDesktop>();
        originalPath_ = qgetenv("PATH");
        boxes_.clear();
        SetMsgBoxResponder([this](const QString& prompt, int style, const QString& title) {
            boxes_.append({prompt, style, title, readFile(tempFilePath())});
            return int(vbOK);
        });
        QFile::remove(tempFilePath());
    }

    void cleanup() {
        SetMsgBoxResponder(nullptr);
        qputenv("PATH", originalPath_);
        QFile::remove(tempFilePath());
        QDir(tempFilePath()).removeRecursively();
        desktop_.reset();
    }

    // A program for plain text is no browser, and a file left by an earlier run is replaced by
    // the one line before the lookup and is gone afterwards.
    void noAssociationTellsTheUserAndStartsNothing() {
        desktop_->addBrowser("bin/editor.sh");
        desktop_->addEntry("share/applications/editor.desktop", desktop_->path("bin/editor.sh"),
                           "text/plain;");
        desktop_->addList("config/mimeapps.list",
                          "[Default Applications]\ntext/plain=editor.desktop\n");
        writeFile(tempFilePath(), QByteArray(300, 'x'));

        Common_Functions::OpenURL(QLatin1String(kAwkwardAddress));

        QCOMPARE(boxes_.size(), 1);
        QCOMPARE(boxes_[0].prompt, QStringLiteral("Could not find default Browser"));
        QCOMPARE(boxes_[0].title, QStringLiteral("Browser Not Found"));
        QCOMPARE(boxes_[0].style, int(vbExclamation | vbOKOnly));
        QCOMPARE(boxes_[0].tempFileAtBox, QByteArray(kTempFileLine));
        QCOMPARE(boxes_[0].tempFileAtBox.size(), 18);
        QVERIFY(!QFile::exists(tempFilePath()));
        QTest::qWait(300);
        QVERIFY(!QFile::exists(desktop_->record()));
    }

    void associatedBrowserGetsTheAddressAsItsOneArgument_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("exec"); // %B: the script's path
        QTest::addColumn<QString>("entryTypes");
        QTest::addColumn<QString>("list");
        QTest::addColumn<QByteArray>("groups");
        QTest::addColumn<bool>("onPath");
        QTest::addColumn<bool>("browserVariable");

        const QByteArray html = "[Default Applications]\ntext/html=web.desktop;\n";
        QTest::newRow("user's default") << "bin/web.sh"
                                        << "%B %u"
                                        << ""
                                        << "config/mimeapps.list" << html << false << false;
        QTest::newRow("folder with blanks, quoted Exec")
            << "my browsers/web browser.sh"
            << "\"%B\" --new-window %U"
            << ""
            << "config/mimeapps.list" << html << false << false;
        QTest::newRow("system list, first default not installed")
            << "bin/web.sh"
            << "%B"
            << ""
            << "share/applications/mimeapps.list"
            << QByteArray("[Default Applications]\ntext/html=gone.desktop;web.desktop\n") << false
            << false;
        QTest::newRow("added association")
            << "bin/web.sh"
            << "%B"
            << ""
            << "etc/mimeapps.list" << QByteArray("[Added Associations]\ntext/html=web.desktop;\n")
            << false << false;
        QTest::newRow("entry's own types only") << "bin/web.sh"
                                                << "%B %u"
                                                << "text/html;application/xhtml+xml;"
                                                << "" << QByteArray() << false << false;
        QTest::newRow("bare program name through PATH")
            << "bin/web.sh"
            << "web.sh %u"
            << ""
            << "config/mimeapps.list" << html << true << false;
        QTest::newRow("BROWSER variable") << "bin/web.sh"
                                          << ""
                                          << ""
                                          << "" << QByteArray() << false << true;
    }

    void associatedBrowserGetsTheAddressAsItsOneArgument() {
        QFETCH(QString, script);
        QFETCH(QString, exec);
        QFETCH(QString, entryTypes);
        QFETCH(QString, list);
        QFETCH(QByteArray, groups);
        QFETCH(bool, onPath);
        QFETCH(bool, browserVariable);

        const QString browser = desktop_->addBrowser(script);
        if (!exec.isEmpty()) {
            QString line = exec;
            line.replace(QLatin1String("%B"), browser);
            desktop_->addEntry("data/applications/web.desktop", line, entryTypes);
        }
        if (!list.isEmpty())
            desktop_->addList(list, groups);
        if (onPath)
            qputenv("PATH", QFileInfo(browser).absolutePath().toLocal8Bit() + ":" + originalPath_);
        if (browserVariable)
            qputenv("BROWSER", browser.toLocal8Bit() + " %s");

        Common_Functions::OpenURL(QLatin1String(kAwkwardAddress));

        QCOMPARE(boxes_.size(), 0);
        QVERIFY(!QFile::exists(tempFilePath()));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(desktop_->record()), 10000);
        QCOMPARE(desktop_->arguments(), QStringList{QLatin1String(kAwkwardAddress)});
    }

    void browserThatCannotStartIsReported_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("executable");
        QTest::addColumn<bool>("folder");

        QTest::newRow("no execute permission") << QByteArray("#!/bin/sh\n") << false << false;
        QTest::newRow("not a program") << QByteArray("\x7f"
                                                     "ELF garbage",
                                                     12)
                                       << true << false;
        QTest::newRow("a folder") << QByteArray() << false << true;
    }

    void browserThatCannotStartIsReported() {
        QFETCH(QByteArray, content);
        QFETCH(bool, executable);
        QFETCH(bool, folder);

        const QString browser = desktop_->path("bin/broken");
        if (folder)
            QVERIFY(QDir().mkpath(browser));
        else
            writeFile(browser, content,
                      QFile::ReadOwner | QFile::WriteOwner |
                          (executable ? QFile::ExeOwner : QFile::Permissions()));
        desktop_->addEntry("data/applications/web.desktop", browser + " %u");
        desktop_->addList("config/mimeapps.list",
                          "[Default Applications]\ntext/html=web.desktop\n");

        Common_Functions::OpenURL(QStringLiteral("https://www.example.net/"));

        if (folder) {
            // A folder is no program: the association is passed over.
            QCOMPARE(boxes_.size(), 1);
            QCOMPARE(boxes_[0].prompt, QStringLiteral("Could not find default Browser"));
        } else {
            QCOMPARE(boxes_.size(), 1);
            QCOMPARE(boxes_[0].prompt, QStringLiteral("Web Page not Opened"));
            QCOMPARE(boxes_[0].title, QStringLiteral("URL Failed"));
            QCOMPARE(boxes_[0].style, int(vbExclamation | vbOKOnly));
        }
        QVERIFY(!QFile::exists(tempFilePath()));
    }

    // A folder the user may not write to: the lookup uses a file of its own in the temporary
    // folder, removes it, and leaves what stands in the program folder alone.
    void unwritableProgramFolderStillOpensThePage() {
        desktop_->addEntry("data/applications/web.desktop",
                           desktop_->addBrowser("bin/web.sh") + " %u");
        desktop_->addList("config/mimeapps.list",
                          "[Default Applications]\ntext/html=web.desktop\n");
        QVERIFY(QDir().mkpath(tempFilePath() + "/inside"));

        Common_Functions::OpenURL(QStringLiteral("https://www.example.net/x"));

        QCOMPARE(boxes_.size(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(desktop_->record()), 10000);
        QCOMPARE(desktop_->arguments(), QStringList{"https://www.example.net/x"});
        QVERIFY(QFileInfo(tempFilePath() + "/inside").isDir());
        QCOMPARE(QDir(desktop_->path("tmp")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    }

    void openersOpenTheirPages_data() {
        QTest::addColumn<int>("opener");
        QTest::addColumn<QString>("address");
        QTest::newRow("updates") << 0 << "https://www.quorvane.net/Updates.htm";
        QTest::newRow("manual") << 1 << "https://www.quorvane.net/Help";
        QTest::newRow("FAQ") << 2 << "https://www.quorvane.net/FAQ/FAQ.htm";
        QTest::newRow("feedback") << 3 << "https://www.quorvane.net/Feedback.htm";
        QTest::newRow("home") << 4 << "https://www.quorvane.net/";
    }

    void openersOpenTheirPages() {
        QFETCH(int, opener);
        QFETCH(QString, address);
        void (*const openers[])() = {
            HelpMenuFunctions::OpenUpdatesPage, HelpMenuFunctions::OpenOnlineManual,
            HelpMenuFunctions::OpenFAQPage, HelpMenuFunctions::OpenFeedbackPage,
            HelpMenuFunctions::OpenHomePage};
        desktop_->addEntry("data/applications/web.desktop",
                           desktop_->addBrowser("bin/web.sh") + " %u");
        desktop_->addList("config/mimeapps.list",
                          "[Default Applications]\ntext/html=web.desktop\n");

        openers[opener]();

        QCOMPARE(boxes_.size(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(desktop_->record()), 10000);
        QCOMPARE(desktop_->arguments(), QStringList{address});
    }

private:
    std::unique_ptr<FakeDesktop> desktop_;
    QByteArray originalPath_;
    QList<Box> boxes_;
};

QTEST_MAIN(TstOpenURL)
#include "tst_open_url.moc"
