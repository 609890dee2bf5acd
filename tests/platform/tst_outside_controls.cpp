#include "platform/icmp_control.h"
#include "platform/ss_frame.h"
#include "platform/ss_option.h"
#include "platform/ss_panel.h"
#include "platform/status_bar.h"

#include <QApplication>
#include <QEnterEvent>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

using namespace platform;

Q_DECLARE_METATYPE(QList<platform::InterfaceSummary>)

namespace {

InterfaceSummary interface(bool up, bool running, bool loopback, const QStringList& addresses) {
    InterfaceSummary entry{up, running, loopback, {}};
    for (const QString& address : addresses)
        entry.addresses.append(QHostAddress(address));
    return entry;
}

} // namespace

class TestOutsideControls : public QObject {
    Q_OBJECT
private slots:
    void statusBarKeyedPanels() {
        StatusBar bar;
        QVERIFY(bar.AddPanel(QStringLiteral("Status"), QString(), StatusBarPanel::sbrSpring));
        QVERIFY(bar.AddPanel(QStringLiteral("IP"), QString(), StatusBarPanel::sbrContents));
        QVERIFY(
            bar.AddPanel(QStringLiteral("Block"), QString(), StatusBarPanel::sbrNoAutoSize, 300));
        QCOMPARE(bar.PanelCount(), 3);
        QCOMPARE(bar.Panels(1)->Key(), QStringLiteral("Status"));
        QCOMPARE(bar.Panels(3)->Key(), QStringLiteral("Block"));
        QVERIFY(!bar.Panels(0));
        QVERIFY(!bar.Panels(4));

        bar.Panels(QStringLiteral("Status"))->SetText(QStringLiteral("/TFTP-Root"));
        bar.Panels(QStringLiteral("IP"))->SetText(QStringLiteral("192.168.1.7"));
        QCOMPARE(bar.Panels(QStringLiteral("status"))->Text(), QStringLiteral("/TFTP-Root"));
        QCOMPARE(bar.Panels(QStringLiteral("IP"))->Text(), QStringLiteral("192.168.1.7"));
        QCOMPARE(bar.Panels(QStringLiteral("Block"))->Text(), QString());

        // A missing key or a second panel of the same key is refused, not invented.
        QVERIFY(!bar.Panels(QStringLiteral("Nope")));
        QVERIFY(!bar.AddPanel(QStringLiteral("ip")));
        QVERIFY(!bar.AddPanel(QString()));
        QCOMPARE(bar.PanelCount(), 3);
    }

    void statusBarHeightInTwips() {
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        auto* bar = new StatusBar(&window);
        layout->addStretch();
        layout->addWidget(bar);
        window.resize(400, 300);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(bar->Height(), 255);
        bar->SetHeight(300);
        QCOMPARE(bar->Height(), 300);
    }

    // A root folder such as /srv/tftp/images shows whole, its descenders included, in a bar of
    // the design's height, also where the desktop's font is a large one.
    void statusBarTextShowsWhole_data() {
        QTest::addColumn<int>("twips");
        QTest::addColumn<qreal>("desktopPoints"); // 0: the platform's own
        QTest::newRow("design height") << int(StatusBar::kDefaultHeightTwips) << 0.0;
        QTest::newRow("design height, large desktop font")
            << int(StatusBar::kDefaultHeightTwips) << 14.0;
        QTest::newRow("taller bar") << 400 << 0.0;
    }

