// The configuration dialog: its face, loading from the settings, the range list and its
// refusals, OK storing every setting, Cancel and the close box discarding, and the modal
// showing from the main window.
#include "engine/globals.h"
#include "engine/ip_range.h"
#include "engine/tftp_server_core.h"
#include "platform/common_dialog.h"
#include "platform/dir_list_box.h"
#include "platform/drive_list_box.h"
#include "platform/file_list_box.h"
#include "platform/msg_box.h"
#include "platform/registry.h"
#include "platform/ss_frame.h"
#include "platform/ss_option.h"
#include "platform/tab_control.h"
#include "server/config_form.h"
#include "server/tftp_server_window.h"
#include "test_files.h"
#include "toolkit/registry_support.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString kApp = QStringLiteral("TFTP Server");
const QString kConfig = QStringLiteral("Config");
const QString kRanges = QStringLiteral("IP Ranges");
const QString kUnwritten = QStringLiteral("<unwritten>");
const QString kAll = QStringLiteral("< all IP addresses >");

QString config(const char* name) {
    return RegistrySupport::GetRegSetting(kApp, kConfig, QLatin1String(name), kUnwritten);
}

QStringList slot(int n) {
    return {RegistrySupport::GetRegSetting(kApp, kRanges,
                                           QStringLiteral("Start IP Range %1").arg(n), kUnwritten),
            RegistrySupport::GetRegSetting(kApp, kRanges, QStringLiteral("End IP Range %1").arg(n),
                                           kUnwritten)};
}

void addRange(const QString& start, const QString& end) {
    IPRange r;
    r.SetStartIP(start);
    r.SetEndIP(end);
    IPRanges().Add(r);
}

QStringList rangeKeys() {
    QStringList keys;
    for (int i = 0; i < IPRanges().Count(); ++i) {
        keys << IPRanges().Item(i).Key();
    }
    return keys;
}

// The names of a section's values in the order they were first stored.
QStringList storedOrder(const QString& app, const QString& section) {
    QStringList names;
    HKEY key = 0;
    if (!RegistrySupport::OpenKey(HKEY_LOCAL_MACHINE,
                                  RegistrySupport::kRegistryRoot + app + "\\" + section, key)) {
        return names;
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names << QString::fromLatin1(name, length);
    }
    RegistrySupport::CloseKey(key);
    return names;
}

struct Box {
    QString prompt;
    int style;
    QString title;
};

// Everything OK writes, as the process holds it.
struct Settings {
    QString rootDir;
    bool receiveOnly, transmitOnly, logging;
    QString logFile;
    qint32 minutes, remaining;
    QStringList ranges;
    bool operator==(const Settings&) const = default;
};

Settings current() {
    return {Globals::RootDir,          Globals::ReceiveOnly, Globals::TransmitOnly,
            Globals::Logging,          Globals::LogFile,     Globals::InactivityMinutes,
            Globals::MinutesRemaining, rangeKeys()};
}

} // namespace

class TestConfigForm : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void faceStandsAsDesigned();
    void controlPlaces_data();
    void controlPlaces();
    void tabsSwitchPages();
    void loadFillsFromTheSettings();
    void loadDirection_data();
    void loadDirection();
    void loadInactivity_data();
    void loadInactivity();
    void missingRootDirectoryIsToldAndOKStoresTheShownOne();
    void directoryListOpensOnOneClickAndFilesFollow();

    void addRangeRefusals_data();
    void addRangeRefusals();
    void addRangeAccepts();
    void addRangeStopsAtWhatTheStoreHolds();
    void deleteRange();
    void enterAndEscapeKeys();

    void okStoresEverySettingInOrder();
    void okWithoutEditsRewritesEverything();
    void okWithLoggingOffKeepsTheOldFile();
    void okWithLoggingOnAndNoFileStoresEmpty();
    void cancelAndCloseBoxDiscard_data();
    void cancelAndCloseBoxDiscard();
    void everyShowingStartsFresh();
    void browseLogFile();
    void shutdownDuringAMessageLeavesNothingBehind();
    void configureCommandShowsItModally();

    void nothingIsClipped();
    void pictures();

private:
    ConfigForm& open();
    QWidget* focused() const { return QApplication::focusWidget(); }

    std::unique_ptr<QTemporaryDir> work_;
    std::unique_ptr<QTemporaryDir> root_;
    QList<Box> boxes_;
    // Runs inside the next message box, as whatever else the event loop might do there.
    std::function<void()> duringBox_;
};

void TestConfigForm::initTestCase() {
    SetTFTPServerFactory([] { return new TFTPServerWindow; });
    platform::SetMsgBoxResponder([this](const QString& prompt, int style, const QString& title) {
        boxes_.append({prompt, style, title});
        if (duringBox_) {
            std::exchange(duringBox_, {})();
        }
        return int(platform::vbOK);
    });
}

