#include "platform/notify_icon.h"
#include "server/c_sys_tray.h"
#include "server/m_sys_tray.h"

#include <QPixmap>
#include <QSignalSpy>
#include <QTest>

#include <cstring>
#include <memory>

using namespace platform;

namespace {

QIcon colouredIcon(Qt::GlobalColor colour) {
    QPixmap pixmap(16, 16);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

QByteArray tipBytes(const NOTIFYICONDATAA& record) {
    return QByteArray(record.szTip, kTipFieldSize);
}

QByteArray padded(const QByteArray& text) {
    QByteArray field = text.left(kTipFieldSize);
    if (field.size() < kTipFieldSize)
        field.append('\0');
    return field.leftJustified(kTipFieldSize, ' ');
}

// The control's events as text, in the order raised.
void recordEvents(cSysTray& tray, QStringList& events) {
    QObject::connect(&tray, &cSysTray::MouseMove,
                     [&events](qint32 id) { events << QStringLiteral("Move %1").arg(id); });
    QObject::connect(&tray, &cSysTray::MouseDown, [&events](qint16 button, qint32 id) {
        events << QStringLiteral("Down %1 %2").arg(button).arg(id);
    });
    QObject::connect(&tray, &cSysTray::MouseUp, [&events](qint16 button, qint32 id) {
        events << QStringLiteral("Up %1 %2").arg(button).arg(id);
    });
    QObject::connect(&tray, &cSysTray::MouseDblClick, [&events](qint16 button, qint32 id) {
        events << QStringLiteral("Dbl %1 %2").arg(button).arg(id);
    });
}

// A window procedure that stands for the control's own one, so chaining can be seen.
QList<uint32_t> g_seenByOwnProc;
LONG recordingProc(HWND, uint32_t Msg, uint32_t, uint32_t) {
    g_seenByOwnProc.append(Msg);
    return 0;
}

} // namespace

class TestCSysTray : public QObject {
    Q_OBJECT
private slots:
    void init() {
        ClearNotifyCallLog();
        g_seenByOwnProc.clear();
    }

    void sameValueDoesNothing() {
        cSysTray tray;
        QSignalSpy changes(&tray, &cSysTray::PropertyChanged);
        tray.SetInTray(false);
        QCOMPARE(changes.count(), 0);

        tray.SetInTray(true);
        ClearNotifyCallLog();
        changes.clear();
        tray.SetInTray(true);
        QCOMPARE(changes.count(), 0);
        QVERIFY(NotifyCallLog().isEmpty());
    }

    void designModeRecordsOnly() {
        cSysTray tray;
        tray.SetUserMode(false);
        QSignalSpy changes(&tray, &cSysTray::PropertyChanged);
        const LONG ownProc = GetWindowLongA(tray.hWnd(), GWL_WNDPROC);

        tray.SetInTray(true);
        QVERIFY(tray.InTray());
        QCOMPARE(changes.count(), 1);
        QCOMPARE(changes.at(0).at(0).toString(), QStringLiteral("InTray"));
        QVERIFY(NotifyCallLog().isEmpty());
        QCOMPARE(GetWindowLongA(tray.hWnd(), GWL_WNDPROC), ownProc);

        // Persisted all the same.
        PropertyBag bag;
        tray.UserControl_WriteProperties(bag);
        QCOMPARE(bag.ReadProperty(QStringLiteral("InTray")).toBool(), true);

        tray.SetInTray(false);
        QVERIFY(!tray.InTray());
        QVERIFY(NotifyCallLog().isEmpty());
    }

