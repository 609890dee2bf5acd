#pragma once

#include <QString>

// Whether another process of this program already runs with the same settings store. The lock
// is an flock on a file, so the system releases it when a process dies, and a crashed instance
// never blocks the next start. The first caller keeps the lock for the life of the process.
bool PreviousInstanceRunning();
// The lock file's path: one per settings store, in the temporary folder.
QString InstanceLockPath();