void TestConfigForm::init() {
    work_ = std::make_unique<QTemporaryDir>();
    root_ = std::make_unique<QTemporaryDir>();
    QVERIFY(work_->isValid() && root_->isValid());
    qputenv("QUORVANE_REGISTRY", QFile::encodeName(work_->filePath(QStringLiteral("reg.db"))));
    RegistryReopenForTests();

    QDir root(root_->path());
    QVERIFY(root.mkdir(QStringLiteral("images")));
    QVERIFY(root.mkdir(QStringLiteral("configs")));
    for (const char* name : {"pxeboot.0", "router.cfg", ".hidden", "images/kernel.img"}) {
        QFile file(root.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    Globals::RootDir = root_->path();
    Globals::TaskBar = false;
    Globals::ReceiveOnly = false;
    Globals::TransmitOnly = false;
    Globals::Logging = true;
    Globals::LogFile = work_->filePath(QStringLiteral("old.log"));
    Globals::InactivityMinutes = 30;
    Globals::MinutesRemaining = 3;
    IPRanges().Clear();
    boxes_.clear();
    duringBox_ = {};
    platform::CommonDialog::SetResponder({});

    TFTPServerCore::ListenPort = 0;
    QVERIFY(MainWindow().IsLoaded());
    MainWindow().StatusBar->Panels(QStringLiteral("Status"))->SetText(QStringLiteral("before"));
}

void TestConfigForm::cleanup() {
    if (DefaultConfigForm().IsLoaded()) {
        DefaultConfigForm().Unload();
    }
    ResetTFTPServer();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Loaded and shown without a modal loop, so that the test drives it; active, so that focus
// moves as it does for the operator.
ConfigForm& TestConfigForm::open() {
    ConfigForm& form = DefaultConfigForm();
    form.Load();
    if (form.Window) {
        form.Window->show();
        form.Window->activateWindow();
        if (!QTest::qWaitForWindowActive(form.Window)) {
            qWarning("the dialog did not become active");
        }
    }
    return form;
}

void TestConfigForm::faceStandsAsDesigned() {
    ConfigForm& form = open();
    QDialog* w = form.Window;
    QCOMPARE(w->windowTitle(), QStringLiteral("TFTP Server Configuration"));
    QCOMPARE(w->size(), QSize(394, 324));
    QCOMPARE(w->minimumSize(), w->maximumSize());
    const Qt::WindowFlags flags = w->windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(!w->windowIcon().isNull());

    QCOMPARE(form.Tabs->Tabs(), 5);
    QStringList captions;
    for (int i = 0; i < 5; ++i) {
        captions << form.Tabs->TabCaption(i);
    }
    QCOMPARE(captions, (QStringList{"&TFTP Root Directory", "Security", "Advanced Security",
                                    "Auto-Close", "Log"}));
    QCOMPARE(form.Tabs->Tab(), 0);
    // Five tabs on one row, none cut off: each caption fits its tab on at most two lines.
    for (int i = 0; i < 5; ++i) {
        const QRect tab = form.Tabs->TabRect(i);
        QCOMPARE(tab.top(), 0);
        const QRect need = form.Tabs->fontMetrics().boundingRect(
            tab.adjusted(4, 0, -4, 0), Qt::TextWordWrap | Qt::TextShowMnemonic,
            form.Tabs->TabCaption(i));
        QVERIFY2(need.width() <= tab.width() - 8 && need.height() <= tab.height(),
                 qPrintable(form.Tabs->TabCaption(i)));
    }

    // No default or cancel button: none is marked, none becomes one by taking the focus.
    for (QPushButton* b : w->findChildren<QPushButton*>()) {
        QVERIFY2(!b->isDefault() && !b->autoDefault(), qPrintable(b->text()));
    }
    QCOMPARE(form.FromIP->text(), QStringLiteral("0.0.0.0"));
    QCOMPARE(form.ToIP->text(), QStringLiteral("0.0.0.0"));
    QVERIFY(!form.Inactivity->isEditable());
    QCOMPARE(form.Frame1->title(), QString());

    // The tab order begins OK, Cancel, the tabs.
    QCOMPARE(focused(), form.OK_Button);
    QTest::keyClick(focused(), Qt::Key_Tab);
    QCOMPARE(focused(), form.Cancel_Button);
    QTest::keyClick(focused(), Qt::Key_Tab);
    QCOMPARE(focused(), form.Tabs);
}

void TestConfigForm::controlPlaces_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips");
    // Every caption is the design's own; places are the design's twips (15 to a pixel).
    auto row = [](const char* control, const char* caption, int l, int t, int w, int h) {
        QTest::newRow(control) << QString::fromLatin1(control) << QString::fromLatin1(caption)
                               << QRect(l, t, w, h);
    };
    row("Tabs", "", 60, 60, 5805, 4215);
    row("OK_Button", "OK", 1140, 4380, 1155, 375);
    row("Cancel_Button", "Cancel", 2400, 4380, 1155, 375);
    row("Help_Button", "Help", 3660, 4380, 1155, 375);
    row("Drive1", "", 120, 480, 5535, 315);
    row("Dir1", "", 120, 840, 5535, 1890);
    row("FileList", "", 120, 2760, 5535, 1260);
    row("Label3",
        "The TFTP Server can be configured to allow receiving of files only, transmitting of "
        "files only, or allow both, transmitting and receiving.",
        720, 960, 4395, 735);
    row("Frame1", "", 720, 1860, 4395, 1755);
    row("ReceiveOnly", "Receive only", 480, 420, 3135, 315);
    row("TransmitOnly", "Transmit only", 480, 720, 3135, 315);
    row("Both", "Transmit and Receive files", 480, 1020, 3195, 315);
    row("Label4",
        "The TFTP Server can be configured to only allow certain IP Address ranges to "
        "send/receive files.",
        240, 540, 5415, 495);
    row("Label5", "Permitted IP Addresses", 240, 1080, 2415, 195);
    row("PermitList", "", 240, 1320, 4155, 1620);
    row("Delete_Button", "Delete Selected Range", 4560, 2220, 915, 735);
    row("SSFrame1", "Add new Address Range", 240, 3000, 5235, 1035);
    row("Label7", "From", 180, 360, 345, 195);
    row("FromIP", "0.0.0.0", 600, 300, 1395, 285);
    row("Label8", "To", 2100, 360, 195, 195);
    row("ToIP", "0.0.0.0", 2400, 300, 1395, 285);
    row("Add_Range_Button", "Add Range", 180, 660, 1455, 255);
    row("Label1",
        "The TFTP Server can be configured to automatically shutdown after a specified period "
        "of time. ",
        900, 840, 3435, 735);
    row("Label2", "Exit after a period of inactivity", 900, 1740, 2415, 255);
    row("Inactivity", "", 900, 1980, 3375, 315);
    row("Label6",
        "The TFTP Server can save a running log of all requests into a file of your choice.", 480,
        840, 4815, 495);
    row("LoggingOff", "Do not log requests", 600, 1740, 3855, 255);
    row("LoggingOn", "Log requests into the following file", 600, 2160, 3855, 255);
    row("LogFilename", "", 600, 2580, 4515, 285);
    row("BrowseLogFile", "...", 5220, 2580, 315, 280);
}

void TestConfigForm::controlPlaces() {
    QFETCH(QString, control);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);
    ConfigForm& f = open();
    const QMap<QString, QWidget*> controls{
        {"Tabs", f.Tabs},
        {"OK_Button", f.OK_Button},
        {"Cancel_Button", f.Cancel_Button},
        {"Help_Button", f.Help_Button},
        {"Drive1", f.Drive1},
        {"Dir1", f.Dir1},
        {"FileList", f.FileList},
        {"Label3", f.Label3},
        {"Frame1", f.Frame1},
        {"ReceiveOnly", f.ReceiveOnly},
        {"TransmitOnly", f.TransmitOnly},
        {"Both", f.Both},
        {"Label4", f.Label4},
        {"Label5", f.Label5},
        {"PermitList", f.PermitList},
        {"Delete_Button", f.Delete_Button},
        {"SSFrame1", f.SSFrame1},
        {"Label7", f.Label7},
        {"FromIP", f.FromIP},
        {"Label8", f.Label8},
        {"ToIP", f.ToIP},
        {"Add_Range_Button", f.Add_Range_Button},
        {"Label1", f.Label1},
        {"Label2", f.Label2},
        {"Inactivity", f.Inactivity},
        {"Label6", f.Label6},
        {"LoggingOff", f.LoggingOff},
        {"LoggingOn", f.LoggingOn},
        {"LogFilename", f.LogFilename},
        {"BrowseLogFile", f.BrowseLogFile},
    };
    QWidget* w = controls.value(control);
    QVERIFY(w);
    const QRect expected((twips.x() * 2 + 15) / 30, (twips.y() * 2 + 15) / 30,
                         (twips.width() * 2 + 15) / 30, (twips.height() * 2 + 15) / 30);
    if (auto* list = qobject_cast<QListWidget*>(w)) {
        // A list gives up less than a row of its place, so that it shows whole rows only.
        QCOMPARE(list->pos(), expected.topLeft());
        QCOMPARE(list->width(), expected.width());
        QVERIFY(list->height() <= expected.height());
        QVERIFY(list->height() > expected.height() - list->sizeHintForRow(0));
    } else {
        QCOMPARE(w->geometry(), expected);
    }
    QString text;
    if (auto* label = qobject_cast<QLabel*>(w)) {
        text = label->text();
        // A label's words all show: nothing is cut off at its place's edges.
        const QRect need = label->fontMetrics().boundingRect(QRect(0, 0, label->width(), 10000),
                                                             Qt::TextWordWrap, text);
        QVERIFY2(need.width() <= label->width() && need.height() <= label->height(),
                 qPrintable(QStringLiteral("%1 needs %2x%3")
                                .arg(control)
                                .arg(need.width())
                                .arg(need.height())));
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        text = button->text();
    } else if (auto* box = qobject_cast<QGroupBox*>(w)) {
        text = box->title();
    } else if (auto* edit = qobject_cast<QLineEdit*>(w); edit && control != "LogFilename") {
        text = edit->text();
    }
    QCOMPARE(text, caption);
    // Where each control lives: the tab pages hold their own, the frames theirs.
    if (control.startsWith("Label7") || control.endsWith("IP") || control == "Add_Range_Button") {
        QCOMPARE(w->parentWidget(), f.SSFrame1);
    } else if (control == "ReceiveOnly" || control == "TransmitOnly" || control == "Both") {
        QCOMPARE(w->parentWidget(), f.Frame1);
    }
}

void TestConfigForm::tabsSwitchPages() {
    ConfigForm& form = open();
    platform::TabControl* tabs = form.Tabs;
    QSignalSpy clicks(tabs, &platform::TabControl::Click);
    QVERIFY(form.Dir1->isVisible());
    QVERIFY(!form.PermitList->isVisible());

    // A press on a tab's handle, as the window delivers it: to whatever lies there.
    const QPoint at = tabs->TabRect(2).center();
    QWidget* handle = tabs->childAt(at);
    QVERIFY(handle);
    QTest::mouseClick(handle, Qt::LeftButton, {}, handle->mapFrom(tabs, at));
    QCOMPARE(tabs->Tab(), 2);
    QVERIFY(form.PermitList->isVisible());
    QVERIFY(!form.Dir1->isVisible());
    QCOMPARE(clicks.count(), 1);
    QCOMPARE(clicks.at(0).at(0).toInt(), 0);

    // Arrow keys on the tabs and the caption's access key choose tabs too.
    tabs->setFocus();
    QTest::keyClick(tabs, Qt::Key_Right);
    QCOMPARE(tabs->Tab(), 3);
    QVERIFY(form.Inactivity->isVisible());
    QTest::keyClick(form.Window, Qt::Key_T, Qt::AltModifier);
    QCOMPARE(tabs->Tab(), 0);
    tabs->SetTab(7);
    QCOMPARE(tabs->Tab(), 0);
}

void TestConfigForm::loadFillsFromTheSettings() {
    addRange(QStringLiteral("192.168.1.1"), QStringLiteral("192.168.1.254"));
    addRange(QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.1"));
    ConfigForm& form = open();
    QCOMPARE(form.PermitLines(),
             (QStringList{"From 192.168.1.1 to 192.168.1.254", "From 10.0.0.1 to 10.0.0.1"}));
    QVERIFY(boxes_.isEmpty());

    QCOMPARE(form.Dir1->Path(), QDir::cleanPath(root_->path()));
    QCOMPARE(form.FileList->Path(), form.Dir1->Path());
    // The directory's files: no folders, no hidden files.
    QStringList files;
    for (int i = 0; i < form.FileList->ListCount(); ++i) {
        files << form.FileList->List(i);
    }
    QCOMPARE(files, (QStringList{"pxeboot.0", "router.cfg"}));
    QCOMPARE(form.Drive1->Drive(), form.Drive1->DriveOf(root_->path()));

    QStringList choices;
    QList<int> minutes;
    for (int i = 0; i < form.Inactivity->count(); ++i) {
        choices << form.Inactivity->itemText(i);
        minutes << form.Inactivity->itemData(i).toInt();
    }
    QCOMPARE(choices,
             (QStringList{"Never", "5 minutes", "10 minutes", "30 minutes", "1 hour", "4 hours"}));
    QCOMPARE(minutes, (QList<int>{9900000, 5, 10, 30, 60, 240}));
    QCOMPARE(form.Inactivity->currentText(), QStringLiteral("30 minutes"));

    QVERIFY(form.LoggingOn->isChecked() && !form.LoggingOff->isChecked());
    QVERIFY(form.LogFilename->isEnabled() && form.BrowseLogFile->isEnabled());
    QCOMPARE(form.LogFilename->text(), Globals::LogFile);

    // Choosing the options turns the file controls off and on again.
    form.LoggingOff->click();
    QVERIFY(!form.LogFilename->isEnabled() && !form.BrowseLogFile->isEnabled());
    form.LoggingOn->click();
    QVERIFY(form.LogFilename->isEnabled() && form.BrowseLogFile->isEnabled());

    // Opening the dialog restarts no count and changes nothing.
    QCOMPARE(Globals::MinutesRemaining, 3);
    QCOMPARE(config("RootDir"), kUnwritten);
}

void TestConfigForm::loadDirection_data() {
    QTest::addColumn<bool>("receiveOnly");
    QTest::addColumn<bool>("transmitOnly");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("storedReceiveOnly");
    QTest::addColumn<QString>("storedTransmitOnly");
    QTest::newRow("receive only") << true << false << "ReceiveOnly"
                                  << "True"
                                  << "False";
    QTest::newRow("transmit only") << false << true << "TransmitOnly"
                                   << "False"
                                   << "True";
    QTest::newRow("both directions") << false << false << "Both"
                                     << "False"
                                     << "False";
    // Receive-only is looked at first, and OK then straightens the pair out.
    QTest::newRow("both flags set") << true << true << "ReceiveOnly"
                                    << "True"
                                    << "False";
}

void TestConfigForm::loadDirection() {
    QFETCH(bool, receiveOnly);
    QFETCH(bool, transmitOnly);
    QFETCH(QString, shown);
    QFETCH(QString, storedReceiveOnly);
    QFETCH(QString, storedTransmitOnly);
    Globals::ReceiveOnly = receiveOnly;
    Globals::TransmitOnly = transmitOnly;
    ConfigForm& form = open();
    QCOMPARE(form.ReceiveOnly->Value(), shown == "ReceiveOnly");
    QCOMPARE(form.TransmitOnly->Value(), shown == "TransmitOnly");
    QCOMPARE(form.Both->Value(), shown == "Both");
    form.OK_Button_Click();
    QCOMPARE(config("ReceiveOnly"), storedReceiveOnly);
    QCOMPARE(config("TransmitOnly"), storedTransmitOnly);
    QCOMPARE(Globals::ReceiveOnly, storedReceiveOnly == "True");
    QCOMPARE(Globals::TransmitOnly, storedTransmitOnly == "True");
}

void TestConfigForm::loadInactivity_data() {
    QTest::addColumn<int>("minutes");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("stored");
    QTest::newRow("never") << 9900000 << "Never" << 9900000;
    QTest::newRow("five") << 5 << "5 minutes" << 5;
    QTest::newRow("four hours") << 240 << "4 hours" << 240;
    // A time that is no choice shows, and is stored as, five minutes.
    QTest::newRow("fifteen") << 15 << "5 minutes" << 5;
    QTest::newRow("zero") << 0 << "5 minutes" << 5;
}

void TestConfigForm::loadInactivity() {
    QFETCH(int, minutes);
    QFETCH(QString, shown);
    QFETCH(int, stored);
    Globals::InactivityMinutes = minutes;
    ConfigForm& form = open();
    QCOMPARE(form.Inactivity->currentText(), shown);
    form.OK_Button_Click();
    QCOMPARE(Globals::InactivityMinutes, stored);
    QCOMPARE(Globals::MinutesRemaining, stored);
    QCOMPARE(config("InactivityTimer"), QString::number(stored));
}

void TestConfigForm::missingRootDirectoryIsToldAndOKStoresTheShownOne() {
    const QString missing = root_->filePath(QStringLiteral("gone"));
    Globals::RootDir = missing;
    ConfigForm& form = open();
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_[0].prompt, QStringLiteral("TFTP root directory was set to ") + missing +
                                   QStringLiteral(" but it does not exist.\rYou will need to "
                                                  "select a different directory."));
    QCOMPARE(boxes_[0].style, 48);
    QCOMPARE(boxes_[0].title, QStringLiteral("Drovemoor"));
    // The list stays on the directory it opened on; the rest is filled as usual.
    QCOMPARE(form.Dir1->Path(), QDir::cleanPath(QDir::currentPath()));
    QCOMPARE(form.FileList->Path(), form.Dir1->Path());
    QCOMPARE(form.Inactivity->currentText(), QStringLiteral("30 minutes"));
    QCOMPARE(form.LogFilename->text(), Globals::LogFile);

    form.OK_Button_Click();
    QCOMPARE(Globals::RootDir, QDir::cleanPath(QDir::currentPath()));
    QCOMPARE(config("RootDir"), Globals::RootDir);
}

void TestConfigForm::directoryListOpensOnOneClickAndFilesFollow() {
    ConfigForm& form = open();
    platform::DirListBox* dirs = form.Dir1;
    const QString images = QDir::cleanPath(root_->filePath(QStringLiteral("images")));
    int row = -1;
    for (int i = 0; i < dirs->ListCount(); ++i) {
        if (dirs->List(i) == images) {
            row = i;
        }
    }
    QVERIFY(row > 0);
    // The folders above come first, the open one highlighted, its subfolders below it.
    QCOMPARE(dirs->List(0), QStringLiteral("/"));
    QCOMPARE(dirs->List(dirs->ListIndex()), QDir::cleanPath(root_->path()));
    QCOMPARE(dirs->List(row - 1), QDir::cleanPath(root_->filePath(QStringLiteral("configs"))));

    QTest::mouseClick(dirs->viewport(), Qt::LeftButton, {},
                      dirs->visualItemRect(dirs->item(row)).center());
    QCOMPARE(dirs->Path(), images);
    QCOMPARE(form.FileList->Path(), images);
    QCOMPARE(form.FileList->ListCount(), 1);
    QCOMPARE(form.FileList->List(0), QStringLiteral("kernel.img"));

    // A file cannot be chosen: the list only shows what the directory holds.
    QListWidget* files = form.FileList;
    QTest::mouseClick(files->viewport(), Qt::LeftButton, {},
                      files->visualItemRect(files->item(0)).center());
    QCOMPARE(form.FileList->ListIndex(), -1);
    QVERIFY(files->selectedItems().isEmpty());

    // A directory that went after it was listed is dropped; the list stays where it was.
    QVERIFY(dirs->SetPath(root_->path()));
    QVERIFY(QDir(root_->filePath(QStringLiteral("configs"))).removeRecursively());
    for (int i = 0; i < dirs->ListCount(); ++i) {
        if (dirs->List(i).endsWith(QLatin1String("/configs"))) {
            dirs->SetListIndex(i);
        }
    }
    form.Dir1_Click();
    QCOMPARE(dirs->Path(), QDir::cleanPath(root_->path()));
    for (int i = 0; i < dirs->ListCount(); ++i) {
        QVERIFY(!dirs->List(i).endsWith(QLatin1String("/configs")));
    }

    form.OK_Button_Click();
    QCOMPARE(config("RootDir"), QDir::cleanPath(root_->path()));
}

void TestConfigForm::addRangeRefusals_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("focusFrom");
    const QString badStart =
        QStringLiteral("You did not enter a valid starting IP address for the range.");
    const QString badEnd =
        QStringLiteral("You did not enter a valid ending IP address for the range.");
    const QString above =
        QStringLiteral("Your starting IP Address is greater than your ending IP Address.");
    QTest::newRow("leading zero") << "01.2.3.4"
                                  << "1.2.3.4" << badStart << true;
    QTest::newRow("both bad: only the first") << "01.2.3.4"
                                              << "x" << badStart << true;
    QTest::newRow("empty start") << ""
                                 << "1.1.1.1" << badStart << true;
    QTest::newRow("tab after start") << "1.1.1.1\t"
                                     << "1.1.1.1" << badStart << true;
    QTest::newRow("number above 255") << "256.1.1.1"
                                      << "1.1.1.1" << badStart << true;
    QTest::newRow("three numbers") << "1.2.3.4"
                                   << "1.2.3" << badEnd << false;
    QTest::newRow("inner blank") << "1.2.3.4"
                                 << "1.2.3. 5" << badEnd << false;
    QTest::newRow("start above end by address") << "10.0.0.10"
                                                << "10.0.0.9" << above << true;
    QTest::newRow("already listed") << "10.0.0.1"
                                    << " 10.0.0.9 "
                                    << "That address range already exists." << true;
}

