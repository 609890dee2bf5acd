// The main window's face: its menus, the tray popup, the list's clearing, restoring the window,
// its layout on resize, and a picture of it with live transfers.
#include "engine/globals.h"
#include "engine/transfer_fixture.h"
#include "platform/msg_box.h"
#include "server/tftp_server_window.h"
#include "test_files.h"
#include "toolkit/ip_functions.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>
#include <QtTest>

#include <memory>

namespace {

// Every item of a menu, depth first: "menu/item", "-" for a separator, "(hidden)" for an item
// that is never shown.
void flatten(const QList<QAction*>& actions, const QString& path, QStringList& out) {
    for (QAction* action : actions) {
        const QString name = path + (action->isSeparator() ? QStringLiteral("-") : action->text());
        out << name + (action->isVisible() ? QString() : QStringLiteral(" (hidden)"));
        if (QMenu* sub = action->menu()) {
            flatten(sub->actions(), name + QLatin1Char('/'), out);
        }
    }
}

QList<QAction*> allActions(const QList<QAction*>& actions) {
    QList<QAction*> out;
    for (QAction* action : actions) {
        out << action;
        if (QMenu* sub = action->menu()) {
            out << allActions(sub->actions());
        }
    }
    return out;
}

// A window of its own on a free port, loaded hidden as automation mode leaves it.
std::unique_ptr<TFTPServerWindow> loadedWindow() {
    TFTPServerCore::ListenPort = 0;
    auto window = std::make_unique<TFTPServerWindow>();
    window->Load();
    return window;
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        SetTFTPServerFactory([] { return new TFTPServerWindow; });
        platform::SetMsgBoxResponder([](const QString&, int, const QString&) { return 1; });
        Globals::TaskBar = true;
    }

    void menusHaveTheDesignsCaptionsInOrder() {
        auto w = loadedWindow();
        QStringList items;
        flatten(w->Window->menuBar()->actions(), QString(), items);

        QStringList tools = items.filter(QRegularExpression(QStringLiteral("^&Tools/")));
        QCOMPARE(tools.size(), 13);
        QSet<QChar> keys;
        for (const QString& tool : tools) {
            const QString caption = tool.mid(7);
            QVERIFY2(caption.endsWith(QLatin1String(" ...")), qPrintable(caption));
            const qsizetype amp = caption.indexOf(QLatin1Char('&'));
            QVERIFY2(amp >= 0 && amp + 1 < caption.size(), qPrintable(caption));
            keys.insert(caption.at(amp + 1).toLower());
        }
        QCOMPARE(keys.size(), 13); // each entry has its own access key
        items.removeIf([](const QString& s) { return s.startsWith(QLatin1String("&Tools/")); });

        const QStringList expected{
            "&File",
            "&File/&Configure",
            "&File/-",
            "&File/Clear &Log",
            "&File/E&xit",
            "&Tools",
            "&Help",
            "&Help/&Contents ...",
            "&Help/&Help on TFTP Server ...",
            "&Help/&Tip of the Day ...",
            "&Help/-",
            "&Help/Quorvane.Net &Web Site",
            "&Help/Quorvane.Net &Web Site/Software &Updates ...",
            "&Help/Quorvane.Net &Web Site/&On-Line Manual ...",
            "&Help/Quorvane.Net &Web Site/&Frequently Asked Questions ...",
            "&Help/Quorvane.Net &Web Site/-",
            "&Help/Quorvane.Net &Web Site/Provide &Feedback ...",
            "&Help/-",
            "&Help/&About TFTP Server ...",
            "Systray (hidden)",
            "Systray/&Quorvane.Net TFTP Server",
            "Systray/-",
            "Systray/Status ...",
            "Systray/&Stop TFTP Server ..",
        };
        QCOMPARE(items, expected);

        for (QAction* action : allActions(w->Window->menuBar()->actions())) {
            QVERIFY2(action->shortcut().isEmpty(), qPrintable(action->text()));
            QVERIFY2(!action->isCheckable(), qPrintable(action->text()));
            QVERIFY2(action->isEnabled() || !action->isVisible(), qPrintable(action->text()));
        }
        QVERIFY(w->SystrayPopup->isEnabled());
    }

    void loadPutsTheTipAndTheStatusPanelsInPlace_data() {
        QTest::addColumn<bool>("taskBar");
        QTest::newRow("tray icon") << true;
        QTest::newRow("no tray icon") << false;
    }
    void loadPutsTheTipAndTheStatusPanelsInPlace() {
        QFETCH(bool, taskBar);
        Globals::TaskBar = taskBar;
        Globals::RootDir = QStringLiteral("/srv/tftp");
        auto w = loadedWindow();
        Globals::TaskBar = true;
        QCOMPARE(w->SysTray->InTray(), taskBar);
        QCOMPARE(w->SysTray->TrayTip(), QStringLiteral("Quorvane TFTP Server"));
        QCOMPARE(w->StatusBar->Panels(QStringLiteral("Status"))->Text(), Globals::RootDir);
        QVERIFY(IP_Functions::IsValidIP(w->StatusBar->Panels(QStringLiteral("IP"))->Text()));
        w->Unload();
        QVERIFY(!w->SysTray->InTray());
    }

