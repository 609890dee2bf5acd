#include "server/launch_tool_stub.h"

void LaunchTool(const QString& fileName, const QString& pageAddress) {
    Q_UNUSED(fileName);
    Q_UNUSED(pageAddress);
}
