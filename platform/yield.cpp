#include "platform/yield.h"

#include "platform/form.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>

#include <deque>
#include <vector>

namespace platform {

namespace {

struct Continuation {
    QPointer<Form> form;
    quint64 generation;
    std::function<void()> rest;
};

// The continuations wait in one queue that the event loop drains at the start of its next pass:
// after the handler that yielded has returned and the events already pending (datagrams seen by
// the same poll, posted calls) have had their turn, and before the loop sleeps. Unlike a posted
// call per yield, this costs no wake-up of the loop, which matters at one yield per block.
class YieldQueue : public QObject {
public:
    void Add(Continuation c) {
        hook();
        queue_.push_back(std::move(c));
    }
    bool Running() const { return running_ > 0; }
    void After(std::function<void()> work) { after_.push_back(std::move(work)); }

private:
    void hook() {
        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
        if (hooked_ == dispatcher || !dispatcher) {
            return;
        }
        hooked_ = dispatcher;
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &YieldQueue::drain,
                Qt::DirectConnection);
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, &YieldQueue::drain,
                Qt::DirectConnection);
    }

    void drain() {
        if (queue_.empty()) {
            return;
        }
        QCoreApplication::sendPostedEvents();
        // Only what was queued before a round runs in it; what the round and the reads after it
        // queue waits for the next round. A few rounds per pass keep one busy transfer from
        // holding up the rest of the loop. A nested loop (a modal box) drains the same queue.
        for (int round = 0; round < kRoundsPerPass && !queue_.empty(); ++round) {
            ++running_;
            for (size_t n = queue_.size(); n > 0 && !queue_.empty(); --n) {
                Continuation c = std::move(queue_.front());
                queue_.pop_front();
                if (c.form && c.form->IsLoaded() && c.form->LoadGeneration() == c.generation) {
                    c.rest();
                }
            }
            --running_;
            std::vector<std::function<void()>> after;
            after.swap(after_);
            for (const auto& work : after) {
                work();
            }
        }
        if (!queue_.empty() && hooked_) {
            hooked_->wakeUp();
        }
    }

    static constexpr int kRoundsPerPass = 8;

    std::deque<Continuation> queue_;
    std::vector<std::function<void()>> after_;
    int running_ = 0;
    QPointer<QAbstractEventDispatcher> hooked_;
};

YieldQueue& yieldQueue() {
    static YieldQueue* queue = new YieldQueue; // lives as long as the event loop may call it
    return *queue;
}

} // namespace

void Yield(Form* form, std::function<void()> rest) {
    yieldQueue().Add(Continuation{form, form->LoadGeneration(), std::move(rest)});
}

bool RunningContinuations() {
    return yieldQueue().Running();
}

void AfterContinuations(std::function<void()> work) {
    yieldQueue().After(std::move(work));
}

} // namespace platform
