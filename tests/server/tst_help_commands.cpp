// The help, tip and web commands of the main window and the configuration dialog: each opens the
// help topic of its context number, the tip of the day, or its page of the maker's site, and
// nothing else.
#include "engine/globals.h"
#include "platform/html_help.h"
#include "platform/msg_box.h"
#include "platform/registry.h"
#include "platform/ss_panel.h"
#include "server/config_form.h"
#include "server/tftp_server_window.h"
#include "test_files.h"
#include "toolkit/help_menu_functions.h"
#include "toolkit/registry_support.h"

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#ifndef TIPDIALOG_LIBRARY
#error "TIPDIALOG_LIBRARY names the tip component's library"
#endif

namespace {

// One help file whose every topic says its own context number.
const QByteArray kHelp = "QUORVANE HELP 1\n"
                         "title: Test Help\n"
                         "@topic 1 contents.htm Contents\n<p>Topic 1.</p>\n"
                         "@topic 2000 server.htm Server\n<p>Topic 2000.</p>\n"
                         "@topic 2001 configure.htm Configure\n<p>Topic 2001.</p>\n";

bool tipShown() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("TipOfTheDay") && w->isVisible()) {
            return true;
        }
    }
    return false;
}

// A click as the window system delivers it, so that a window a modal dialog holds does not
// take it.
void click(QWidget* control, QPoint at = QPoint(5, 5)) {
    QWidget* window = control->window();
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, control->mapTo(window, at));
}

// Shows a window and gives it the focus, as the operator's keys need.
bool activate(QWidget* window) {
    window->show();
    window->activateWindow();
    return QTest::qWaitForWindowActive(window);
}

} // namespace

