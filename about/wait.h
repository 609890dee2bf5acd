#pragma once

#include <QtGlobal>

#include <functional>

namespace Common_Functions {

// Blocks the calling thread for Seconds whole seconds in steps of a tenth, handling no window
// message meanwhile: nothing of the process repaints or takes input until it returns. Seconds
// of 0 or less returns at once.
void Wait(qint16& Seconds);

} // namespace Common_Functions

namespace Kelvaring {

// The thread's pause of the given length (the system's Sleep).
void Sleep(int milliseconds);

// Tests take the pauses themselves; an empty function restores the real one.
using SleepFunction = std::function<void(int milliseconds)>;
void SetSleepForTests(SleepFunction sleep);

} // namespace Kelvaring
