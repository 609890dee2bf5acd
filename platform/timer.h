#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>

class QTimer;

namespace platform {

class VirtualTime;

// A window timer: while enabled, it ticks every Interval() milliseconds. Switching it off and
// on, or changing its interval, starts the count again. In production it stands on QTimer; when
// a VirtualTime is installed it ticks only as the test advances that time.
class Timer : public QObject {
    Q_OBJECT
public:
    explicit Timer(int intervalMs = 0, bool enabled = false, QObject* parent = nullptr);
    ~Timer() override;

    int Interval() const { return interval_; }
    void SetInterval(int ms);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool on);
    // Switched off and on again: the next tick comes a full interval from now.
    void Restart();

signals:
    void Tick();

private:
    friend class VirtualTime;
    void arm();
    void realTimeout();

    int interval_ = 0;
    bool enabled_ = false;
    QTimer* real_ = nullptr;
    // A running QTimer is not restarted on every Restart (a transfer restarts its timer for
    // every datagram): the restart is only noted, and a tick that comes too early is put off.
    QElapsedTimer restartedAt_;
    bool restartNoted_ = false;
    bool shortened_ = false;
    qint64 dueMs_ = -1; // in virtual time
    quint64 armOrder_ = 0;
};

// The time of day and the date, read through one place so tests can fix them.
class Clock {
public:
    static QDateTime Now();
    // Seconds since midnight with fractions, starting again from 0 at midnight.
    static float SecondsSinceMidnight();
    // Milliseconds on a clock that only moves forward, for measuring short spans.
    static qint64 MonotonicMs();
};

// Test time: while an instance lives, every Timer and the Clock follow it. Advance() moves it
// forward and fires the timers that fall due, in order of their due time, letting the event loop
// run after each tick.
class VirtualTime {
public:
    explicit VirtualTime(const QDateTime& start = QDateTime(QDate(2026, 1, 5), QTime(12, 0)));
    ~VirtualTime();
    VirtualTime(const VirtualTime&) = delete;
    VirtualTime& operator=(const VirtualTime&) = delete;

    static VirtualTime* Current();

    qint64 ElapsedMs() const { return nowMs_; }
    QDateTime Now() const { return start_.addMSecs(nowMs_); }
    void Advance(qint64 ms);
    // Runs pending events (posted calls, socket notifiers) without moving the time.
    static void Settle(int rounds = 3);

private:
    friend class Timer;
    void add(Timer* t);
    void remove(Timer* t);

    QDateTime start_;
    qint64 nowMs_ = 0;
    quint64 nextOrder_ = 0;
    QList<Timer*> timers_;
};

} // namespace platform
