#include "about/about_dialog.h"
#include "about/about_form.h"
#include "about/about_library.h"
#include "about/about_pictures.h"
#include "about/easter_egg_form.h"
#include "about/wait.h"
#include "platform/com_object.h"
#include "platform/msg_box.h"
#include "platform/registry.h"
#include "platform/ss_panel.h"
#include "platform/timer.h"
#include "toolkit/about_box.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPluginLoader>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>

#ifndef KELVARING_PLUGIN_PATH
#error "the build names the About library's plugin file"
#endif

using namespace Kelvaring;

namespace {

const QString kCrLf = QStringLiteral("\r\n");
// The identity texts the server hands to the About box.
const QString kProgramName = QStringLiteral("Drovemoor TFTP Server");
const QString kPackageName = QStringLiteral("Quorvane.Net");
const QString kSubTitle = QStringLiteral("Trivial File Transfer Protocol server for Linux");

platform::PictureRef redIcon() {
    QPixmap square(32, 32);
    square.fill(Qt::red);
    return platform::IconPicture(QIcon(square));
}

void showAbout(const QString& program, const QString& package, const QString& subTitle,
               const QString& version, const platform::PictureRef& icon = nullptr) {
    AboutDialog about;
    about.SetProgramName(program);
    about.SetPackageName(package);
    about.SetSubTitle(subTitle);
    about.SetVersionInfo(version);
    about.SetProgIcon(icon);
    about.Show();
}

// The About window that a loaded plugin shows (not this program's own copy of the classes).
QWidget* pluginAboutWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("AboutForm") && w != AboutForm::Existing() &&
            w->isVisible()) {
            return w;
        }
    }
    return nullptr;
}

QList<QWidget*> visibleWindows() {
    QList<QWidget*> shown;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible()) {
            shown.append(w);
        }
    }
    return shown;
}

// A centre point of a widget that lies outside another one inside it.
QPoint pointOutside(QWidget* outer, QWidget* inner) {
    const QRect hole = inner->geometry().translated(-outer->pos());
    return QPoint(hole.right() + (outer->width() - hole.right()) / 2, outer->height() / 2);
}

} // namespace

class TstAboutDialog : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void defaultVersionTextBytes();
    void showAboutBoxWithoutLibraryShowsAndSaysNothing();
    void showAboutBoxHandsTheLibraryItsTexts_data();
    void showAboutBoxHandsTheLibraryItsTexts();

    void newObjectHoldsNothing();
    void showFillsTheWindow();
    void packageNameFitTest_data();
    void packageNameFitTest();
    void openWindowIsReusedClosedOneStartsAfresh();
    void enterAndEscClose_data();
    void enterAndEscClose();
    void copyMenuOnTheRightButton_data();
    void copyMenuOnTheRightButton();
    void copyBuildsTextFromTheCaptions_data();
    void copyBuildsTextFromTheCaptions();
    void waitBlocksInTenths_data();
    void waitBlocksInTenths();
    void webLinksPauseUnderTheHourglass_data();
    void webLinksPauseUnderTheHourglass();
    void doubleClickOpensALinkOnce_data();
    void doubleClickOpensALinkOnce();

    void handCursorIsBlackOnWhite();
    void picturesKeepTheirShadesAt256Colours_data();
    void picturesKeepTheirShadesAt256Colours();
    void libraryIdentityTexts();

    void hotSpotsOpenCreditsWindows_data();
    void hotSpotsOpenCreditsWindows();
    void soundFileBySecond_data();
    void soundFileBySecond();
    void openCreditsWindowIsNotLoadedAgain();
    void linkUnderlinesOnFirstMove();
    void creditsWindowsOutliveTheAboutWindow();
    void windowsTakeTheKeysWhenTheyOpen_data();
    void windowsTakeTheKeysWhenTheyOpen();

    void screenshots();

private:
    void closeEverything();

    QTemporaryDir work_;
    QString emptyFolder_;
    QStringList opened_;
    QList<int> sleeps_;
    QList<Qt::CursorShape> cursorsDuringSleep_;
    QPointer<QWidget> sleeper_; // the window whose pointer the pause should show
    int boxes_ = 0;
    int warnings_ = 0;
    std::optional<platform::VirtualTime> time_;
};

namespace {
int* warningCounter = nullptr;
QtMessageHandler previousHandler = nullptr;

void countWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtDebugMsg && type != QtInfoMsg && warningCounter) {
        ++*warningCounter;
    }
    previousHandler(type, context, text);
}
} // namespace

