#pragma once

#include <QByteArray>

namespace platform {

// Whether a name taken relative to `root` would lead out of it: a parent-directory step
// anywhere ("\" and "/" both separate), or a symbolic link on the way, or at its end, that
// points outside. A name that merely does not exist does not leave the root.
bool LeavesRoot(const QByteArray& root, const QByteArray& relative);

} // namespace platform