void TestConfigForm::addRangeRefusals() {
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, message);
    QFETCH(bool, focusFrom);
    addRange(QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.9"));
    ConfigForm& form = open();
    form.Tabs->SetTab(2);
    form.FromIP->setText(from);
    form.ToIP->setText(to);
    form.Add_Range_Button->setFocus();
    const QStringList before = form.PermitLines();

    form.Add_Range_Button_Click();
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_[0].prompt, message);
    QCOMPARE(boxes_[0].style, 48); // exclamation mark, OK alone
    QCOMPARE(boxes_[0].title, QStringLiteral("Drovemoor"));
    QCOMPARE(form.PermitLines(), before);
    QCOMPARE(form.FromIP->text(), from);
    QCOMPARE(form.ToIP->text(), to);
    // The box in question has the focus and its whole text selected for retyping.
    QLineEdit* box = focusFrom ? form.FromIP : form.ToIP;
    QCOMPARE(focused(), box);
    QCOMPARE(box->selectedText(), box->text());
    QCOMPARE(box->selectionStart(), box->text().isEmpty() ? -1 : 0);
}

void TestConfigForm::addRangeAccepts() {
    ConfigForm& form = open();
    QCOMPARE(form.PermitLines(), QStringList{kAll});

    // The untouched boxes give the one address 0.0.0.0; the placeholder goes.
    form.Add_Range_Button->click();
    QCOMPARE(form.PermitLines(), QStringList{"From 0.0.0.0 to 0.0.0.0"});

    auto add = [&](const char* from, const char* to) {
        form.FromIP->setText(QLatin1String(from));
        form.ToIP->setText(QLatin1String(to));
        form.Add_Range_Button_Click();
    };
    add("  192.168.1.1  ", " 192.168.1.254"); // blanks around go
    add("10.0.0.9", "10.0.0.10");             // compared as addresses, not as text
    add("10.0.0.5", "10.0.0.5");              // one address
    add("192.168.1.100", "192.168.1.200");    // inside another: still taken
    add("192.168.1.254", "192.168.2.1");      // adjoining
    QVERIFY(boxes_.isEmpty());
    QCOMPARE(
        form.PermitLines(),
        (QStringList{"From 0.0.0.0 to 0.0.0.0", "From 192.168.1.1 to 192.168.1.254",
                     "From 10.0.0.9 to 10.0.0.10", "From 10.0.0.5 to 10.0.0.5",
                     "From 192.168.1.100 to 192.168.1.200", "From 192.168.1.254 to 192.168.2.1"}));
    // A successful add leaves the boxes as typed.
    QCOMPARE(form.FromIP->text(), QStringLiteral("192.168.1.254"));
    QCOMPARE(form.ToIP->text(), QStringLiteral("192.168.2.1"));

    form.OK_Button_Click();
    QCOMPARE(rangeKeys(),
             (QStringList{"R:0.0.0.0:0.0.0.0", "R:192.168.1.1:192.168.1.254",
                          "R:10.0.0.9:10.0.0.10", "R:10.0.0.5:10.0.0.5",
                          "R:192.168.1.100:192.168.1.200", "R:192.168.1.254:192.168.2.1"}));
    QCOMPARE(slot(2), (QStringList{"192.168.1.1", "192.168.1.254"}));
    QCOMPARE(slot(6), (QStringList{"192.168.1.254", "192.168.2.1"}));
    QCOMPARE(slot(7), (QStringList{"", ""}));
    QVERIFY(IPAllowed(QStringLiteral("10.0.0.9")));
    QVERIFY(!IPAllowed(QStringLiteral("10.0.0.11")));
}