void TstAboutDialog::initTestCase() {
    QVERIFY(work_.isValid());
    // One registry for the whole run: a loaded plugin keeps its own connection to it.
    qputenv("QUORVANE_REGISTRY", QFile::encodeName(work_.filePath("registry.sqlite3")));
    RegistryReopenForTests();
    emptyFolder_ = work_.filePath("program");
    QVERIFY(QDir().mkpath(emptyFolder_));
    platform::SetMsgBoxResponder([this](const QString&, int, const QString&) {
        ++boxes_;
        return int(platform::vbOK);
    });
    SetUrlOpenerForTests([this](const QString& address) { opened_.append(address); });
    SetSleepForTests([this](int ms) {
        sleeps_.append(ms);
        if (sleeper_) {
            cursorsDuringSleep_.append(sleeper_->cursor().shape());
            cursorsDuringSleep_.append(sleeper_->window()->cursor().shape());
        }
    });
}

void TstAboutDialog::init() {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "");
    platform::SetComSearchFolderForTests(emptyFolder_);
    opened_.clear();
    sleeps_.clear();
    cursorsDuringSleep_.clear();
    boxes_ = 0;
}

void TstAboutDialog::cleanup() {
    closeEverything();
    time_.reset();
    sleeper_ = nullptr;
}

void TstAboutDialog::closeEverything() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        w->close();
    }
    QTRY_VERIFY(!AboutForm::Existing());
    QTRY_VERIFY(!EasterEggForm::Existing(CreditsWindow::EasterEggVardle));
    QTRY_VERIFY(!EasterEggForm::Existing(CreditsWindow::EasterEggTembrin));
    QTRY_VERIFY(!EasterEggForm::Existing(CreditsWindow::EasterEggMurrask));
}

void TstAboutDialog::defaultVersionTextBytes() {
    const QByteArray expected = "Quorvane.Net TFTP Server\r\n"
                                "Drovemoor Version 5.3.23  \r\n"
                                "Copyright (C) 2003-2026 Quorvane.Net. All rights reserved.\r\n";
    QCOMPARE(HelpMenuFunctions::DefaultVersionText().toUtf8(), expected);
}

void TstAboutDialog::showAboutBoxWithoutLibraryShowsAndSaysNothing() {
    // Unregistered and not beside the program; then registered to a file that is gone.
    warningCounter = &warnings_;
    warnings_ = 0;
    previousHandler = qInstallMessageHandler(countWarnings);
    const QList<QWidget*> before = visibleWindows();
    HelpMenuFunctions::ShowAboutBox(redIcon(), QString());
    HelpMenuFunctions::ShowAboutBox(nullptr, QStringLiteral("given text"));
    HKEY key = 0;
    QCOMPARE(RegCreateKeyA(HKEY_CLASSES_ROOT, "Kelvaring.AboutDialog\\InprocServer32", &key),
             ERROR_SUCCESS);
    const QByteArray gone = QFile::encodeName(work_.filePath("gone/libkelvaring.so"));
    RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(gone.constData()),
                   static_cast<DWORD>(gone.size() + 1));
    RegCloseKey(key);
    HelpMenuFunctions::ShowAboutBox(redIcon(), QString());
    QTest::qWait(50);
    qInstallMessageHandler(previousHandler);
    warningCounter = nullptr;
    QCOMPARE(visibleWindows(), before);
    QCOMPARE(boxes_, 0);
    QCOMPARE(warnings_, 0);
}

void TstAboutDialog::showAboutBoxHandsTheLibraryItsTexts_data() {
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("shown");
    QTest::newRow("empty text gives the default")
        << QString() << HelpMenuFunctions::DefaultVersionText();
    QTest::newRow("text given") << QStringLiteral("Build 7\r\nlocal") << "Build 7\r\nlocal";
}

void TstAboutDialog::showAboutBoxHandsTheLibraryItsTexts() {
    QFETCH(QString, given);
    QFETCH(QString, shown);
    HKEY key = 0;
    QCOMPARE(RegCreateKeyA(HKEY_CLASSES_ROOT, "Kelvaring.AboutDialog\\InprocServer32", &key),
             ERROR_SUCCESS);
    const QByteArray plugin(KELVARING_PLUGIN_PATH);
    RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(plugin.constData()),
                   static_cast<DWORD>(plugin.size() + 1));
    RegCloseKey(key);

    HelpMenuFunctions::ShowAboutBox(redIcon(), given);
    // Show returned and the object is gone; the library's window stays.
    QWidget* window = pluginAboutWindow();
    QVERIFY(window);
    QCOMPARE(window->findChild<QLabel*>("ProgramName")->text(), kProgramName);
    QCOMPARE(window->findChild<QLabel*>("PackageName")->text(), kPackageName);
    QCOMPARE(window->findChild<QLabel*>("SubTitle")->text(), kSubTitle);
    // The version panel's caption, as the copy menu reads it.
    window->findChild<QAction*>("CopySelection")->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), kProgramName + kCrLf + kSubTitle + kCrLf +
                                                       shown + kCrLf + kCrLf + kPackageName +
                                                       kCrLf);
    window->findChild<QPushButton*>("Done_Button")->click();
    QTRY_VERIFY(!pluginAboutWindow());
}