    void runModeAddsAndRemoves() {
        cSysTray tray;
        const PictureRef icon = IconPicture(colouredIcon(Qt::red));
        tray.SetTrayIcon(icon);
        tray.SetTrayTip(QStringLiteral("Quorvane TFTP Server"));
        const LONG ownProc = GetWindowLongA(tray.hWnd(), GWL_WNDPROC);
        ClearNotifyCallLog();

        tray.SetInTray(true);
        QCOMPARE(NotifyCallLog().size(), 1);
        const NotifyCall add = NotifyCallLog().at(0);
        QCOMPARE(add.message, NIM_ADD);
        QVERIFY(add.result);
        QCOMPARE(add.data.cbSize, 88u);
        QCOMPARE(add.data.hWnd, tray.hWnd());
        QCOMPARE(add.data.uID, 0u);
        QCOMPARE(add.data.uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
        QCOMPARE(add.data.uCallbackMessage, 0x465u);
        QCOMPARE(add.data.hIcon, icon->Handle);
        QCOMPARE(tipBytes(add.data), padded("Quorvane TFTP Server"));
        QCOMPARE(GetWindowLongA(tray.hWnd(), GWL_WNDPROC),
                 AddressOfWndProc(&mSysTray::TrayWindowProc));
        QCOMPARE(cSysTray::FromUserData(GetWindowLongA(tray.hWnd(), GWL_USERDATA)), &tray);

        // No tray on the offscreen platform: the shell keeps the icon but shows nothing.
        const auto state = NotifyIconStateOf(tray.hWnd(), 0);
        QVERIFY(state.has_value());
        QCOMPARE(state->tip, QStringLiteral("Quorvane TFTP Server"));
        QCOMPARE(state->hIcon, icon->Handle);
        QVERIFY(!state->shown);

        ClearNotifyCallLog();
        tray.SetInTray(false);
        QCOMPARE(NotifyCallLog().size(), 1);
        const NotifyCall remove = NotifyCallLog().at(0);
        QCOMPARE(remove.message, NIM_DELETE);
        QVERIFY(remove.result);
        QCOMPARE(remove.data.uFlags, 0u);
        QCOMPARE(remove.data.hWnd, tray.hWnd());
        QVERIFY(!NotifyIconStateOf(tray.hWnd(), 0).has_value());
        QCOMPARE(GetWindowLongA(tray.hWnd(), GWL_WNDPROC), ownProc);
    }

    void addWithoutTipOrIcon() {
        cSysTray tray;
        tray.SetTrayTip(QString());
        tray.SetInTray(true);
        const NOTIFYICONDATAA add = *LastNotifyRecord(tray.hWnd(), 0);
        QCOMPARE(add.uFlags, NIF_MESSAGE);
        QCOMPARE(add.hIcon, 0u);
        QCOMPARE(tipBytes(add), QByteArray(kTipFieldSize, '\0'));
    }

    void tipField_data() {
        QTest::addColumn<QString>("tip");
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QString>("shown");
        const QString of63(63, u'a');
        const QString of64 = QString(63, u'b') + u'c';
        QTest::newRow("short") << QStringLiteral("abc") << padded("abc") << QStringLiteral("abc");
        QTest::newRow("empty") << QString() << padded("") << QString();
        QTest::newRow("63 chars: NUL, no blanks") << of63 << (of63.toLatin1() + '\0') << of63;
        QTest::newRow("64 chars: no NUL") << of64 << of64.toLatin1() << of64;
        QTest::newRow("longer is cut") << (of64 + QStringLiteral("XYZ")) << of64.toLatin1() << of64;
        QTest::newRow("64 chars ending in blanks")
            << (QString(60, u'd') + QStringLiteral("    ")) << (QByteArray(60, 'd') + "    ")
            << QString(60, u'd');
        QTest::newRow("beyond Latin-1") << QStringLiteral("Zo\u00eb \u20ac") << padded("Zo\xeb ?")
                                        << QStringLiteral("Zo\u00eb ?");
    }

    // Changed while shown, the tip goes to the shell at once.
    void tipField() {
        QFETCH(QString, tip);
        QFETCH(QByteArray, field);
        QFETCH(QString, shown);
        cSysTray tray;
        tray.SetInTray(true);
        ClearNotifyCallLog();

        tray.SetTrayTip(tip);
        QCOMPARE(NotifyCallLog().size(), 1);
        const NotifyCall modify = NotifyCallLog().at(0);
        QCOMPARE(modify.message, NIM_MODIFY);
        QCOMPARE(modify.data.uFlags, NIF_TIP);
        QCOMPARE(tipBytes(modify.data), field);
        QCOMPARE(NotifyIconStateOf(tray.hWnd(), 0)->tip, shown);
        QCOMPARE(tray.TrayTip(), tip);
    }

    void tipChangedBeforeIsUsedAtAdd() {
        cSysTray tray;
        tray.SetTrayTip(QStringLiteral("first"));
        tray.SetTrayTip(QStringLiteral("second"));
        QVERIFY(NotifyCallLog().isEmpty());
        tray.SetInTray(true);
        QCOMPARE(NotifyCallLog().size(), 1);
        QCOMPARE(tipBytes(NotifyCallLog().at(0).data), padded("second"));
    }

    void trayIconTakesIconsOnly_data() {
        QTest::addColumn<PictureRef>("picture");
        QTest::newRow("nothing") << PictureRef();
        QTest::newRow("bitmap") << BitmapPicture(QPixmap(16, 16));
        QTest::newRow("empty picture") << EmptyPicture();
        QTest::newRow("metafile") << std::make_shared<const StdPicture>(
            StdPicture{vbPicTypeMetafile, 7, QIcon()});
    }

    void trayIconTakesIconsOnly() {
        QFETCH(PictureRef, picture);
        cSysTray tray;
        const PictureRef icon = IconPicture(colouredIcon(Qt::blue));
        tray.SetTrayIcon(icon);
        tray.SetInTray(true);
        ClearNotifyCallLog();
        QSignalSpy changes(&tray, &cSysTray::PropertyChanged);

        tray.SetTrayIcon(picture);
        QCOMPARE(tray.TrayIcon(), icon);
        QCOMPARE(tray.FacePicture(), icon);
        QCOMPARE(changes.count(), 0);
        QVERIFY(NotifyCallLog().isEmpty());
        PropertyBag bag;
        tray.UserControl_WriteProperties(bag);
        QCOMPARE(bag.ReadProperty(QStringLiteral("TrayIcon")).value<PictureRef>(), icon);
    }

    void trayIconChangedWhileShown() {
        cSysTray tray;
        tray.SetInTray(true);
        ClearNotifyCallLog();
        const PictureRef icon = IconPicture(colouredIcon(Qt::green));
        tray.SetTrayIcon(icon);
        QCOMPARE(NotifyCallLog().size(), 1);
        const NotifyCall modify = NotifyCallLog().at(0);
        QCOMPARE(modify.message, NIM_MODIFY);
        QCOMPARE(modify.data.uFlags, NIF_ICON);
        QCOMPARE(modify.data.hIcon, icon->Handle);
        QCOMPARE(NotifyIconStateOf(tray.hWnd(), 0)->hIcon, icon->Handle);
        QCOMPARE(tray.FacePicture(), icon);
    }

    void activationEvents_data() {
        QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
        QTest::addColumn<QStringList>("events");
        QTest::newRow("left click")
            << QSystemTrayIcon::Trigger << QStringList{"Down 1 0", "Up 1 0"};
        QTest::newRow("context click")
            << QSystemTrayIcon::Context << QStringList{"Down 2 0", "Up 2 0"};
        QTest::newRow("double click")
            << QSystemTrayIcon::DoubleClick << QStringList{"Dbl 1 0", "Up 1 0"};
        QTest::newRow("middle click") << QSystemTrayIcon::MiddleClick << QStringList{};
    }

    void activationEvents() {
        QFETCH(QSystemTrayIcon::ActivationReason, reason);
        QFETCH(QStringList, events);
        cSysTray tray;
        QStringList seen;
        recordEvents(tray, seen);
        tray.SetInTray(true);
        InjectTrayActivation(tray.hWnd(), 0, reason);
        QCOMPARE(seen, events);
    }

    void mouseMessageEvents_data() {
        QTest::addColumn<uint>("message");
        QTest::addColumn<QStringList>("events");
        QTest::newRow("move") << uint(WM_MOUSEMOVE) << QStringList{"Move 0"};
        QTest::newRow("left double") << uint(WM_LBUTTONDBLCLK) << QStringList{"Dbl 1 0"};
        QTest::newRow("right double") << uint(WM_RBUTTONDBLCLK) << QStringList{"Dbl 2 0"};
        QTest::newRow("middle down") << uint(WM_MBUTTONDOWN) << QStringList{};
        QTest::newRow("unrelated") << 0x100u << QStringList{};
    }

    void mouseMessageEvents() {
        QFETCH(uint, message);
        QFETCH(QStringList, events);
        cSysTray tray;
        QStringList seen;
        recordEvents(tray, seen);
        tray.SetInTray(true);
        QVERIFY(InjectTrayMouse(tray.hWnd(), 0, message));
        QCOMPARE(seen, events);
    }

    void noEventsOutOfTheTray() {
        cSysTray tray;
        QStringList seen;
        recordEvents(tray, seen);
        tray.SetInTray(true);
        tray.SetInTray(false);
        QVERIFY(!InjectTrayMouse(tray.hWnd(), 0, WM_LBUTTONDOWN));
        // Even a stray callback message on the window raises nothing once unhooked.
        SendMessageA(tray.hWnd(), kTrayCallbackMessage, 0, WM_LBUTTONDOWN);
        QVERIFY(seen.isEmpty());
    }

    // The control's own procedure keeps getting every message, the callback included, and is
    // the one put back.
    void windowProcedureChainsAndIsRestored() {
        cSysTray tray;
        const LONG ownProc = AddressOfWndProc(&recordingProc);
        SetWindowLongA(tray.hWnd(), GWL_WNDPROC, ownProc);
        QStringList seen;
        recordEvents(tray, seen);

        tray.SetInTray(true);
        QCOMPARE(mSysTray::OldWindowProc, ownProc);
        InjectTrayMouse(tray.hWnd(), 0, WM_RBUTTONDOWN);
        SendMessageA(tray.hWnd(), 0x000F, 0, 0);
        QCOMPARE(seen, QStringList{"Down 2 0"});
        QCOMPARE(g_seenByOwnProc, (QList<uint32_t>{kTrayCallbackMessage, 0x000F}));

        tray.SetInTray(false);
        QCOMPARE(GetWindowLongA(tray.hWnd(), GWL_WNDPROC), ownProc);
    }

    // The tray menu's Stop removes the icon from inside the button-down handler.
    void handlerRemovingTheIcon() {
        cSysTray tray;
        QStringList seen;
        recordEvents(tray, seen);
        connect(&tray, &cSysTray::MouseDown, &tray, [&tray] { tray.SetInTray(false); });
        tray.SetInTray(true);
        InjectTrayActivation(tray.hWnd(), 0, QSystemTrayIcon::Context);
        QCOMPARE(seen, QStringList{"Down 2 0"});
        QVERIFY(!NotifyIconStateOf(tray.hWnd(), 0).has_value());
        QVERIFY(!tray.InTray());
    }

    void twoControlsInTheTray() {
        cSysTray first;
        auto second = std::make_unique<cSysTray>();
        QStringList seenFirst;
        QStringList seenSecond;
        recordEvents(first, seenFirst);
        recordEvents(*second, seenSecond);
        first.SetInTray(true);
        second->SetInTray(true);
        second.reset();
        InjectTrayMouse(first.hWnd(), 0, WM_LBUTTONUP);
        QCOMPARE(seenFirst, QStringList{"Up 1 0"});
        first.SetInTray(false);
        QCOMPARE(GetWindowLongA(first.hWnd(), GWL_WNDPROC), AddressOfWndProc(&DefWindowProcA));
    }

    void persistenceOrder() {
        cSysTray tray;
        const PictureRef icon = IconPicture(colouredIcon(Qt::yellow));
        tray.SetTrayIcon(icon);
        tray.SetTrayTip(QStringLiteral("stored tip"));
        tray.SetInTray(true);
        PropertyBag bag;
        tray.UserControl_WriteProperties(bag);
        QCOMPARE(bag.Names(), (QStringList{"InTray", "TrayIcon", "TrayTip"}));
        QCOMPARE(bag.ReadProperty(QStringLiteral("InTray")).toBool(), true);
        QCOMPARE(bag.ReadProperty(QStringLiteral("TrayIcon")).value<PictureRef>(), icon);
        QCOMPARE(bag.ReadProperty(QStringLiteral("TrayTip")).toString(),
                 QStringLiteral("stored tip"));
        tray.SetInTray(false);

        // At run time the stored True adds the icon first; the stored picture and tip then
        // modify it.
        cSysTray loaded;
        ClearNotifyCallLog();
        loaded.UserControl_ReadProperties(bag);
        const QList<NotifyCall> calls = NotifyCallLog();
        QCOMPARE(calls.size(), 3);
        QCOMPARE(calls.at(0).message, NIM_ADD);
        // A fresh instance has neither picture nor tip yet.
        QCOMPARE(calls.at(0).data.uFlags, NIF_MESSAGE);
        QCOMPARE(calls.at(1).message, NIM_MODIFY);
        QCOMPARE(calls.at(1).data.uFlags, NIF_ICON);
        QCOMPARE(calls.at(1).data.hIcon, icon->Handle);
        QCOMPARE(calls.at(2).message, NIM_MODIFY);
        QCOMPARE(calls.at(2).data.uFlags, NIF_TIP);
        QCOMPARE(tipBytes(calls.at(2).data), padded("stored tip"));
        QVERIFY(loaded.InTray());
        QCOMPARE(loaded.TrayIcon(), icon);
        QCOMPARE(loaded.TrayTip(), QStringLiteral("stored tip"));

        // In a designer the same data is only recorded.
        cSysTray designed;
        designed.SetUserMode(false);
        ClearNotifyCallLog();
        designed.UserControl_ReadProperties(bag);
        QVERIFY(designed.InTray());
        QVERIFY(NotifyCallLog().isEmpty());
    }

    void defaultsOfANewInstance() {
        cSysTray tray;
        tray.UserControl_InitProperties();
        QVERIFY(!tray.InTray());
        QVERIFY(!tray.TrayTip().isEmpty());
        QVERIFY(tray.TrayIcon());
        QCOMPARE(tray.TrayIcon()->Type, vbPicTypeIcon);
        QCOMPARE(tray.TrayIcon(), tray.FacePicture());

        // An empty bag gives the same defaults.
        cSysTray read;
        read.UserControl_ReadProperties(PropertyBag());
        QVERIFY(!read.InTray());
        QCOMPARE(read.TrayTip(), tray.TrayTip());
        QCOMPARE(read.TrayIcon(), read.FacePicture());
    }

    void keepsItsSize() {
        QWidget host;
        cSysTray tray(&host);
        tray.resize(200, 40);
        tray.setGeometry(0, 0, 5, 500);
        QCOMPARE(tray.WidthTwips(), 510);
        QCOMPARE(tray.HeightTwips(), 510);
    }

    void destroyingRemovesTheIcon() {
        auto tray = std::make_unique<cSysTray>();
        const HWND hWnd = tray->hWnd();
        tray->SetInTray(true);
        ClearNotifyCallLog();
        tray.reset();
        QCOMPARE(NotifyCallLog().size(), 1);
        QCOMPARE(NotifyCallLog().at(0).message, NIM_DELETE);
        QVERIFY(!NotifyIconStateOf(hWnd, 0).has_value());
        QVERIFY(!IsWindow(hWnd));
    }

    // The shell itself: what it refuses, and the tip it shows.
    void shellRefusals() {
        const HWND hWnd = CreateControlWindow();
        NOTIFYICONDATAA record;
        std::memset(&record, 0, sizeof record);
        record.cbSize = 88;
        record.hWnd = hWnd;
        record.uID = 5;
        QVERIFY(!Shell_NotifyIconA(NIM_ADD, nullptr));
        QVERIFY(!Shell_NotifyIconA(NIM_MODIFY, &record));
        QVERIFY(!Shell_NotifyIconA(NIM_DELETE, &record));
        QVERIFY(!Shell_NotifyIconA(7, &record));
        record.cbSize = 504;
        QVERIFY(!Shell_NotifyIconA(NIM_ADD, &record));
        record.cbSize = 88;
        QVERIFY(Shell_NotifyIconA(NIM_ADD, &record));
        QVERIFY(!Shell_NotifyIconA(NIM_ADD, &record));
        // Without a callback message the icon reports nothing.
        QVERIFY(!InjectTrayMouse(hWnd, 5, WM_LBUTTONDOWN));
        DestroyControlWindow(hWnd);
        QVERIFY(!NotifyIconStateOf(hWnd, 5).has_value());
        QCOMPARE(SetWindowLongA(hWnd, GWL_USERDATA, 1), 0);
    }
};

QTEST_MAIN(TestCSysTray)
#include "tst_c_sys_tray.moc"