void TestConfigForm::addRangeStopsAtWhatTheStoreHolds() {
    for (int i = 0; i < ConfigForm::kMaxRanges; ++i) {
        addRange(QStringLiteral("10.0.%1.1").arg(i), QStringLiteral("10.0.%1.9").arg(i));
    }
    ConfigForm& form = open();
    QCOMPARE(form.PermitLines().size(), 100);
    form.FromIP->setText(QStringLiteral("172.16.0.1"));
    form.ToIP->setText(QStringLiteral("172.16.0.9"));
    form.Add_Range_Button_Click();
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_[0].prompt, QStringLiteral("No more than 100 address ranges can be stored."));
    QCOMPARE(boxes_[0].style, 48);
    QCOMPARE(form.PermitLines().size(), 100);

    // With one deleted there is room again, and everything listed is what gets stored.
    form.PermitList->setCurrentRow(0);
    form.Delete_Button_Click();
    form.Add_Range_Button_Click();
    QCOMPARE(boxes_.size(), 1);
    form.OK_Button_Click();
    QCOMPARE(IPRanges().Count(), 100);
    QCOMPARE(slot(1), (QStringList{"10.0.1.1", "10.0.1.9"}));
    QCOMPARE(slot(100), (QStringList{"172.16.0.1", "172.16.0.9"}));
}