void TstAboutDialog::newObjectHoldsNothing() {
    AboutDialog about;
    QCOMPARE(about.ProgramName(), QString());
    QCOMPARE(about.PackageName(), QString());
    QCOMPARE(about.SubTitle(), QString());
    QCOMPARE(about.VersionInfo(), QString());
    QVERIFY(!about.ProgIcon());
    QVERIFY(!AboutForm::Existing());
}

void TstAboutDialog::showFillsTheWindow() {
    const platform::PictureRef icon = redIcon();
    showAbout(QStringLiteral("Prog"), QStringLiteral("Pack"), QStringLiteral("Sub"),
              QStringLiteral("one\r\ntwo"), icon);
    AboutForm* form = AboutForm::Existing();
    QVERIFY(form);
    QVERIFY(form->isVisible());
    QVERIFY(!form->parentWidget());
    QVERIFY(!form->isModal());
    QCOMPARE(form->windowTitle(), QString());
    QCOMPARE(form->size(), QSize(441, 251));
    QCOMPARE(form->VersionInfo->Caption(), QStringLiteral("one\r\ntwo"));
    QCOMPARE(form->VersionInfo->CaptionLines(), (QStringList{"one", "two"}));
    QCOMPARE(form->ProgramIcon->Picture().get(), icon.get());
    QCOMPARE(form->ProgramIcon->geometry(), QRect(12, 56, 32, 32));

    const std::pair<QLabel*, QLabel*> pairs[] = {{form->ProgramName, form->ProgramShadow},
                                                 {form->PackageName, form->PackageShadow},
                                                 {form->SubTitle, form->SubTitleShadow}};
    const QObjectList stacking = form->children();
    for (const auto& [label, shadow] : pairs) {
        QCOMPARE(shadow->text(), label->text());
        QCOMPARE(shadow->size(), label->size());
        // 20 twips down and right, and drawn beneath its label.
        QCOMPARE(shadow->pos(), label->pos() + QPoint(1, 1));
        QVERIFY(stacking.indexOf(label) > stacking.indexOf(shadow));
        QCOMPARE(label->font().family(), QStringLiteral("Arial"));
        QVERIFY(label->font().bold());
        QCOMPARE(shadow->palette().color(QPalette::WindowText), QColor(192, 192, 192));
    }
    QCOMPARE(form->ProgramName->text(), QStringLiteral("Prog"));
    QCOMPARE(form->ProgramName->font().pointSizeF(), 15.75);
    QCOMPARE(form->SubTitle->font().pointSizeF(), 9.75);
    QCOMPARE(form->PackageName->font().pointSizeF(), 12.0);
    // The child windows lie above the labels.
    QVERIFY(stacking.indexOf(form->Done_Button) > stacking.indexOf(form->PackageName));
    QVERIFY(stacking.indexOf(form->VersionInfo) > stacking.indexOf(form->ProgramName));
    QCOMPARE(form->Done_Button->text(), QStringLiteral("Done"));
    QVERIFY(form->Done_Button->isDefault());
    QCOMPARE(form->PackageName->cursor().shape(), Qt::BitmapCursor);
    QCOMPARE(form->WebHotSpot->cursor().shape(), Qt::BitmapCursor);
    QCOMPARE(form->PackageName->cursor().hotSpot(), QPoint(12, 6));
    QCOMPARE(form->EasterEggHotSpot->cursor().shape(), Qt::ArrowCursor);
    // A click on the start of the wordmark goes to its own hot spot, not to the link.
    QCOMPARE(form->childAt(form->VardleEgg->geometry().center()), form->VardleEgg);
    QCOMPARE(form->childAt(form->EasterEggHotSpot->geometry().center()), form->EasterEggHotSpot);
}

void TstAboutDialog::packageNameFitTest_data() {
    QTest::addColumn<float>("width");
    QTest::addColumn<bool>("small");
    // Left 180, "Done" at 5400: the name may reach up to 100 twips short of the button.
    QTest::newRow("ends 100 twips before Done") << 5120.0f << true;
    QTest::newRow("ends 101 twips before Done") << 5119.0f << false;
    QTest::newRow("runs under Done") << 6000.0f << true;
    QTest::newRow("short") << 900.0f << false;
}

void TstAboutDialog::packageNameFitTest() {
    QFETCH(float, width);
    QFETCH(bool, small);
    QCOMPARE(PackageNameNeedsSmallFont(180, width, 5400), small);
}

