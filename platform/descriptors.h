#pragma once

namespace platform {

// Raises this process's soft limit on open descriptors to its hard limit, so that the server can
// keep as many transfers going as the system allows it.
void RaiseDescriptorLimit();

// Whether at least `count` more descriptors can be opened now. Qt and GLib open descriptors of
// their own at times no caller chooses (a worker thread's wake-up descriptor, for instance) and
// abort the process when they cannot; a transfer is started only while a reserve is left for them.
bool DescriptorsLeft(int count);

} // namespace platform