    void statusBarTextShowsWhole() {
        QFETCH(int, twips);
        QFETCH(qreal, desktopPoints);
        const QFont desktop = QApplication::font();
        if (desktopPoints > 0) {
            QFont large = desktop;
            large.setPointSizeF(desktopPoints);
            QApplication::setFont(large);
        }
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        auto* bar = new StatusBar;
        bar->SetHeight(twips);
        bar->AddPanel(QStringLiteral("Status"), QStringLiteral("/srv/tftp/images"),
                      StatusBarPanel::sbrSpring);
        bar->AddPanel(QStringLiteral("IP"), QStringLiteral("192.168.100.250"),
                      StatusBarPanel::sbrContents);
        layout->addStretch();
        layout->addWidget(bar);
        window.resize(400, 300);
        window.show();
        QApplication::setFont(desktop);
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(bar->Height(), twips / kTwipsPerPixel * kTwipsPerPixel);
        for (int i = 1; i <= bar->PanelCount(); ++i) {
            StatusBarPanel* panel = bar->Panels(i);
            // Inside the bevel and the label's own margin.
            const int margin = panel->margin();
            const QRect room = panel->contentsRect().adjusted(margin, margin, -margin, -margin);
            const QFontMetrics metrics(panel->font());
            QVERIFY2(metrics.height() <= room.height(),
                     qPrintable(QStringLiteral("%1: a line of %2 px in %3 px")
                                    .arg(panel->Text())
                                    .arg(metrics.height())
                                    .arg(room.height())));
            QVERIFY(metrics.horizontalAdvance(panel->Text()) + panel->indent() <= room.width());
        }
        // A taller bar keeps the desktop's font.
        if (twips > 300 && desktopPoints == 0) {
            QCOMPARE(QFontInfo(bar->Panels(1)->font()).pixelSize(), QFontInfo(desktop).pixelSize());
        }
    }

    void panelCaptionLines_data() {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("one line") << QStringLiteral("TFTP Server") << QStringList{"TFTP Server"};
        QTest::newRow("CR LF") << QStringLiteral("Version 5.3\r\nBuild 23\r\nLinux")
                               << QStringList{"Version 5.3", "Build 23", "Linux"};
        QTest::newRow("empty line kept")
            << QStringLiteral("a\r\n\r\nb") << QStringList{"a", "", "b"};
        QTest::newRow("bare LF and CR") << QStringLiteral("a\nb\rc") << QStringList{"a", "b", "c"};
    }

    void panelCaptionLines() {
        QFETCH(QString, caption);
        QFETCH(QStringList, lines);
        SSPanel panel;
        panel.SetCaption(caption);
        QCOMPARE(panel.Caption(), caption);
        QCOMPARE(panel.CaptionLines(), lines);

        // Drawn as lines: the panel asks for a line's height per line.
        SSPanel single;
        single.SetCaption(QStringLiteral("x"));
        const int lineHeight = QFontMetrics(panel.font()).lineSpacing();
        QVERIFY(panel.sizeHint().height() - single.sizeHint().height() >=
                (lines.size() - 1) * lineHeight - 1);
    }