void TstAboutDialog::openWindowIsReusedClosedOneStartsAfresh() {
    const platform::PictureRef icon = redIcon();
    const QString longName(60, u'W');
    showAbout(QStringLiteral("P"), longName, QString(), QString(), icon);
    AboutForm* form = AboutForm::Existing();
    QCOMPARE(form->PackageName->font().pointSizeF(), 10.0);
    QCOMPARE(form->PackageShadow->font().pointSizeF(), 10.0);
    QCOMPARE(form->PackageShadow->size(), form->PackageName->size());

    // Still open: same window, the short name stays small and the icon stays.
    showAbout(QStringLiteral("P"), QStringLiteral("Short"), QString(), QString());
    QCOMPARE(AboutForm::Existing(), form);
    QCOMPARE(form->PackageName->text(), QStringLiteral("Short"));
    QCOMPARE(form->PackageName->font().pointSizeF(), 10.0);
    QCOMPARE(form->ProgramIcon->Picture().get(), icon.get());

    form->Done_Button->click();
    QTRY_VERIFY(!AboutForm::Existing());
    showAbout(QStringLiteral("P"), QStringLiteral("Short"), QString(), QString());
    form = AboutForm::Existing();
    QVERIFY(form);
    QCOMPARE(form->PackageName->font().pointSizeF(), 12.0);
    QVERIFY(!form->ProgramIcon->Picture());
}

void TstAboutDialog::enterAndEscClose_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
    QTest::newRow("Esc") << int(Qt::Key_Escape);
}

void TstAboutDialog::enterAndEscClose() {
    QFETCH(int, key);
    showAbout(QStringLiteral("P"), QString(), QString(), QString());
    QTest::keyClick(AboutForm::Existing(), Qt::Key(key));
    QTRY_VERIFY(!AboutForm::Existing());
}

void TstAboutDialog::copyMenuOnTheRightButton_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("menu");
    for (const char* name : {"ProgramName", "SubTitle", "VersionInfo"}) {
        QTest::addRow("%s right", name)
            << QString::fromLatin1(name) << int(Qt::RightButton) << true;
        QTest::addRow("%s left", name) << QString::fromLatin1(name) << int(Qt::LeftButton) << false;
        QTest::addRow("%s middle", name)
            << QString::fromLatin1(name) << int(Qt::MiddleButton) << false;
    }
    QTest::newRow("PackageName right") << "PackageName" << int(Qt::RightButton) << false;
}

void TstAboutDialog::copyMenuOnTheRightButton() {
    QFETCH(QString, control);
    QFETCH(int, button);
    QFETCH(bool, menu);
    showAbout(QStringLiteral("Prog"), QStringLiteral("Pack"), QStringLiteral("Sub"),
              QStringLiteral("Ver"));
    AboutForm* form = AboutForm::Existing();
    auto* target = form->findChild<QWidget*>(control);
    QVERIFY(target);
    QTest::mousePress(target, Qt::MouseButton(button), {}, QPoint(3, 3));
    QTest::mouseRelease(target, Qt::MouseButton(button), {}, QPoint(3, 3));
    QCOMPARE(form->CopyMenu->isVisible(), menu);
    QCOMPARE(form->CopyMenu->actions(), QList<QAction*>{form->CopySelection});
    QCOMPARE(form->CopySelection->text(), QStringLiteral("&Copy to Clipboard"));
    QCOMPARE(opened_, QStringList());
    form->CopyMenu->hide();
}

void TstAboutDialog::copyBuildsTextFromTheCaptions_data() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("expected");
    QTest::newRow("all empty") << QString() << QString() << "\r\n\r\n\r\n\r\n\r\n";
    QTest::newRow("texts") << "v1\r\nv2"
                           << "Prog"
                           << "Prog\r\nSub\r\nv1\r\nv2\r\n\r\nPack\r\n";
    QTest::newRow("version ending in CR LF") << "v1\r\n"
                                             << "Prog"
                                             << "Prog\r\nSub\r\nv1\r\n\r\n\r\nPack\r\n";
}

void TstAboutDialog::copyBuildsTextFromTheCaptions() {
    QFETCH(QString, version);
    QFETCH(QString, program);
    QFETCH(QString, expected);
    const bool empty = program.isEmpty();
    showAbout(program, empty ? QString() : QStringLiteral("Pack"),
              empty ? QString() : QStringLiteral("Sub"), version);
    AboutForm* form = AboutForm::Existing();
    QGuiApplication::clipboard()->setText(QStringLiteral("earlier"));
    QTest::mousePress(form->VersionInfo, Qt::RightButton, {}, QPoint(5, 5));
    QVERIFY(form->CopyMenu->isVisible());
    form->CopySelection->trigger();
    form->CopyMenu->hide();
    QCOMPARE(QGuiApplication::clipboard()->text(), expected);
}

void TstAboutDialog::waitBlocksInTenths_data() {
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("steps");
    QTest::newRow("2") << 2 << 20;
    QTest::newRow("3") << 3 << 30;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("negative") << -4 << 0;
    // Beyond what 16 bits hold as tenths: no wrap to a negative count.
    QTest::newRow("3277") << 3277 << 32770;
}

void TstAboutDialog::waitBlocksInTenths() {
    QFETCH(int, seconds);
    QFETCH(int, steps);
    qint16 s = static_cast<qint16>(seconds);
    Common_Functions::Wait(s);
    QCOMPARE(sleeps_.size(), steps);
    QVERIFY(std::all_of(sleeps_.begin(), sleeps_.end(), [](int ms) { return ms == 100; }));
}