void TestConfigForm::deleteRange() {
    addRange(QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.9"));
    addRange(QStringLiteral("10.0.1.1"), QStringLiteral("10.0.1.9"));
    ConfigForm& form = open();
    QListWidget* list = form.PermitList;
    const QString selectFirst = QStringLiteral("You must select an address range first.");

    form.Delete_Button->click();
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_[0].prompt, selectFirst);
    QCOMPARE(boxes_[0].style, 48);
    QCOMPARE(form.PermitLines().size(), 2);

    list->setCurrentRow(0);
    form.Delete_Button_Click();
    QCOMPARE(form.PermitLines(), QStringList{"From 10.0.1.1 to 10.0.1.9"});
    QVERIFY(list->selectedItems().isEmpty()); // nothing is selected after a delete
    form.Delete_Button_Click();
    QCOMPARE(boxes_.size(), 2);

    // The last range going brings the placeholder back; deleting that does nothing.
    list->setCurrentRow(0);
    form.Delete_Button_Click();
    QCOMPARE(form.PermitLines(), QStringList{kAll});
    list->setCurrentRow(0);
    form.Delete_Button_Click();
    QCOMPARE(form.PermitLines(), QStringList{kAll});
    QCOMPARE(boxes_.size(), 2);

    // Only the placeholder left: OK empties the ranges and stores 100 empty slots.
    form.OK_Button_Click();
    QCOMPARE(IPRanges().Count(), 0);
    for (int n = 1; n <= 100; ++n) {
        QCOMPARE(slot(n), (QStringList{"", ""}));
    }
}