class TestHelpCommands : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        qputenv("QUORVANE_REGISTRY", QFile::encodeName(dir_.filePath("reg.db")));
        RegistryReopenForTests();
        // The tip component is installed, and the operator turned the tip at start off.
        HKEY key = 0;
        QCOMPARE(RegCreateKeyA(HKEY_CLASSES_ROOT, "Mirrowick.TipDialog\\InprocServer32", &key),
                 ERROR_SUCCESS);
        const QByteArray tip(TIPDIALOG_LIBRARY);
        QCOMPARE(RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(tip.constData()),
                                DWORD(tip.size() + 1)),
                 ERROR_SUCCESS);
        RegCloseKey(key);
        RegistrySupport::SaveRegSetting(QStringLiteral("Quorvane 2003"), QStringLiteral("Common"),
                                        QStringLiteral("ToolTips"), QStringLiteral("False"));

        // A desktop with no associations of its own; its browser is the recorder.
        for (const char* name :
             {"XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_HOME", "XDG_DATA_DIRS"}) {
            qputenv(name, dir_.filePath(QLatin1String("xdg/") + QLatin1String(name)).toLocal8Bit());
        }
        qunsetenv("XDG_CURRENT_DESKTOP");
        const QString browser = dir_.filePath("bin/browser.sh");
        writeFile(browser, recorderScript(record()),
                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("BROWSER", browser.toLocal8Bit());

        writeFile(dir_.filePath("Help/Quorvane.chm"), kHelp);
        HelpMenuFunctions::HelpFile = dir_.filePath("Help/Quorvane.chm");
        Globals::RootDir = dir_.path();
        SetTFTPServerFactory([] { return new TFTPServerWindow; });
        platform::SetMsgBoxResponder([this](const QString& prompt, int, const QString&) {
            boxes_ << prompt;
            return int(platform::vbOK);
        });
    }

    void init() {
        QFile::remove(record());
        boxes_.clear();
    }

    void cleanup() {
        platform::HtmlHelpA(0, nullptr, platform::HH_CLOSE_ALL, 0);
        if (DefaultConfigForm().IsLoaded()) {
            DefaultConfigForm().Unload();
        }
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QLatin1String("TipOfTheDay")) {
                w->close();
            }
        }
        ResetTFTPServer();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void commandsOpenWhatTheyName_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("topic"); // 0: none
        QTest::addColumn<bool>("tip");
        QTest::addColumn<QString>("page"); // empty: none
        const QString site = QStringLiteral("https://www.quorvane.net");
        QTest::newRow("&Contents ...") << "contents" << 1 << false << QString();
        QTest::newRow("&Help on TFTP Server ...") << "help" << 2000 << false << QString();
        QTest::newRow("F1 in the main window") << "window F1" << 2000 << false << QString();
        QTest::newRow("dialog's Help") << "dialog Help" << 2001 << false << QString();
        QTest::newRow("F1 in the dialog") << "dialog F1" << 2001 << false << QString();
        // Forced: shown although the tip at start is off.
        QTest::newRow("&Tip of the Day ...") << "tip" << 0 << true << QString();
        QTest::newRow("Software &Updates ...") << "updates" << 0 << false << site + "/Updates.htm";
        QTest::newRow("&On-Line Manual ...") << "manual" << 0 << false << site + "/Help";
        QTest::newRow("&Frequently Asked Questions ...")
            << "faq" << 0 << false << site + "/FAQ/FAQ.htm";
        QTest::newRow("Provide &Feedback ...")
            << "feedback" << 0 << false << site + "/Feedback.htm";
        QTest::newRow("banner") << "banner" << 0 << false << site + "/";
    }

    void commandsOpenWhatTheyName() {
        QFETCH(QString, command);
        QFETCH(int, topic);
        QFETCH(bool, tip);
        QFETCH(QString, page);
        TFTPServerCore::ListenPort = 0;
        TFTPServerWindow& w = MainWindow();
        QVERIFY(w.IsLoaded());

        if (command.startsWith(QLatin1String("dialog"))) {
            ConfigForm& form = DefaultConfigForm();
            form.Load();
            QVERIFY(activate(form.Window));
            if (command == QLatin1String("dialog Help")) {
                form.Help_Button->click();
            } else {
                QTest::keyClick(form.Window, Qt::Key_F1);
            }
            QVERIFY(form.IsLoaded()); // help leaves the dialog open
        } else if (command == QLatin1String("window F1")) {
            QVERIFY(activate(w.Window));
            QTest::keyClick(w.Window, Qt::Key_F1);
        } else if (command == QLatin1String("banner")) {
            w.Banner_Click();
        } else {
            const QHash<QString, QAction*> items{{"contents", w.ContentsSelection},
                                                 {"help", w.HelpSelection},
                                                 {"tip", w.HelpToolTip},
                                                 {"updates", w.UpdatesSelection},
                                                 {"manual", w.HelpOnLineSelection},
                                                 {"faq", w.FAQSelection},
                                                 {"feedback", w.FeedbackSelection}};
            QVERIFY(items.contains(command));
            items.value(command)->trigger();
        }

        if (topic != 0) {
            QVERIFY(platform::HtmlHelpViewer());
            QVERIFY2(
                platform::HtmlHelpViewerText().contains(QStringLiteral("Topic %1.").arg(topic)),
                qPrintable(platform::HtmlHelpViewerText()));
        } else {
            QVERIFY(!platform::HtmlHelpViewer());
        }
        QCOMPARE(tipShown(), tip);
        if (!page.isEmpty()) {
            QTRY_COMPARE(recordedArguments(record()), QStringList{page});
        } else {
            QVERIFY(!QFile::exists(record()));
        }
        QCOMPARE(boxes_, QStringList());
    }

    // The dialog stays open beside the help it opens: the help window takes clicks, whether it
    // opens from the dialog or was open before, while the main window behind the dialog takes
    // none.
    void helpWindowTakesInputBesideTheDialog_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Help") << "Help";
        QTest::newRow("F1") << "F1";
        QTest::newRow("help open before, then Help") << "before";
    }

    void helpWindowTakesInputBesideTheDialog() {
        QFETCH(QString, how);
        TFTPServerCore::ListenPort = 0;
        TFTPServerWindow& w = MainWindow();
        QVERIFY(activate(w.Window));
        if (how == QLatin1String("before")) {
            w.HelpSelection->trigger();
            QVERIFY(platform::HtmlHelpViewer());
        }
        QSignalSpy bannerClicks(w.Banner, &platform::SSPanel::Click);
        bool dialogOpen = false;
        bool helpTookClick = false;
        QString shownFirst;
        QTimer::singleShot(0, this, [&] {
            ConfigForm& form = DefaultConfigForm();
            if (!form.IsLoaded()) {
                return;
            }
            // The dialog itself has the keys, not only its window group.
            dialogOpen =
                QTest::qWaitFor([&] { return QApplication::activeWindow() == form.Window; });
            if (how == QLatin1String("F1")) {
                QTest::keyClick(form.Window, Qt::Key_F1);
            } else {
                form.Help_Button->click();
            }
            if (QWidget* help = platform::HtmlHelpViewer();
                help && QTest::qWaitForWindowExposed(help)) {
                shownFirst = platform::HtmlHelpViewerText();
                for (QPushButton* b : help->findChildren<QPushButton*>()) {
                    if (b->text() == QLatin1String("&Contents")) {
                        click(b);
                    }
                }
                helpTookClick = platform::HtmlHelpViewerText().contains(QLatin1String("Topic 1."));
            }
            click(w.Banner);
            dialogOpen = dialogOpen && form.IsLoaded();
            form.Cancel_Button->click();
        });
        w.ConfigureSelection_Click();
        QVERIFY(dialogOpen);
        QVERIFY2(shownFirst.contains(QLatin1String("Topic 2001.")), qPrintable(shownFirst));
        QVERIFY(helpTookClick);
        QCOMPARE(bannerClicks.count(), 0);
        QVERIFY(!DefaultConfigForm().IsLoaded());
    }

    // The tip opens as a dialog of the program does: over the main window when it is shown,
    // wherever that stands, else in the middle of the screen.
    void tipOpensCentred_data() {
        QTest::addColumn<bool>("windowShown");
        QTest::newRow("over the main window") << true;
        QTest::newRow("no window shown") << false;
    }

    void tipOpensCentred() {
        QFETCH(bool, windowShown);
        TFTPServerCore::ListenPort = 0;
        TFTPServerWindow& w = MainWindow();
        QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        if (windowShown) {
            w.Window->move(area.topLeft() + QPoint(30, 40));
            QVERIFY(activate(w.Window));
            area = w.Window->frameGeometry();
        }
        ToolTips::ShowTipOfTheDay(QStringLiteral("TFTPServer"), true);
        QWidget* tip = nullptr;
        for (QWidget* t : QApplication::topLevelWidgets()) {
            if (t->objectName() == QLatin1String("TipOfTheDay") && t->isVisible()) {
                tip = t;
            }
        }
        QVERIFY(tip);
        QVERIFY(QTest::qWaitForWindowExposed(tip));
        const QPoint offset = tip->frameGeometry().center() - area.center();
        QVERIFY2(qAbs(offset.x()) <= 2 && qAbs(offset.y()) <= 2,
                 qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
    }

private:
    QString record() const { return dir_.filePath("browser-record.txt"); }

    QTemporaryDir dir_;
    QStringList boxes_;
};

QTEST_MAIN(TestHelpCommands)
#include "tst_help_commands.moc"