void TstAboutDialog::webLinksPauseUnderTheHourglass_data() {
    QTest::addColumn<QString>("link");
    QTest::addColumn<int>("steps");
    QTest::newRow("package name") << "PackageName" << 20;
    QTest::newRow("wordmark") << "WebHotSpot" << 20;
    QTest::newRow("credits window link") << "QuorvaneWebLink" << 30;
}

void TstAboutDialog::webLinksPauseUnderTheHourglass() {
    QFETCH(QString, link);
    QFETCH(int, steps);
    showAbout(QStringLiteral("P"), QStringLiteral("Pack"), QString(), QString());
    AboutForm* form = AboutForm::Existing();
    QWidget* window = form;
    QWidget* control = form->findChild<QWidget*>(link);
    QPoint at(2, 2);
    if (link == QLatin1String("QuorvaneWebLink")) {
        window = EasterEggForm::Show(CreditsWindow::EasterEggTembrin);
        control = static_cast<EasterEggForm*>(window)->QuorvaneWebLink;
    } else if (control == form->WebHotSpot) {
        at = pointOutside(form->WebHotSpot, form->VardleEgg);
    }
    sleeper_ = control;
    QTest::mouseClick(control, Qt::LeftButton, {}, at);
    QCOMPARE(opened_, QStringList{QStringLiteral("https://www.quorvane.net/")});
    QCOMPARE(sleeps_.size(), steps);
    QCOMPARE(cursorsDuringSleep_, QList<Qt::CursorShape>(2 * steps, Qt::WaitCursor));
    // Afterwards the pointers are as they were.
    QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(control->cursor().shape(), Qt::BitmapCursor);
    QCOMPARE(boxes_, 0);
}

void TstAboutDialog::doubleClickOpensALinkOnce_data() {
    QTest::addColumn<QString>("link");
    QTest::newRow("package name") << "PackageName";
    QTest::newRow("wordmark") << "WebHotSpot";
}

// A double click comes as press, release, double click, release: one click, not two.
void TstAboutDialog::doubleClickOpensALinkOnce() {
    QFETCH(QString, link);
    showAbout(QStringLiteral("P"), QStringLiteral("Pack"), QString(), QString());
    AboutForm* form = AboutForm::Existing();
    QWidget* control = form->findChild<QWidget*>(link);
    const QPoint at = control == form->WebHotSpot ? pointOutside(form->WebHotSpot, form->VardleEgg)
                                                  : QPoint(2, 2);
    for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                    QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, QPointF(at), QPointF(control->mapToGlobal(at)), Qt::LeftButton,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(control, &event);
    }
    QCOMPARE(opened_, QStringList{QStringLiteral("https://www.quorvane.net/")});
}

void TstAboutDialog::handCursorIsBlackOnWhite() {
    const QCursor hand = HandCursor();
    QCOMPARE(hand.hotSpot(), QPoint(12, 6));
    const QImage bits = hand.bitmap().toImage();
    const QImage mask = hand.mask().toImage();
    QCOMPARE(bits.size(), QSize(32, 32));
    QCOMPARE(mask.size(), QSize(32, 32));
    const QRgb black = qRgb(0, 0, 0);
    const QRgb white = qRgb(255, 255, 255);
    // (x, y, drawn black, drawn at all): the finger's outline and tip, its inside, and the
    // corners and the space beside the finger, which show what lies beneath.
    const struct {
        int x, y;
        bool black, opaque;
    } pixels[] = {
        {11, 5, true, true},   {12, 5, true, true},    {10, 8, true, true},  {11, 8, false, true},
        {15, 18, false, true}, {12, 24, true, true},   {0, 0, false, false}, {31, 31, false, false},
        {5, 8, false, false},  {25, 16, false, false},
    };
    for (const auto& p : pixels) {
        const QByteArray where = QByteArray::number(p.x) + "," + QByteArray::number(p.y);
        QVERIFY2((mask.pixel(p.x, p.y) == black) == p.opaque, where.constData());
        if (p.opaque)
            QVERIFY2(bits.pixel(p.x, p.y) == (p.black ? black : white), where.constData());
    }
}

void TstAboutDialog::picturesKeepTheirShadesAt256Colours_data() {
    QTest::addColumn<QImage>("picture");
    // Close shades that a fixed palette turns into bands, under smooth-edged lettering and a
    // ring, which give the picture far more colours than a palette holds, as in the drawn ones.
    const auto picture = [](QSize size, QColor top, QColor bottom) {
        QImage image(size, QImage::Format_RGB32);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient fill(0, 0, 0, size.height());
        fill.setColorAt(0, top);
        fill.setColorAt(1, bottom);
        p.fillRect(image.rect(), fill);
        p.setPen(QPen(QColor(226, 182, 74), 4));
        p.drawEllipse(QRectF(10, 6, 36, 36));
        QFont font;
        font.setPixelSize(26);
        font.setBold(true);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRect(56, 4, size.width() - 60, 40), Qt::AlignLeft,
                   QStringLiteral("Quorvane.Net"));
        p.end();
        return image;
    };
    QTest::newRow("banner") << picture({600, 50}, QColor(31, 47, 86), QColor(24, 36, 66));
    QTest::newRow("backdrop") << picture({462, 290}, QColor(96, 44, 90), QColor(24, 10, 30));
}