void TestConfigForm::enterAndEscapeKeys() {
    ConfigForm& form = open();
    form.Tabs->SetTab(2);
    form.FromIP->setText(QStringLiteral("10.1.1.1"));
    form.ToIP->setText(QStringLiteral("10.1.1.5"));

    // Enter in the start box goes on to the end box, its text selected, nothing typed.
    form.FromIP->setFocus();
    QTest::keyClick(form.FromIP, Qt::Key_Return);
    QCOMPARE(focused(), form.ToIP);
    QCOMPARE(form.ToIP->selectedText(), QStringLiteral("10.1.1.5"));
    QCOMPARE(form.FromIP->text(), QStringLiteral("10.1.1.1"));
    // Other keys type as usual.
    QTest::keyClicks(form.ToIP, QStringLiteral("10.1.1.7"));
    QCOMPARE(form.ToIP->text(), QStringLiteral("10.1.1.7"));

    // Enter in the end box adds the range.
    QTest::keyClick(form.ToIP, Qt::Key_Enter);
    QCOMPARE(form.PermitLines(), QStringList{"From 10.1.1.1 to 10.1.1.7"});
    QCOMPARE(form.ToIP->text(), QStringLiteral("10.1.1.7"));

    // Enter elsewhere presses no OK, Esc closes nothing.
    form.PermitList->setFocus();
    QTest::keyClick(form.PermitList, Qt::Key_Return);
    QTest::keyClick(form.Window, Qt::Key_Escape);
    form.Tabs->SetTab(4);
    form.LogFilename->setFocus();
    QTest::keyClick(form.LogFilename, Qt::Key_Return);
    QVERIFY(form.IsLoaded());
    QVERIFY(form.Window->isVisible());
    QCOMPARE(config("RootDir"), kUnwritten);
}

