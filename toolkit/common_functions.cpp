#include "toolkit/common_functions.h"

#include "platform/msg_box.h"
#include "platform/shell.h"
#include "platform/win_file.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QRandomGenerator>

#include <algorithm>
#include <array>

#include <dlfcn.h>
#include <link.h>

namespace Common_Functions {

namespace {

constexpr const char* kWebSiteBase = "https://www.quorvane.net";

constexpr const char* kTempFileName = "/temphtm.HTM";
// What the file holds matters little; the shell finds the browser by the file's extension.
constexpr char kTempFileLine[] = "\"<HTML> <\\HTML>\"\r\n";
// When the deliverable's folder is not ours to write, a file of a unique name in the system's
// temporary folder serves the lookup instead (a fixed name there could be anybody's).
constexpr const char* kFallbackPrefix = "/temphtm-";
constexpr const char* kFallbackSuffix = ".HTM";
constexpr int kFallbackAttempts = 8;

constexpr const char* kNoBrowserText = "Could not find default Browser";
constexpr const char* kNoBrowserTitle = "Browser Not Found";
constexpr const char* kNotOpenedText = "Web Page not Opened";
constexpr const char* kNotOpenedTitle = "URL Failed";
constexpr const char* kOpenVerb = "open";

const QLoggingCategory& lc() {
    static const QLoggingCategory category("drovemoor.toolkit");
    return category;
}

// The folder of the file that holds this code: the program for the server, the library for
// the About library (the toolkit is linked into each). The program itself has no name of its
// own among the loaded objects, a library the path it was loaded by.
QString DeliverableFolder() {
    Dl_info info{};
    link_map* object = nullptr;
    if (::dladdr1(reinterpret_cast<void*>(&DeliverableFolder), &info,
                  reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) != 0 &&
        object && object->l_name && object->l_name[0] == '/') {
        const QString file = QString::fromLocal8Bit(object->l_name);
        return file.left(std::max<qsizetype>(file.lastIndexOf(QLatin1Char('/')), 1));
    }
    return QCoreApplication::applicationDirPath();
}

// Creates `path` anew (`disposition` CREATE_ALWAYS or CREATE_NEW) holding the one line.
bool WriteTempFile(const QByteArray& path, platform::DWORD disposition) {
    using namespace platform;
    HANDLE file = CreateFileA(path.constData(), GENERIC_WRITE, 0, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    constexpr DWORD size = sizeof kTempFileLine - 1;
    DWORD written = 0;
    const bool wrote = WriteFile(file, kTempFileLine, size, &written, nullptr) && written == size;
    const bool closed = CloseHandle(file);
    if (wrote && closed)
        return true;
    DeleteFileA(path.constData());
    return false;
}

QByteArray FallbackTempFile() {
    QString folder = qEnvironmentVariable("TMPDIR");
    if (!folder.startsWith(QLatin1Char('/')))
        folder = QStringLiteral("/tmp");
    for (int attempt = 0; attempt < kFallbackAttempts; ++attempt) {
        const QString name = QLatin1String(kFallbackPrefix) +
                             QString::number(QRandomGenerator::global()->generate64(), 16) +
                             QLatin1String(kFallbackSuffix);
        const QByteArray path = (folder + name).toLocal8Bit();
        if (WriteTempFile(path, platform::CREATE_NEW))
            return path;
        if (platform::GetLastError() != platform::ERROR_FILE_EXISTS)
            break;
    }
    return QByteArray();
}

} // namespace

QString WebSiteBase() {
    return QLatin1String(kWebSiteBase);
}

void OpenURL(const QString& address) {
    using namespace platform;
    std::array<char, MAX_PATH> browser;
    browser.fill(' ');

    QByteArray tempFile = (DeliverableFolder() + QLatin1String(kTempFileName)).toLocal8Bit();
    bool created = WriteTempFile(tempFile, CREATE_ALWAYS);
    if (!created) {
        qCDebug(lc) << "cannot write" << tempFile << "error" << GetLastError();
        const QByteArray fallback = FallbackTempFile();
        created = !fallback.isEmpty();
        if (created)
            tempFile = fallback;
    }

    const long found = FindExecutableA(tempFile.constData(), nullptr, browser.data());
    const auto end = std::find(browser.begin(), browser.end(), '\0');
    const QByteArray browserPath = QByteArray(browser.data(), end - browser.begin()).trimmed();

    if (found <= 32) {
        MsgBox(QLatin1String(kNoBrowserText), vbExclamation | vbOKOnly,
               QLatin1String(kNoBrowserTitle));
    } else if (ShellExecuteA(nullptr, kOpenVerb, browserPath.constData(),
                             address.toLocal8Bit().constData(), nullptr, SW_SHOWNORMAL) <= 32) {
        MsgBox(QLatin1String(kNotOpenedText), vbExclamation | vbOKOnly,
               QLatin1String(kNotOpenedTitle));
    }

    // Only a file of ours goes; one that cannot be deleted is replaced by the next call.
    if (created && !DeleteFileA(tempFile.constData()))
        qCDebug(lc) << "cannot delete" << tempFile << "error" << GetLastError();
}

} // namespace Common_Functions
