#include "about/wait.h"

#include <QThread>

#include <utility>

namespace Kelvaring {

namespace {

constexpr int kStepMs = 100;
constexpr int kStepsPerSecond = 10;

SleepFunction& sleepOverride() {
    static SleepFunction sleep;
    return sleep;
}

} // namespace

void Sleep(int milliseconds) {
    if (const SleepFunction& sleep = sleepOverride()) {
        sleep(milliseconds);
        return;
    }
    QThread::msleep(static_cast<unsigned long>(qMax(0, milliseconds)));
}

void SetSleepForTests(SleepFunction sleep) {
    sleepOverride() = std::move(sleep);
}

} // namespace Kelvaring

namespace Common_Functions {

void Wait(qint16& Seconds) {
    // Counted in 32 bits: a 16-bit product would overflow above 3276 seconds.
    const qint32 steps = static_cast<qint32>(Seconds) * Kelvaring::kStepsPerSecond;
    for (qint32 i = 1; i <= steps; ++i) {
        Kelvaring::Sleep(Kelvaring::kStepMs);
    }
}

} // namespace Common_Functions
