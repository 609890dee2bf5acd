#pragma once

#include <functional>

namespace platform {

// Turns SIGTERM, SIGINT and SIGHUP into a call of handler on the event loop, as the end of the
// desktop session is, so that the program ends between two events and never in the middle of
// one. A signal that the process was started with ignored (nohup) stays ignored. Installing
// again replaces the handler.
void OnEndSignal(std::function<void(int signal)> handler);

} // namespace platform
