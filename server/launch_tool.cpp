#include "server/launch_tool.h"

#include "platform/shell.h"
#include "platform/win_file.h"
#include "toolkit/common_functions.h"

#include <QCoreApplication>

namespace {

// A plain file of exactly that name in the program folder: not hidden, not a folder. An empty
// name or one with "*" or "?" would be a pattern to the search, matching other files.
bool IsPresent(const QString& folder, const QString& fileName) {
    if (fileName.isEmpty() || fileName.contains(QLatin1Char('*')) ||
        fileName.contains(QLatin1Char('?')))
        return false;
    return platform::CountPlainFilesBeneath(folder.toLocal8Bit(), fileName.toLocal8Bit()) > 0;
}

} // namespace

void LaunchTool(const QString& fileName, const QString& pageAddress) {
    const QString folder = QCoreApplication::applicationDirPath();
    if (IsPresent(folder, fileName)) {
        const QByteArray path = (folder + QLatin1Char('/') + fileName).toLocal8Bit();
        if (platform::ShellExecuteA(nullptr, nullptr, path.constData(), nullptr, nullptr,
                                    platform::SW_SHOWNORMAL) > 32)
            return;
        // A file that is there but will not run (no permission, not a program): its product page
        // is where a working copy comes from.
    }
    Common_Functions::OpenURL(pageAddress);
}