void TstAboutDialog::picturesKeepTheirShadesAt256Colours() {
    QFETCH(QImage, picture);
    const QImage reduced = To256Colours(picture);
    QCOMPARE(reduced.format(), QImage::Format_Indexed8);
    QVERIFY(reduced.colorCount() <= 256);
    QCOMPARE(reduced.size(), picture.size());
    // Seen from a little way off, every patch of 8 x 8 pixels has the colour it was drawn in.
    constexpr int kPatch = 8;
    int worst = 0;
    for (int top = 0; top + kPatch <= picture.height(); top += kPatch) {
        for (int left = 0; left + kPatch <= picture.width(); left += kPatch) {
            int drawn[3] = {}, shown[3] = {};
            for (int y = top; y < top + kPatch; ++y) {
                for (int x = left; x < left + kPatch; ++x) {
                    const QRgb a = picture.pixel(x, y), b = reduced.pixel(x, y);
                    drawn[0] += qRed(a), drawn[1] += qGreen(a), drawn[2] += qBlue(a);
                    shown[0] += qRed(b), shown[1] += qGreen(b), shown[2] += qBlue(b);
                }
            }
            for (int c = 0; c < 3; ++c) {
                worst = std::max(worst, std::abs(drawn[c] - shown[c]) / (kPatch * kPatch));
            }
        }
    }
    QVERIFY2(worst <= 4, qPrintable(QStringLiteral("a patch is off by %1").arg(worst)));
}

void TstAboutDialog::libraryIdentityTexts() {
    QPluginLoader loader(QString::fromLocal8Bit(KELVARING_PLUGIN_PATH));
    const QJsonObject identity = loader.metaData().value("MetaData").toObject();
    const QJsonObject typeLibrary = identity.value("TypeLibrary").toObject();
    QCOMPARE(typeLibrary.value("Name").toString(), QStringLiteral("Kelvaring"));
    QCOMPARE(typeLibrary.value("HelpString").toString(),
             QStringLiteral("Quorvane Help About Dialog Boxes"));
    QCOMPARE(identity.value("ProjectDescription").toString(),
             QStringLiteral("Quorvane Help About Dialog Boxes"));
    QCOMPARE(identity.value("FileDescription").toString(), QStringLiteral("Help About Dialogs"));
    QCOMPARE(identity.value("FileVersion").toString(), QStringLiteral("1.00.0029"));
}

void TstAboutDialog::hotSpotsOpenCreditsWindows_data() {
    QTest::addColumn<QString>("spot");
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("window");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QSize>("client");
    QTest::addColumn<QPoint>("sounds");
    QTest::addColumn<QPoint>("link");

    const auto vardle = int(CreditsWindow::EasterEggVardle);
    const auto tembrin = int(CreditsWindow::EasterEggTembrin);
    const auto murrask = int(CreditsWindow::EasterEggMurrask);
    QTest::newRow("emblem, left button") << "EasterEggHotSpot" << int(Qt::LeftButton) << tembrin
                                         << "Quorvane.Net Founder and Chief Architect"
                                         << QSize(451, 290) << QPoint(284, 24) << QPoint(160, 264);
    QTest::newRow("emblem, right button")
        << "EasterEggHotSpot" << int(Qt::RightButton) << murrask << "Quorvane.Net President and CEO"
        << QSize(437, 266) << QPoint(164, 36) << QPoint(92, 244);
    QTest::newRow("emblem, middle button") << "EasterEggHotSpot" << int(Qt::MiddleButton) << murrask
                                           << "Quorvane.Net President and CEO" << QSize(437, 266)
                                           << QPoint(164, 36) << QPoint(92, 244);
    QTest::newRow("start of the wordmark")
        << "VardleEgg" << int(Qt::LeftButton) << vardle << "Quorvane.Net Senior Technologist"
        << QSize(461, 325) << QPoint(352, 12) << QPoint(316, 304);
}

