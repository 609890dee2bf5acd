#include "platform/timer.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

namespace platform {

namespace {
VirtualTime* g_virtual = nullptr;
}

Timer::Timer(int intervalMs, bool enabled, QObject* parent)
    : QObject(parent), interval_(intervalMs) {
    if (g_virtual) {
        g_virtual->add(this);
    } else {
        real_ = new QTimer(this);
        // A coarse timer may fire 5 % late; retries and time-outs are promised to the client.
        real_->setTimerType(Qt::PreciseTimer);
        connect(real_, &QTimer::timeout, this, &Timer::realTimeout);
    }
    SetEnabled(enabled);
}

Timer::~Timer() {
    if (g_virtual && !real_) {
        g_virtual->remove(this);
    }
}

void Timer::SetInterval(int ms) {
    interval_ = ms;
    arm();
}

void Timer::SetEnabled(bool on) {
    enabled_ = on;
    arm();
}

void Timer::Restart() {
    if (real_ && enabled_ && real_->isActive()) {
        restartedAt_.start();
        restartNoted_ = true;
        return;
    }
    enabled_ = true;
    arm();
}

void Timer::realTimeout() {
    if (restartNoted_) {
        restartNoted_ = false;
        const qint64 left = interval_ - restartedAt_.elapsed();
        if (left > 0) {
            real_->start(int(left));
            shortened_ = true;
            return;
        }
    }
    if (shortened_) {
        shortened_ = false;
        real_->start(interval_);
    }
    emit Tick();
}

void Timer::arm() {
    const bool running = enabled_ && interval_ > 0;
    restartNoted_ = false;
    shortened_ = false;
    if (real_) {
        if (running) {
            real_->start(interval_);
        } else {
            real_->stop();
        }
        return;
    }
    if (g_virtual && running) {
        dueMs_ = g_virtual->nowMs_ + interval_;
        armOrder_ = g_virtual->nextOrder_++;
    } else {
        dueMs_ = -1;
    }
}

QDateTime Clock::Now() {
    return g_virtual ? g_virtual->Now() : QDateTime::currentDateTime();
}

qint64 Clock::MonotonicMs() {
    if (g_virtual) {
        return g_virtual->ElapsedMs();
    }
    static QElapsedTimer started = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return started.elapsed();
}

float Clock::SecondsSinceMidnight() {
    const QTime t = Now().time();
    return float(t.msecsSinceStartOfDay()) / 1000.0f;
}

VirtualTime::VirtualTime(const QDateTime& start) : start_(start) {
    Q_ASSERT(!g_virtual);
    g_virtual = this;
}

VirtualTime::~VirtualTime() {
    for (Timer* t : timers_) {
        t->dueMs_ = -1;
    }
    g_virtual = nullptr;
}

VirtualTime* VirtualTime::Current() {
    return g_virtual;
}

void VirtualTime::add(Timer* t) {
    timers_.append(t);
}

void VirtualTime::remove(Timer* t) {
    timers_.removeAll(t);
}

void VirtualTime::Settle(int rounds) {
    for (int i = 0; i < rounds; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

void VirtualTime::Advance(qint64 ms) {
    const qint64 target = nowMs_ + ms;
    Settle();
    for (;;) {
        Timer* next = nullptr;
        for (Timer* t : timers_) {
            if (t->dueMs_ >= 0 && t->dueMs_ <= target &&
                (!next || t->dueMs_ < next->dueMs_ ||
                 (t->dueMs_ == next->dueMs_ && t->armOrder_ < next->armOrder_))) {
                next = t;
            }
        }
        if (!next) {
            break;
        }
        nowMs_ = next->dueMs_;
        next->dueMs_ += next->interval_;
        next->armOrder_ = nextOrder_++;
        QPointer<Timer> alive(next);
        emit next->Tick();
        Settle();
    }
    nowMs_ = target;
    Settle();
}

} // namespace platform
