#pragma once

#include <functional>

namespace platform {

class Form;

// Yields to the event loop at a step of a form's work: `rest` runs once the events pending now
// have had their turn, and only while `form` is still loaded (the same load). The yield is a
// queued continuation, so handlers that yield never nest inside each other.
void Yield(Form* form, std::function<void()> rest);

// While continuations run: work to do right after them, in the same pass of the loop. A socket
// uses it to read at once what its send brought back, instead of waiting for the next poll.
bool RunningContinuations();
void AfterContinuations(std::function<void()> work);

} // namespace platform