void TstAboutDialog::hotSpotsOpenCreditsWindows() {
    QFETCH(QString, spot);
    QFETCH(int, button);
    QFETCH(int, window);
    QFETCH(QString, caption);
    QFETCH(QSize, client);
    QFETCH(QPoint, sounds);
    QFETCH(QPoint, link);
    showAbout(QStringLiteral("P"), QString(), QString(), QString());
    AboutForm* form = AboutForm::Existing();
    QTest::mouseClick(form->findChild<QWidget*>(spot), Qt::MouseButton(button), {}, QPoint(4, 4));
    const auto which = CreditsWindow(window);
    EasterEggForm* credits = EasterEggForm::Existing(which);
    QVERIFY(credits);
    QVERIFY(credits->isVisible());
    QVERIFY(!credits->parentWidget());
    QCOMPARE(credits->windowTitle(), caption);
    QCOMPARE(credits->size(), client);
    QCOMPARE(credits->Sounds->geometry(), QRect(sounds, QSize(81, 29)));
    QCOMPARE(credits->QuorvaneWebLink->geometry(), QRect(link, QSize(133, 13)));
    QCOMPARE(credits->QuorvaneWebLink->text(), QStringLiteral("www.quorvane.net"));
    QCOMPARE(credits->QuorvaneWebLink->palette().color(QPalette::WindowText),
             QColor(255, 255, 128));
    QVERIFY(!credits->QuorvaneWebLink->font().underline());
    QCOMPARE(credits->windowIcon().availableSizes(), (QList<QSize>{{16, 16}, {32, 32}}));
    // The wordmark's own link did not fire, and no other credits window opened.
    QCOMPARE(opened_, QStringList());
    int open = 0;
    for (auto w : {CreditsWindow::EasterEggVardle, CreditsWindow::EasterEggTembrin,
                   CreditsWindow::EasterEggMurrask}) {
        open += EasterEggForm::Existing(w) ? 1 : 0;
    }
    QCOMPARE(open, 1);
}

void TstAboutDialog::soundFileBySecond_data() {
    QTest::addColumn<int>("second");
    QTest::addColumn<QString>("file");
    QTest::newRow("0") << 0 << "/Y2.dll";
    QTest::newRow("19") << 19 << "/Y2.dll";
    QTest::newRow("20") << 20 << "/S2.dll";
    QTest::newRow("39") << 39 << "/S2.dll";
    QTest::newRow("40") << 40 << QString();
    QTest::newRow("59") << 59 << QString();
}

void TstAboutDialog::soundFileBySecond() {
    QFETCH(int, second);
    QFETCH(QString, file);
    time_.emplace(QDateTime(QDate(2026, 1, 5), QTime(14, 7, second)));
    EasterEggForm* credits = EasterEggForm::Show(CreditsWindow::EasterEggVardle);
    // Linked into this test, the library's folder is the program's.
    const QString expected =
        file.isEmpty() ? QString() : QCoreApplication::applicationDirPath() + file;
    QCOMPARE(credits->Sounds->Method30Path(), expected);
    QCOMPARE(LibraryFolder(), QCoreApplication::applicationDirPath());
}

void TstAboutDialog::openCreditsWindowIsNotLoadedAgain() {
    time_.emplace(QDateTime(QDate(2026, 1, 5), QTime(9, 0, 5)));
    showAbout(QStringLiteral("P"), QString(), QString(), QString());
    AboutForm* form = AboutForm::Existing();
    QTest::mouseClick(form->EasterEggHotSpot, Qt::LeftButton, {}, QPoint(4, 4));
    EasterEggForm* first = EasterEggForm::Existing(CreditsWindow::EasterEggTembrin);
    QVERIFY(first);
    QVERIFY(first->Sounds->Method30Path().endsWith(QLatin1String("/Y2.dll")));
    QTest::mouseMove(first->QuorvaneWebLink, QPoint(3, 3));
    QVERIFY(first->QuorvaneWebLink->font().underline());

    // Twenty seconds on, the open window, covered meanwhile, is only brought forward.
    form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form));
    time_.emplace(QDateTime(QDate(2026, 1, 5), QTime(9, 0, 25)));
    QTest::mouseClick(form->EasterEggHotSpot, Qt::LeftButton, {}, QPoint(4, 4));
    QCOMPARE(EasterEggForm::Existing(CreditsWindow::EasterEggTembrin), first);
    QTRY_COMPARE(QApplication::activeWindow(), first);
    QVERIFY(first->Sounds->Method30Path().endsWith(QLatin1String("/Y2.dll")));
    QVERIFY(first->QuorvaneWebLink->font().underline());

    // Closed, it loads afresh.
    first->close();
    QTRY_VERIFY(!EasterEggForm::Existing(CreditsWindow::EasterEggTembrin));
    QTest::mouseClick(form->EasterEggHotSpot, Qt::LeftButton, {}, QPoint(4, 4));
    EasterEggForm* again = EasterEggForm::Existing(CreditsWindow::EasterEggTembrin);
    QVERIFY(again);
    QVERIFY(again->Sounds->Method30Path().endsWith(QLatin1String("/S2.dll")));
    QVERIFY(!again->QuorvaneWebLink->font().underline());
}

