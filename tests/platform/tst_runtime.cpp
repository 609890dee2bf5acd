// The forms runtime, the yield, virtual time and the message-box seam.
#include "platform/form.h"
#include "platform/msg_box.h"
#include "platform/timer.h"
#include "platform/yield.h"

#include <QtTest>

using namespace platform;

namespace {

class RecordingForm : public Form {
public:
    explicit RecordingForm(const QString& name, QStringList* journal, bool refuse = false)
        : Form(name), journal_(journal), refuse_(refuse) {}

protected:
    void Form_Load() override { journal_->append(Name() + ":load"); }
    void Form_QueryUnload(int& cancel, UnloadMode) override {
        journal_->append(Name() + ":query");
        cancel = refuse_ ? 1 : 0;
    }
    void Form_Unload(int&) override { journal_->append(Name() + ":unload"); }

private:
    QStringList* journal_;
    bool refuse_;
};

// A ring of forms where each one's step yields and then raises the next one's event.
class Relay : public Form {
public:
    Relay(int* depth, int* maxDepth, int* done)
        : Form("Relay"), depth_(depth), max_(maxDepth), done_(done) {}
    Relay* next = nullptr;
    int rounds = 0;

    void Step() {
        ++*depth_;
        *max_ = qMax(*max_, *depth_);
        Yield(this, [this] {
            ++*depth_;
            *max_ = qMax(*max_, *depth_);
            if (++rounds < 50 && next) {
                // The next form's step is an event of its own, as a datagram would be.
                QMetaObject::invokeMethod(
                    next, [n = next] { n->Step(); }, Qt::QueuedConnection);
            } else {
                ++*done_;
            }
            --*depth_;
        });
        --*depth_;
    }

private:
    int* depth_;
    int* max_;
    int* done_;
};

} // namespace

class TestRuntime : public QObject {
    Q_OBJECT
private slots:
    void formsKeepLoadOrderAndRunHandlersInOrder() {
        QStringList journal;
        RecordingForm a("A", &journal), b("B", &journal), c("C", &journal, true);
        a.Load();
        b.Load();
        c.Load();
        b.Load(); // already loaded: nothing
        QCOMPARE(Forms::Loaded(), (QList<Form*>{&a, &b, &c}));
        QVERIFY(b.Unload());
        QVERIFY(!c.Unload()); // its query-unload cancels
        QCOMPARE(Forms::Loaded(), (QList<Form*>{&a, &c}));
        b.Load();
        QCOMPARE(Forms::Loaded(), (QList<Form*>{&a, &c, &b}));
        QCOMPARE(journal, (QStringList{"A:load", "B:load", "C:load", "B:query", "B:unload",
                                       "C:query", "B:load"}));
        a.Unload();
        b.Unload();
    }

    void yieldRunsAfterPendingEventsAndOnlyWhileLoaded() {
        QStringList journal;
        RecordingForm f("F", &journal);
        f.Load();
        QStringList order;
        QMetaObject::invokeMethod(
            &f, [&] { order << "pending"; }, Qt::QueuedConnection);
        Yield(&f, [&] { order << "rest"; });
        order << "returned";
        VirtualTime::Settle();
        QCOMPARE(order, (QStringList{"returned", "pending", "rest"}));

        // Unloaded, or unloaded and loaded again, before the rest could run: it never runs.
        bool ran = false;
        Yield(&f, [&] { ran = true; });
        f.Unload();
        f.Load();
        VirtualTime::Settle();
        QVERIFY(!ran);
        f.Unload();

        auto* gone = new RecordingForm("G", &journal);
        gone->Load();
        Yield(gone, [&] { ran = true; });
        delete gone;
        VirtualTime::Settle();
        QVERIFY(!ran);
    }

    void twoHundredFormsYieldingOnEachOtherStayAtFixedDepth() {
        int depth = 0, maxDepth = 0, done = 0;
        std::vector<std::unique_ptr<Relay>> relays;
        for (int i = 0; i < 200; ++i) {
            relays.push_back(std::make_unique<Relay>(&depth, &maxDepth, &done));
            relays.back()->Load();
        }
        for (int i = 0; i < 200; ++i) {
            relays[i]->next = relays[(i + 1) % 200].get();
        }
        for (auto& r : relays) {
            r->Step();
        }
        QTRY_VERIFY_WITH_TIMEOUT(done >= 200, 10000);
        QCOMPARE(maxDepth, 1);
        for (auto& r : relays) {
            r->Unload();
        }
    }

    void virtualTimeFiresTimersInOrder() {
        VirtualTime time;
        QStringList ticks;
        Timer retry(6500, true), other(10000, true);
        connect(&retry, &Timer::Tick, this,
                [&] { ticks << QStringLiteral("retry@%1").arg(time.ElapsedMs()); });
        connect(&other, &Timer::Tick, this,
                [&] { ticks << QStringLiteral("other@%1").arg(time.ElapsedMs()); });
        time.Advance(26000);
        QCOMPARE(ticks, (QStringList{"retry@6500", "other@10000", "retry@13000", "retry@19500",
                                     "other@20000", "retry@26000"}));

        // A restart puts the next tick a whole interval away; a disabled timer is silent.
        ticks.clear();
        time.Advance(3000);
        retry.Restart();
        other.SetEnabled(false);
        time.Advance(6499);
        QVERIFY(ticks.isEmpty());
        time.Advance(1);
        QCOMPARE(ticks, QStringList{"retry@35500"});
        QCOMPARE(Clock::Now(), QDateTime(QDate(2026, 1, 5), QTime(12, 0)).addMSecs(35500));
        QCOMPARE(Clock::SecondsSinceMidnight(), 12.0f * 3600 + 35.5f);
    }

    // Retries are promised to the client to the tenth of a second: a coarse system timer may
    // be 5 % late.
    void realTimersArePrecise() {
        Timer retry(6500, true);
        const auto* real = retry.findChild<QTimer*>();
        QVERIFY(real);
        QCOMPARE(real->timerType(), Qt::PreciseTimer);
    }

    void msgBoxGoesToTheResponderWithTheDefaultTitle() {
        QStringList seen;
        SetMsgBoxResponder([&](const QString& text, int style, const QString& title) {
            seen << QStringLiteral("%1|%2|%3").arg(title).arg(style).arg(text);
            return int(vbOK);
        });
        QCOMPARE(MsgBox("hello", vbExclamation), int(vbOK));
        MsgBox("x", vbOKOnly, "Other");
        SetMsgBoxResponder({});
        QCOMPARE(seen, (QStringList{"Drovemoor|48|hello", "Other|0|x"}));
    }
};

QTEST_GUILESS_MAIN(TestRuntime)
#include "tst_runtime.moc"
