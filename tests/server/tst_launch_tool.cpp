#include "platform/msg_box.h"
#include "server/launch_tool.h"
#include "test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace platform;

namespace {

constexpr const char* kPage = "https://www.quorvane.net/Products/Tool.htm#Part Two";

} // namespace

class TstLaunchTool : public QObject {
    Q_OBJECT

private slots:
    // The default browser of a desktop of our own records the page it was given.
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", dir_->filePath("config").toLocal8Bit());
        qputenv("XDG_CONFIG_DIRS", dir_->filePath("etc").toLocal8Bit());
        qputenv("XDG_DATA_HOME", dir_->filePath("data").toLocal8Bit());
        qputenv("XDG_DATA_DIRS", dir_->filePath("share").toLocal8Bit());
        qunsetenv("XDG_CURRENT_DESKTOP");
        qunsetenv("BROWSER");
        const QString browser = dir_->filePath("bin/browser.sh");
        writeFile(browser, recorderScript(browserRecord()),
                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        writeFile(dir_->filePath("data/applications/web.desktop"),
                  "[Desktop Entry]\nType=Application\nExec=" + browser.toLocal8Bit() + " %u\n",
                  QFile::ReadOwner | QFile::WriteOwner);
        writeFile(dir_->filePath("config/mimeapps.list"),
                  "[Default Applications]\ntext/html=web.desktop\n",
                  QFile::ReadOwner | QFile::WriteOwner);
        boxes_.clear();
        SetMsgBoxResponder([this](const QString& prompt, int, const QString&) {
            boxes_ << prompt;
            return int(vbOK);
        });
    }

    void cleanup() {
        SetMsgBoxResponder(nullptr);
        for (const QString& name : {toolName(), QLatin1Char('.') + toolName()}) {
            const QString path = programFolderFile(name);
            QFile::remove(path);
            QDir(path).removeRecursively();
        }
        dir_.reset();
    }

    void presentProgramStartsAndNoPageOpens() {
        writeFile(programFolderFile(toolName()), recorderScript(toolRecord()),
                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        LaunchTool(toolName(), QLatin1String(kPage));

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(toolRecord()), 10000);
        QCOMPARE(recordedArguments(toolRecord()), QStringList());
        QTest::qWait(300);
        QVERIFY(!QFile::exists(browserRecord()));
        QCOMPARE(boxes_, QStringList());
    }

    // Each of these leaves the program folder without a program of that name to start.
    void otherwiseThePageOpens_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("absent") << "absent";
        QTest::newRow("hidden file") << "hidden";
        QTest::newRow("folder of that name") << "folder";
        QTest::newRow("present but not a program it may run") << "not executable";
    }

    void otherwiseThePageOpens() {
        QFETCH(QString, kind);
        QString name = toolName();
        const QByteArray script = recorderScript(toolRecord());
        const auto runnable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        if (kind == QLatin1String("hidden")) {
            name.prepend(QLatin1Char('.'));
            writeFile(programFolderFile(name), script, runnable);
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(programFolderFile(name)));
        } else if (kind == QLatin1String("not executable")) {
            writeFile(programFolderFile(name), script, QFile::ReadOwner | QFile::WriteOwner);
        }

        LaunchTool(name, QLatin1String(kPage));

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(browserRecord()), 10000);
        QCOMPARE(recordedArguments(browserRecord()), QStringList{QLatin1String(kPage)});
        QVERIFY(!QFile::exists(toolRecord()));
        QCOMPARE(boxes_, QStringList());
    }

    void absentProgramWithoutBrowserTellsTheUser() {
        QFile::remove(dir_->filePath("config/mimeapps.list"));
        QFile::remove(dir_->filePath("data/applications/web.desktop"));

        LaunchTool(toolName(), QLatin1String(kPage));

        QCOMPARE(boxes_, QStringList{"Could not find default Browser"});
    }

private:
    // A name of this run's own, so that nothing else in the program folder is touched.
    static QString toolName() {
        return QStringLiteral("tst-launch-tool-%1").arg(QCoreApplication::applicationPid());
    }
    static QString programFolderFile(const QString& name) {
        return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
    }
    QString browserRecord() const { return dir_->filePath("browser.txt"); }
    QString toolRecord() const { return dir_->filePath("tool.txt"); }

    std::unique_ptr<QTemporaryDir> dir_;
    QStringList boxes_;
};

QTEST_MAIN(TstLaunchTool)
#include "tst_launch_tool.moc"