    void trayOpensThePopupForEitherButtonDown_data() {
        QTest::addColumn<uint>("message");
        QTest::addColumn<bool>("opens");
        QTest::newRow("left down") << uint(platform::WM_LBUTTONDOWN) << true;
        QTest::newRow("right down") << uint(platform::WM_RBUTTONDOWN) << true;
        QTest::newRow("left up") << uint(platform::WM_LBUTTONUP) << false;
        QTest::newRow("right double click") << uint(platform::WM_RBUTTONDBLCLK) << false;
        QTest::newRow("move") << uint(platform::WM_MOUSEMOVE) << false;
    }
    void trayOpensThePopupForEitherButtonDown() {
        QFETCH(uint, message);
        QFETCH(bool, opens);
        auto w = loadedWindow();
        QVERIFY(w->SysTray->InTray());
        const QPoint at = QGuiApplication::primaryScreen()->geometry().center();
        QCursor::setPos(at);
        QVERIFY(platform::InjectTrayMouse(w->SysTray->hWnd(), 0, message));
        QCOMPARE(w->SystrayPopup->isVisible(), opens);
        if (opens) {
            QCOMPARE(QApplication::activePopupWidget(), w->SystrayPopup);
            QCOMPARE(w->SystrayPopup->pos(), QCursor::pos());
            QVERIFY(!w->SystrayPopup->activeAction());
            w->SystrayPopup->close();
        }
        QVERIFY(!w->Window->isVisible()); // the popup alone, not the window
    }

    void clearLogEmptiesTheListAndRunningTransfersDoNotComeBack() {
        TransferFixture fx;
        const QByteArray content(60000, 'q');
        fx.writeFile("big.bin", content);
        fx.sendRequest(1, "missing.bin"); // a refused request's untagged line
        fx.receive();
        fx.sendRequest(1, "big.bin");
        const QByteArray first = fx.receive();
        TFTPServerWindow& w = MainWindow();
        QCOMPARE(w.Log->ListCount(), 2);

        w.ClearLogSelection->trigger();
        QCOMPARE(w.Log->ListCount(), 0);
        QCOMPARE(w.LogView->model()->rowCount(), 0);

        // The transfer goes on to its end; its progress and final lines find no line to rewrite.
        QCOMPARE(fx.fetchRest(first), content);
        QCOMPARE(fx.events, QStringList{"TransmitComplete big.bin 127.0.0.1 false"});
        QCOMPARE(w.Log->ListCount(), 0);

        // The list itself still takes new transfers.
        fx.sendRequest(1, "big.bin");
        fx.receive();
        QCOMPARE(w.Log->ListCount(), 1);
    }

    // Every line reads whole by scrolling sideways: no line is elided or wrapped, the
    // horizontal range reaches the end of the widest line (not the last one here), follows a
    // line rewritten longer and shrinks back with the list. A name that fills a datagram is
    // shortened in the line itself, so the longest refusal still ends "File does not exist".
    void everyLineReadsWholeByScrolling() {
        TransferFixture fx;
        fx.writeFile("running.bin", QByteArray(5000, 'r'));
        TFTPServerWindow& w = MainWindow();
        w.Show();
        QVERIFY(QTest::qWaitForWindowExposed(w.Window));
        fx.sendRequest(1, QByteArray(65000, 'n'));
        fx.receive();
        fx.sendRequest(1, "running.bin");
        fx.receive();
        fx.sendRequest(1, "short.bin");
        fx.receive();
        QAbstractItemView* view = w.LogView;
        QCOMPARE(view->model()->rowCount(), 3);
        QCOMPARE(view->textElideMode(), Qt::ElideNone);

        const QString longest = w.Log->List(0);
        QVERIFY2(longest.startsWith(QStringLiteral("TFTP Error from 127.0.0.1 requesting nnnn")),
                 qPrintable(longest));
        QVERIFY2(longest.contains(QStringLiteral(" characters left out]nnnn")),
                 qPrintable(longest));
        QVERIFY(longest.endsWith(QStringLiteral("nnnn : File does not exist")));
        QVERIFY(longest.size() < 700);

        const auto needs = [view](int row) {
            return QFontMetrics(view->font())
                .horizontalAdvance(view->model()->index(row, 0).data().toString());
        };
        QScrollBar* bar = view->horizontalScrollBar();
        const auto reach = [view, bar] { return bar->maximum() + view->viewport()->width(); };
        QVERIFY(needs(0) > view->viewport()->width());
        QVERIFY(reach() >= needs(0));
        // Scrolled right to the end, the longest line's end is in view.
        bar->setValue(bar->maximum());
        const QRect row0 = view->visualRect(view->model()->index(0, 0));
        QVERIFY(row0.width() >= needs(0));
        QVERIFY(row0.left() + needs(0) <= view->viewport()->width());

        // A rewrite reaches the view in its next batch.
        const qint16 running = qint16(w.Log->ItemData(1));
        QVERIFY(running != 0);
        w.UpdateLog(running, QString(630, QLatin1Char('W')));
        QVERIFY(needs(1) > needs(0));
        QTRY_VERIFY(reach() >= needs(1));

        w.ClearLogSelection->trigger();
        QCOMPARE(bar->maximum(), 0);
    }