    void panelMouseEvents() {
        SSPanel panel;
        panel.SetCaption(QStringLiteral("Quorvane.Net TFTP Server"));
        panel.resize(200, 30);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QSignalSpy clicks(&panel, &SSPanel::Click);
        QSignalSpy downs(&panel, &SSPanel::MouseDown);
        QSignalSpy ups(&panel, &SSPanel::MouseUp);

        QTest::mouseClick(&panel, Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(downs.count(), 1);
        QCOMPARE(downs.at(0).at(0).value<qint16>(), qint16(1));
        QCOMPARE(downs.at(0).at(2).toFloat(), 150.0f);

        QTest::mouseClick(&panel, Qt::RightButton, {}, QPoint(10, 10));
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(ups.count(), 2);
        QCOMPARE(ups.at(1).at(0).value<qint16>(), qint16(2));

        QSignalSpy enters(&panel, &SSPanel::MouseEnter);
        QSignalSpy leaves(&panel, &SSPanel::MouseLeave);
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QCoreApplication::sendEvent(&panel, &enter);
        QCOMPARE(enters.count(), 1);
        QCOMPARE(leaves.count(), 0);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(&panel, &leave);
        QCOMPARE(leaves.count(), 1);
    }

    void panelMethod30RecordsThePath() {
        SSPanel panel;
        QCOMPARE(panel.Method30Path(), QString());
        panel.Method30(QStringLiteral("/opt/drovemoor/S2.dll"));
        QCOMPARE(panel.Method30Path(), QStringLiteral("/opt/drovemoor/S2.dll"));
        panel.Method30(QStringLiteral("/missing/file"));
        QCOMPARE(panel.Method30Path(), QStringLiteral("/missing/file"));
    }

    void optionsAreExclusivePerContainer() {
        QWidget dialog;
        auto* layout = new QVBoxLayout(&dialog);
        auto* frame = new SSFrame(QStringLiteral("Mode"), &dialog);
        auto* frameLayout = new QVBoxLayout(frame);
        SSOption* options[3];
        const char* captions[3] = {"Receive only", "Transmit only", "Both"};
        for (int i = 0; i < 3; ++i) {
            options[i] = new SSOption(QString::fromLatin1(captions[i]), frame);
            frameLayout->addWidget(options[i]);
        }
        auto* outside = new SSOption(QStringLiteral("Elsewhere"), &dialog);
        layout->addWidget(frame);
        layout->addWidget(outside);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(frame->Caption(), QStringLiteral("Mode"));

        const auto values = [&] {
            return QList<bool>{options[0]->Value(), options[1]->Value(), options[2]->Value()};
        };
        // Over the indicator: only the indicator and the caption take a click.
        const QPoint onIndicator(5, options[2]->height() / 2);
        outside->SetValue(true);
        options[0]->SetValue(true);
        options[1]->SetValue(true);
        QCOMPARE(values(), (QList<bool>{false, true, false}));

        QTest::mouseClick(options[2], Qt::LeftButton, {}, onIndicator);
        QCOMPARE(values(), (QList<bool>{false, false, true}));
        // Choosing the one that is on keeps it on.
        QTest::mouseClick(options[2], Qt::LeftButton, {}, onIndicator);
        QCOMPARE(values(), (QList<bool>{false, false, true}));
        QVERIFY(outside->Value());

        // The value is the default member, reachable by name.
        QCOMPARE(options[2]->property("Value").toBool(), true);
    }

    void chooseOwnAddress_data() {
        QTest::addColumn<QList<InterfaceSummary>>("interfaces");
        QTest::addColumn<QString>("address");
        QTest::newRow("none") << QList<InterfaceSummary>{} << QStringLiteral("127.0.0.1");
        QTest::newRow("loopback only")
            << QList<InterfaceSummary>{interface(true, true, true, {"127.0.0.1", "::1"})}
            << QStringLiteral("127.0.0.1");
        QTest::newRow("first up and running")
            << QList<InterfaceSummary>{interface(true, true, true, {"127.0.0.1"}),
                                       interface(false, false, false, {"10.1.1.1"}),
                                       interface(true, false, false, {"10.2.2.2"}),
                                       interface(true, true, false, {"fe80::1", "192.168.5.9"}),
                                       interface(true, true, false, {"172.16.0.3"})}
            << QStringLiteral("192.168.5.9");
        QTest::newRow("IPv6 only is skipped")
            << QList<InterfaceSummary>{interface(true, true, false, {"2001:db8::5"}),
                                       interface(true, true, false, {"10.9.8.7"})}
            << QStringLiteral("10.9.8.7");
    }

    void chooseOwnAddress() {
        QFETCH(QList<InterfaceSummary>, interfaces);
        QFETCH(QString, address);
        QCOMPARE(ChooseOwnAddress(interfaces), address);
    }

    void icmpProperty16IsDottedIPv4() {
        IcmpControl icmp;
        const QString address = icmp.Property16();
        static const QRegularExpression dotted(QStringLiteral(R"(^\d{1,3}(\.\d{1,3}){3}$)"));
        QVERIFY2(dotted.match(address).hasMatch(), qPrintable(address));
        QCOMPARE(QHostAddress(address).protocol(), QAbstractSocket::IPv4Protocol);
    }
};

QTEST_MAIN(TestOutsideControls)
#include "tst_outside_controls.moc"