void TestConfigForm::okStoresEverySettingInOrder() {
    addRange(QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.9"));
    ConfigForm& form = open();
    const QString images = QDir::cleanPath(root_->filePath(QStringLiteral("images")));
    QVERIFY(form.Dir1->SetPath(images));
    form.Inactivity->setCurrentIndex(4); // 1 hour
    form.TransmitOnly->click();
    const QString newLog = work_->filePath(QStringLiteral("new.log"));
    form.LogFilename->setText(newLog);
    form.FromIP->setText(QStringLiteral("192.168.0.1"));
    form.ToIP->setText(QStringLiteral("192.168.0.99"));
    form.Add_Range_Button_Click();
    form.PermitList->setCurrentRow(0);
    form.Delete_Button_Click();
    form.FromIP->setText(QStringLiteral("10.0.0.1"));
    form.ToIP->setText(QStringLiteral("10.0.0.9"));
    form.Add_Range_Button_Click();
    QVERIFY(boxes_.isEmpty());

    // Nothing is applied before OK.
    QCOMPARE(Globals::RootDir, root_->path());
    QCOMPARE(rangeKeys(), QStringList{"R:10.0.0.1:10.0.0.9"});

    form.OK_Button->click();
    QVERIFY(!form.IsLoaded());
    QVERIFY(!form.Window);

    QCOMPARE(Globals::RootDir, images);
    QCOMPARE(MainWindow().StatusBar->Panels(QStringLiteral("Status"))->Text(), images);
    QCOMPARE(Globals::InactivityMinutes, 60);
    QCOMPARE(Globals::MinutesRemaining, 60);
    QVERIFY(!Globals::ReceiveOnly);
    QVERIFY(Globals::TransmitOnly);
    QVERIFY(Globals::Logging);
    QCOMPARE(Globals::LogFile, newLog);
    QCOMPARE(rangeKeys(), (QStringList{"R:192.168.0.1:192.168.0.99", "R:10.0.0.1:10.0.0.9"}));

    QCOMPARE(config("RootDir"), images);
    QCOMPARE(config("InactivityTimer"), QStringLiteral("60"));
    QCOMPARE(config("TransmitOnly"), QStringLiteral("True"));
    QCOMPARE(config("ReceiveOnly"), QStringLiteral("False"));
    QCOMPARE(config("Logging"), QStringLiteral("True"));
    QCOMPARE(config("LogFile"), newLog);
    // The ranges in the order of the list, from slot 1 on.
    QCOMPARE(slot(1), (QStringList{"192.168.0.1", "192.168.0.99"}));
    QCOMPARE(slot(2), (QStringList{"10.0.0.1", "10.0.0.9"}));
    QCOMPARE(slot(3), (QStringList{"", ""}));
    // Into a store that held none of them, the values come in the order they were written.
    QCOMPARE(storedOrder(kApp, kConfig), (QStringList{"RootDir", "InactivityTimer", "TransmitOnly",
                                                      "ReceiveOnly", "Logging", "LogFile"}));
}

void TestConfigForm::okWithoutEditsRewritesEverything() {
    for (const char* name :
         {"RootDir", "InactivityTimer", "TransmitOnly", "ReceiveOnly", "Logging", "LogFile"}) {
        RegistrySupport::SaveRegSetting(kApp, kConfig, QLatin1String(name),
                                        QStringLiteral("stale"));
    }
    for (int n = 1; n <= 100; ++n) {
        RegistrySupport::SaveRegSetting(kApp, kRanges, QStringLiteral("Start IP Range %1").arg(n),
                                        QStringLiteral("stale"));
    }
    addRange(QStringLiteral("172.16.0.1"), QStringLiteral("172.16.255.254"));
    const Settings before = current();

    ConfigForm& form = open();
    const QString store = work_->filePath(QStringLiteral("reg.db"));
    const quint32 commits = storeCommits(store);
    form.OK_Button_Click();
    // Every value in one commit: the save is stored whole or not at all.
    QCOMPARE(storeCommits(store), commits + 1);

    Settings expected = before;
    expected.remaining = before.minutes; // the count starts again
    QVERIFY(current() == expected);
    QCOMPARE(config("RootDir"), Globals::RootDir);
    QCOMPARE(config("InactivityTimer"), QStringLiteral("30"));
    QCOMPARE(config("TransmitOnly"), QStringLiteral("False"));
    QCOMPARE(config("ReceiveOnly"), QStringLiteral("False"));
    QCOMPARE(config("Logging"), QStringLiteral("True"));
    QCOMPARE(config("LogFile"), Globals::LogFile);
    QCOMPARE(slot(1), (QStringList{"172.16.0.1", "172.16.255.254"}));
    for (int n = 2; n <= 100; ++n) {
        QCOMPARE(slot(n), (QStringList{"", ""}));
    }
    QCOMPARE(MainWindow().StatusBar->Panels(QStringLiteral("Status"))->Text(), Globals::RootDir);
}

void TestConfigForm::okWithLoggingOffKeepsTheOldFile() {
    Globals::Logging = false;
    const QString old = Globals::LogFile;
    ConfigForm& form = open();
    QVERIFY(form.LoggingOff->isChecked() && !form.LoggingOn->isChecked());
    QVERIFY(!form.LogFilename->isEnabled() && !form.BrowseLogFile->isEnabled());
    QCOMPARE(form.LogFilename->text(), old);
    form.LogFilename->setText(work_->filePath(QStringLiteral("dropped.log")));
    form.OK_Button_Click();
    QVERIFY(!Globals::Logging);
    QCOMPARE(Globals::LogFile, old);
    QCOMPARE(config("Logging"), QStringLiteral("False"));
    QCOMPARE(config("LogFile"), old);
}

void TestConfigForm::okWithLoggingOnAndNoFileStoresEmpty() {
    ConfigForm& form = open();
    form.LogFilename->clear();
    form.OK_Button_Click();
    QVERIFY(Globals::Logging);
    QCOMPARE(Globals::LogFile, QString());
    QCOMPARE(config("LogFile"), QString());
}

void TestConfigForm::cancelAndCloseBoxDiscard_data() {
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Cancel") << false;
    QTest::newRow("close box") << true;
}

void TestConfigForm::cancelAndCloseBoxDiscard() {
    QFETCH(bool, closeBox);
    addRange(QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.9"));
    const Settings before = current();
    ConfigForm& form = open();
    QVERIFY(form.Dir1->SetPath(root_->filePath(QStringLiteral("images"))));
    form.Inactivity->setCurrentIndex(0);
    form.ReceiveOnly->click();
    form.LoggingOff->click();
    form.FromIP->setText(QStringLiteral("1.1.1.1"));
    form.ToIP->setText(QStringLiteral("1.1.1.2"));
    form.Add_Range_Button_Click();
    form.PermitList->setCurrentRow(0);
    form.Delete_Button_Click();

    if (closeBox) {
        QVERIFY(form.Window->close());
    } else {
        QTest::mouseClick(form.Cancel_Button, Qt::LeftButton);
    }
    QVERIFY(!form.IsLoaded());
    QVERIFY(current() == before);
    QCOMPARE(config("RootDir"), kUnwritten);
    QCOMPARE(config("InactivityTimer"), kUnwritten);
    QCOMPARE(config("LogFile"), kUnwritten);
    QCOMPARE(slot(1), (QStringList{kUnwritten, kUnwritten}));
    QCOMPARE(MainWindow().StatusBar->Panels(QStringLiteral("Status"))->Text(),
             QStringLiteral("before"));
}

void TestConfigForm::everyShowingStartsFresh() {
    ConfigForm& form = open();
    QPointer<QDialog> first = form.Window;
    form.Tabs->SetTab(3);
    form.FromIP->setText(QStringLiteral("9.9.9.9"));
    form.ToIP->setText(QStringLiteral("9.9.9.9"));
    form.Add_Range_Button_Click();
    form.Help_Button_Click();
    QVERIFY(form.IsLoaded()); // Help leaves the dialog open
    form.Cancel_Button_Click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!first); // the old face is gone with its unload

    Globals::InactivityMinutes = 240;
    open();
    QVERIFY(form.Window && form.Window != first.data());
    QCOMPARE(form.Tabs->Tab(), 0);
    QCOMPARE(form.FromIP->text(), QStringLiteral("0.0.0.0"));
    QCOMPARE(form.ToIP->text(), QStringLiteral("0.0.0.0"));
    QCOMPARE(form.PermitLines(), QStringList{kAll});
    QCOMPARE(form.Inactivity->count(), 6);
    QCOMPARE(form.Inactivity->currentText(), QStringLiteral("4 hours"));
}

void TestConfigForm::browseLogFile() {
    QCOMPARE(platform::CommonDialog::NameFilters(
                 QStringLiteral("Log file (*.log)|*.log|All Files (*.*)|*.*")),
             (QStringList{"Log file (*.log)", "All Files (*)"}));

    ConfigForm& form = open();
    const QString chosen = work_->filePath(QStringLiteral("chosen.log"));
    QStringList seen;
    bool confirm = true;
    platform::CommonDialog::SetResponder([&](platform::CommonDialog& d) {
        seen << (d.CancelError() ? "CancelError on" : "CancelError off") << d.FileName()
             << d.DialogTitle() << d.Filter();
        d.SetFileName(QStringLiteral("typed but cancelled"));
        if (confirm) {
            d.SetFileName(chosen);
        }
        return confirm;
    });
    form.BrowseLogFile->click();
    QCOMPARE(seen, (QStringList{"CancelError off", Globals::LogFile, "TFTP Server Log File ...",
                                "Log file (*.log)|*.log|All Files (*.*)|*.*"}));
    QCOMPARE(form.LogFilename->text(), chosen);

    // A cancel is no error: the text becomes what the dialog reports, the name it was given.
    confirm = false;
    form.BrowseLogFile_Click();
    QVERIFY(boxes_.isEmpty());
    QCOMPARE(form.LogFilename->text(), chosen);
    QVERIFY(form.IsLoaded());
    QCOMPARE(Globals::LogFile, work_->filePath(QStringLiteral("old.log")));

    form.OK_Button_Click();
    QCOMPARE(Globals::LogFile, chosen);

    // Asked for, a cancel is raised as an error instead.
    platform::CommonDialog dialog;
    dialog.SetCancelError(true);
    QVERIFY_THROWS_EXCEPTION(platform::CommonDialogCancelled, dialog.ShowSave());
}

void TestConfigForm::shutdownDuringAMessageLeavesNothingBehind() {
    // The inactivity count may run out while a message stands: every window is unloaded then,
    // and the handler that showed the message must not go on with a face that is gone.
    const Settings before = current();
    ConfigForm& form = open();
    form.FromIP->setText(QStringLiteral("bad"));
    duringBox_ = [] { MainWindow().ExitSelection_Click(); };
    form.Add_Range_Button_Click();
    QCOMPARE(boxes_.size(), 1);
    QVERIFY(!form.IsLoaded());
    QVERIFY(!form.FromIP);

    // The same while loading: the root directory's message.
    Globals::RootDir = root_->filePath(QStringLiteral("gone"));
    TFTPServerCore::ListenPort = 0;
    QVERIFY(MainWindow().IsLoaded());
    duringBox_ = [] { MainWindow().ExitSelection_Click(); };
    ShowConfigForm();
    QCOMPARE(boxes_.size(), 2);
    QVERIFY(!form.IsLoaded());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Settings after = current();
    after.rootDir = before.rootDir;
    QVERIFY(after == before);
    QCOMPARE(config("RootDir"), kUnwritten);
}

void TestConfigForm::configureCommandShowsItModally() {
    MainWindow().Show();
    QVERIFY(QTest::qWaitForWindowExposed(MainWindow().Window));
    bool sawIt = false;
    QTimer::singleShot(0, this, [&] {
        ConfigForm& form = DefaultConfigForm();
        sawIt = form.IsLoaded() && form.Window && form.Window->isVisible() &&
                form.Window->isModal() && QApplication::activeModalWidget() == form.Window;
        if (sawIt) {
            // Centred on the main window.
            const QPoint offset = form.Window->frameGeometry().center() -
                                  MainWindow().Window->frameGeometry().center();
            sawIt = offset.manhattanLength() <= 2;
        }
        if (form.OK_Button) {
            form.OK_Button->click();
        }
    });
    MainWindow().ConfigureSelection_Click();
    QVERIFY(sawIt);
    QVERIFY(!DefaultConfigForm().IsLoaded());
    QCOMPARE(config("RootDir"), QDir::cleanPath(root_->path()));
    QCOMPARE(MainWindow().Window->cursor().shape(), Qt::ArrowCursor);
}

void TestConfigForm::nothingIsClipped() {
    // More files than the list has room for, and a log path longer than its box.
    for (int i = 0; i < 12; ++i) {
        writeFile(root_->filePath(QStringLiteral("file%1.bin").arg(i, 2, 10, QLatin1Char('0'))),
                  {});
    }
    Globals::LogFile = root_->filePath(QStringLiteral("logs/a/long/way/down/to/the/tftp/log/"
                                                      "file/of/this/server/Drovemoor.log"));
    QDir root(root_->path());
    for (int i = 0; i < 12; ++i) {
        QVERIFY(root.mkdir(QStringLiteral("dir%1").arg(i, 2, 10, QLatin1Char('0'))));
        addRange(QStringLiteral("10.0.%1.1").arg(i), QStringLiteral("10.0.%1.9").arg(i));
    }
    ConfigForm& form = open();
    form.Tabs->SetTab(0);
    QVERIFY(form.Window->grab().save(picturePath(QStringLiteral("config_form_many_files.png"))));
    // A row shows whole or not at all, wherever the list is scrolled to.
    for (const auto& [tab, list] : {std::pair<int, QListWidget*>{0, form.Dir1}, // the subfolders
                                    std::pair<int, QListWidget*>{0, form.FileList},
                                    std::pair<int, QListWidget*>{2, form.PermitList}}) {
        form.Tabs->SetTab(tab);
        QVERIFY(list->count() >= 12);
        for (int top : {0, list->count() - 1}) {
            list->scrollToItem(list->item(top));
            const QRect shown = list->viewport()->rect();
            int whole = 0;
            for (int i = 0; i < list->count(); ++i) {
                const QRect row = list->visualItemRect(list->item(i));
                QVERIFY2(!row.intersects(shown) || shown.contains(row),
                         qPrintable(list->item(i)->text()));
                whole += shown.contains(row) ? 1 : 0;
            }
            QVERIFY(whole >= 4);
        }
    }
    // The log path shows where it begins.
    form.Tabs->SetTab(4);
    QCOMPARE(form.LogFilename->text(), Globals::LogFile);
    QCOMPARE(form.LogFilename->cursorPosition(), 0);
    QVERIFY(form.Window->grab().save(picturePath(QStringLiteral("config_form_long_log.png"))));
}

// One picture of each tab, to look at.
void TestConfigForm::pictures() {
    addRange(QStringLiteral("192.168.1.1"), QStringLiteral("192.168.1.254"));
    addRange(QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.9"));
    ConfigForm& form = open();
    form.PermitList->setCurrentRow(1);
    for (int i = 0; i < form.Tabs->Tabs(); ++i) {
        form.Tabs->SetTab(i);
        const QImage picture = form.Window->grab().toImage();
        QCOMPARE(picture.size(), QSize(394, 324));
        QVERIFY(picture.save(picturePath(QStringLiteral("config_form_tab%1.png").arg(i + 1))));
    }
}

QTEST_MAIN(TestConfigForm)
#include "tst_config_form.moc"