    // The lines can be picked out with the mouse and walked with the keys, as in a list box.
    void linesCanBeSelectedAndWalked() {
        TransferFixture fx;
        for (const char* name : {"one.bin", "two.bin", "three.bin"}) {
            fx.sendRequest(1, name);
            fx.receive();
        }
        TFTPServerWindow& w = MainWindow();
        w.Show();
        QVERIFY(QTest::qWaitForWindowExposed(w.Window));
        QAbstractItemView* view = w.LogView;
        const QModelIndex second = view->model()->index(1, 0);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(second).center());
        QCOMPARE(view->currentIndex(), second);
        QVERIFY(view->selectionModel()->isSelected(second));
        QTest::keyClick(view, Qt::Key_Down);
        QCOMPARE(view->currentIndex().row(), 2);
        QTest::keyClick(view, Qt::Key_Home);
        QCOMPARE(view->currentIndex().row(), 0);
        QVERIFY(view->selectionModel()->isSelected(view->model()->index(0, 0)));
        QCOMPARE(view->indexAt(view->visualRect(view->model()->index(2, 0)).center()).row(), 2);
    }

    void trayShowItemsRestoreAndShowTheWindow_data() {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("start");
        for (const char* item : {"Status ...", "&Quorvane.Net TFTP Server"}) {
            for (const char* start : {"minimised", "hidden", "maximised", "covered"}) {
                QTest::addRow("%s, %s", item, start) << item << start;
            }
        }
    }
    void trayShowItemsRestoreAndShowTheWindow() {
        QFETCH(QString, item);
        QFETCH(QString, start);
        auto w = loadedWindow();
        if (start == QLatin1String("minimised")) {
            w->Window->showMinimized();
            QVERIFY(w->Window->isMinimized());
        } else if (start == QLatin1String("maximised")) {
            w->Window->showMaximized();
        }
        // Another window of the desktop lies over the main window and has the focus.
        QWidget cover;
        if (start == QLatin1String("covered")) {
            w->Window->show();
            cover.setGeometry(w->Window->geometry());
            cover.show();
            cover.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&cover));
        }
        QAction* action = item == QLatin1String("Status ...") ? w->StatusPopup : w->QuorvaneLink;
        QCOMPARE(action->text(), item);
        action->trigger();
        QVERIFY(w->Window->isVisible());
        QVERIFY(!w->Window->isMinimized());
        QVERIFY(!w->Window->isMaximized());
        QVERIFY(w->IsLoaded());
        QTRY_COMPARE(QApplication::activeWindow(), w->Window);
    }

    void stopItemShutsTheProgramDown() {
        TransferFixture fx;
        fx.writeFile("a.bin", QByteArray(5000, 'a'));
        fx.sendRequest(1, "a.bin");
        fx.receive();
        QCOMPARE(platform::Forms::Count(), 2);
        MainWindow().StopPopup->trigger();
        QCOMPARE(platform::Forms::Count(), 0);
        QVERIFY(fx.events.isEmpty());
    }

    void faceMatchesTheDesign() {
        auto w = loadedWindow();
        w->Show();
        QVERIFY(QTest::qWaitForWindowExposed(w->Window));
        QWidget* client = w->Window->centralWidget();
        QCOMPARE(w->Window->windowTitle(), QStringLiteral("TFTP Server"));
        QCOMPARE(client->size(), QSize(374, 215));
        QVERIFY(w->Window->windowFlags() & Qt::WindowMinMaxButtonsHint);
        const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY((w->Window->frameGeometry().center() - screenCentre).manhattanLength() <= 40);
        const QList<QSize> sizes = w->Window->windowIcon().availableSizes();
        QVERIFY(sizes.contains(QSize(32, 32)) && sizes.contains(QSize(16, 16)));

        QCOMPARE(w->Image1->geometry(), QRect(4, 4, 32, 32));
        QCOMPARE(w->Banner->geometry(), QRect(48, 4, 273, 25));
        QCOMPARE(w->Banner->Caption(), QStringLiteral("Quorvane.Net TFTP Server"));
        QCOMPARE(w->Banner->font().family(), QStringLiteral("Arial"));
        QVERIFY(w->Banner->font().bold());
        QCOMPARE(w->Banner->font().pointSizeF(), 14.25);
        // The caption fits whatever font stands in for Arial.
        QVERIFY(QFontMetrics(w->Banner->font()).horizontalAdvance(w->Banner->Caption()) <=
                w->Banner->contentsRect().width() - 4);
        QCOMPARE(w->Banner->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(w->LinkLine->parentWidget(), w->Banner);
        QCOMPARE(w->LinkLine->geometry(), QRect(0, 24, 144, 1));
        QCOMPARE(w->LinkLine->palette().color(QPalette::Window), QColor(Qt::blue));
        QVERIFY(w->LinkLine->isHidden());
        QCOMPARE(w->LogView->geometry(), QRect(0, 40, 374, 215 - 17 - 40));
        QCOMPARE(w->StatusBar->geometry(), QRect(0, 215 - 17, 374, 17));
        QCOMPARE(w->StatusBar->Panels(1)->Key(), QStringLiteral("Status"));
        QCOMPARE(w->StatusBar->Panels(2)->Key(), QStringLiteral("IP"));
        QCOMPARE(w->StatusBar->Panels(3)->Key(), QStringLiteral("Block"));

        // The link line is shown only while the pointer is over the banner.
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(w->Banner, &enter);
        QVERIFY(w->LinkLine->isVisible());
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(w->Banner, &leave);
        QVERIFY(w->LinkLine->isHidden());
    }

    void resizeLaysOutLogAndLeavesItWhenTooSmall() {
        auto w = loadedWindow();
        w->Show();
        QVERIFY(QTest::qWaitForWindowExposed(w->Window));
        QWidget* client = w->Window->centralWidget();
        const int menu = w->Window->height() - client->height();
        const auto resizeClient = [&](int width, int height) {
            w->Window->resize(width, height + menu);
            QTRY_COMPARE(client->size(), QSize(width, height));
        };

        resizeClient(600, 400);
        QCOMPARE(w->LogView->geometry(), QRect(0, 40, 600, 400 - 17 - 40));
        QCOMPARE(w->StatusBar->geometry(), QRect(0, 400 - 17, 600, 17));

        // Exactly the banner row and the status bar: no room left, but no error either.
        resizeClient(500, 57);
        QCOMPARE(w->LogView->geometry(), QRect(0, 40, 500, 0));

        // Below that, Log stays where it was, width included; the status bar stays docked.
        resizeClient(450, 30);
        QCOMPARE(w->LogView->geometry(), QRect(0, 40, 500, 0));
        QCOMPARE(w->StatusBar->geometry(), QRect(0, 30 - 17, 450, 17));

        resizeClient(420, 300);
        QCOMPARE(w->LogView->geometry(), QRect(0, 40, 420, 300 - 57));

        // A minimised window keeps its layout.
        w->Window->showMinimized();
        QCOMPARE(w->LogView->geometry(), QRect(0, 40, 420, 300 - 57));
    }

    // Writes the window with live transfers to PNG files in the build folder, to be looked at.
    void pictureOfTheWindowWithTransfers() {
        TransferFixture fx;
        fx.writeFile("pxeboot.0", QByteArray(70000, 'p'));
        fx.writeFile("router-config.txt", QByteArray(3000, 'c'));
        fx.sendRequest(1, "router-config.txt");
        QCOMPARE(fx.fetchRest(fx.receive()).size(), 3000);
        fx.sendRequest(1, "pxeboot.0");
        fx.receive(); // left running
        fx.sendRequest(1, "no-such-file.bin");
        fx.receive();
        fx.sendRequest(2, "switch-backup.cfg");
        fx.receive(); // left running
        TFTPServerWindow& w = MainWindow();
        QVERIFY(w.Log->ListCount() >= 4);
        w.Show();
        QVERIFY(QTest::qWaitForWindowExposed(w.Window));

        const QString plain = picturePath(QStringLiteral("main_window.png"));
        QVERIFY(w.Window->grab().save(plain));
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(w.Banner, &enter);
        const QString hover = picturePath(QStringLiteral("main_window_hover.png"));
        QVERIFY(w.Window->grab().save(hover));
        qInfo("pictures: %s %s", qPrintable(plain), qPrintable(hover));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