void TstAboutDialog::linkUnderlinesOnFirstMove() {
    EasterEggForm* credits = EasterEggForm::Show(CreditsWindow::EasterEggMurrask);
    QLabel* link = credits->QuorvaneWebLink;
    QVERIFY(link->hasMouseTracking());
    QVERIFY(!link->font().underline());
    QTest::mouseMove(link, QPoint(5, 5));
    QVERIFY(link->font().underline());
    QTest::mouseMove(credits, QPoint(5, 5));
    QVERIFY(link->font().underline());
    QCOMPARE(link->font().pointSizeF(), 8.25);
    QVERIFY(link->font().bold());
}

void TstAboutDialog::creditsWindowsOutliveTheAboutWindow() {
    showAbout(QStringLiteral("P"), QString(), QString(), QString());
    AboutForm* form = AboutForm::Existing();
    QTest::mouseClick(form->VardleEgg, Qt::LeftButton, {}, QPoint(4, 4));
    QTest::mouseClick(form->EasterEggHotSpot, Qt::LeftButton, {}, QPoint(4, 4));
    QTest::mouseClick(form->EasterEggHotSpot, Qt::RightButton, {}, QPoint(4, 4));
    form->Done_Button->click();
    QTRY_VERIFY(!AboutForm::Existing());
    for (auto w : {CreditsWindow::EasterEggVardle, CreditsWindow::EasterEggTembrin,
                   CreditsWindow::EasterEggMurrask}) {
        QVERIFY(EasterEggForm::Existing(w));
        QVERIFY(EasterEggForm::Existing(w)->isVisible());
    }
}

// Each window opens with the keys, while another window of the program had them, so that
// Enter and Esc reach the About box at once, given as the keyboard gives them: to whichever
// window has the keys.
void TstAboutDialog::windowsTakeTheKeysWhenTheyOpen_data() {
    QTest::addColumn<QString>("spot"); // empty: the About box itself
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("window");
    QTest::addColumn<int>("key"); // 0: none
    QTest::newRow("About box, Esc") << QString() << 0 << 0 << int(Qt::Key_Escape);
    QTest::newRow("About box, Enter") << QString() << 0 << 0 << int(Qt::Key_Return);
    QTest::newRow("EasterEggVardle")
        << "VardleEgg" << int(Qt::LeftButton) << int(CreditsWindow::EasterEggVardle) << 0;
    QTest::newRow("EasterEggTembrin")
        << "EasterEggHotSpot" << int(Qt::LeftButton) << int(CreditsWindow::EasterEggTembrin) << 0;
    QTest::newRow("EasterEggMurrask")
        << "EasterEggHotSpot" << int(Qt::RightButton) << int(CreditsWindow::EasterEggMurrask) << 0;
}

void TstAboutDialog::windowsTakeTheKeysWhenTheyOpen() {
    QFETCH(QString, spot);
    QFETCH(int, button);
    QFETCH(int, window);
    QFETCH(int, key);
    QWidget main;
    main.setWindowTitle(QStringLiteral("main window"));
    main.resize(300, 200);
    main.show();
    main.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&main));

    showAbout(QStringLiteral("P"), QString(), QString(), QString());
    AboutForm* form = AboutForm::Existing();
    QVERIFY(form);
    QTRY_COMPARE(QApplication::activeWindow(), form);
    if (key != 0) {
        QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key(key));
        QTRY_VERIFY(!AboutForm::Existing());
        return;
    }
    QWidget* hotSpot = form->findChild<QWidget*>(spot);
    QVERIFY(hotSpot);
    QTest::mouseClick(hotSpot, Qt::MouseButton(button), {}, QPoint(4, 4));
    EasterEggForm* credits = EasterEggForm::Existing(CreditsWindow(window));
    QVERIFY(credits);
    QTRY_COMPARE(QApplication::activeWindow(), credits);
}

void TstAboutDialog::screenshots() {
    QPixmap icon(32, 32);
    icon.fill(Qt::transparent);
    {
        QPainter p(&icon);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(30, 110, 200));
        p.drawEllipse(2, 2, 28, 28);
    }
    showAbout(kProgramName, kPackageName, kSubTitle, HelpMenuFunctions::DefaultVersionText(),
              platform::IconPicture(QIcon(icon)));
    AboutForm* form = AboutForm::Existing();
    const QString folder = QCoreApplication::applicationDirPath();
    QVERIFY(form->grab().save(folder + QLatin1String("/about_window.png")));
    EasterEggForm* credits = EasterEggForm::Show(CreditsWindow::EasterEggVardle);
    QTest::mouseMove(credits->QuorvaneWebLink, QPoint(5, 5));
    QVERIFY(credits->grab().save(folder + QLatin1String("/credits_vardle.png")));
    for (const auto& [which, name] :
         {std::pair{CreditsWindow::EasterEggTembrin, "/credits_tembrin.png"},
          std::pair{CreditsWindow::EasterEggMurrask, "/credits_murrask.png"}}) {
        QVERIFY(EasterEggForm::Show(which)->grab().save(folder + QLatin1String(name)));
    }
}

QTEST_MAIN(TstAboutDialog)
#include "tst_about_dialog.moc"
