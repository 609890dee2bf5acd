#include "engine/globals.h"

#include "engine/tftp_server_core.h"
#include "engine/transfer_log.h"
#include "platform/timer.h"
#include "platform/win_file.h"
#include "toolkit/registry_support.h"

#include <QCoreApplication>
#include <QLocale>
#include <QRegularExpression>

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace Globals {

QString RootDir;
bool TaskBar = false;
bool ReceiveOnly = false;
bool TransmitOnly = false;
bool Logging = false;
QString LogFile;
qint32 InactivityMinutes = 0;
qint32 MinutesRemaining = 0;

namespace {

constexpr const char* kAppName = "TFTP Server";
constexpr const char* kSection = "Config";
constexpr const char* kRootDirValue = "RootDir";
constexpr const char* kTaskBarValue = "TaskBar";
constexpr const char* kReceiveOnlyValue = "ReceiveOnly";
constexpr const char* kTransmitOnlyValue = "TransmitOnly";
constexpr const char* kLoggingValue = "Logging";
constexpr const char* kLogFileValue = "LogFile";
constexpr const char* kInactivityValue = "InactivityTimer";
constexpr const char* kDefaultRootDir = "/TFTP-Root";
constexpr const char* kDefaultLogFileName = "/Drovemoor.log";
// The configuration dialog's "Never".
constexpr qint32 kDefaultInactivityMinutes = 9900000;
constexpr const char* kLogErrorStart = "Error writing to log file (";
constexpr const char* kLogErrorMiddle = ") ERROR->";

QString g_programFolder;
QString g_defaultRootDir;

QString Setting(const char* name, const QVariant& defaultValue) {
    return RegistrySupport::GetRegSetting(QLatin1String(kAppName), QLatin1String(kSection),
                                          QLatin1String(name), defaultValue);
}

// "True"/"False" in any case, or a number (0 false, anything else true).
std::optional<bool> ToBoolean(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) {
        return false;
    }
    static const QRegularExpression number(
        QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
    if (!number.match(t).hasMatch()) {
        return std::nullopt;
    }
    bool ok = false;
    const double value = t.toDouble(&ok);
    if (!ok) {
        return std::nullopt; // too large for a number
    }
    return value != 0;
}

// The decimal number at the start of the text (blanks and tabs before it skipped), 0 when the
// text does not start with one.
double LeadingNumber(const QString& text) {
    static const QRegularExpression number(
        QStringLiteral("^[ \\t]*([+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?)"));
    const QRegularExpressionMatch m = number.match(text);
    return m.hasMatch() ? m.captured(1).toDouble() : 0;
}

// Rounded half to even; nothing when the result does not fit 32 bits.
std::optional<qint32> ToInt32(double value) {
    const double r = std::nearbyint(value);
    if (!(r >= std::numeric_limits<qint32>::min() && r <= std::numeric_limits<qint32>::max())) {
        return std::nullopt;
    }
    return qint32(r);
}

void LoadBoolean(bool& setting, const char* name, bool defaultValue) {
    if (const std::optional<bool> b = ToBoolean(Setting(name, defaultValue))) {
        setting = *b;
    }
}

// 0 when the whole line reached the file, else the error number of the failure. The line goes
// out in one write, so lines never interleave; a write that stores only part of it (a full disk)
// has that part cut off again, so no half line runs into the next.
int AppendLine(const QByteArray& path, const QByteArray& line) {
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    ssize_t n = 0;
    do {
        n = ::write(fd, line.constData(), size_t(line.size()));
    } while (n < 0 && errno == EINTR);
    int error = n < 0 ? errno : 0;
    if (n >= 0 && n < line.size()) {
        error = ENOSPC;
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end >= n && ::ftruncate(fd, end - n) != 0) {
            error = errno;
        }
    }
    if (error != 0) {
        ::close(fd); // the write failure is the one to report
        return error;
    }
    return ::close(fd) == 0 ? 0 : errno;
}

} // namespace

QString ProgramFolder() {
    return g_programFolder.isEmpty() ? QCoreApplication::applicationDirPath() : g_programFolder;
}

void SetProgramFolder(const QString& folder) {
    g_programFolder = folder;
}

QString DefaultRootDir() {
    return g_defaultRootDir.isEmpty() ? QLatin1String(kDefaultRootDir) : g_defaultRootDir;
}

void SetDefaultRootDir(const QString& folder) {
    g_defaultRootDir = folder;
}

QByteArray RootDirPath() {
    return RootDir.toLocal8Bit();
}

void LoadSettings() {
    RootDir = Setting(kRootDirValue, DefaultRootDir());
    // One level only: an existing directory or a missing parent is no error here.
    ::mkdir(RootDirPath().constData(), 0777);
    LoadBoolean(TaskBar, kTaskBarValue, true);
    LoadBoolean(ReceiveOnly, kReceiveOnlyValue, true);
    LoadBoolean(TransmitOnly, kTransmitOnlyValue, false);
    LoadBoolean(Logging, kLoggingValue, false);
    LogFile = Setting(kLogFileValue, ProgramFolder() + QLatin1String(kDefaultLogFileName));
    const QString minutes = Setting(kInactivityValue, kDefaultInactivityMinutes);
    if (const std::optional<qint32> m = ToInt32(LeadingNumber(minutes))) {
        InactivityMinutes = *m;
    }
    MinutesRemaining = InactivityMinutes;
}

void ResetInactivity() {
    MinutesRemaining = InactivityMinutes;
}

void WriteLog(const QString& text) {
    if (!Logging) {
        return;
    }
    const QLocale locale = QLocale::system();
    // Date and time are each read when formatted, as the line is built.
    QString line = locale.toString(platform::Clock::Now().date(), QLocale::ShortFormat);
    line += QLatin1Char(' ');
    line += locale.toString(platform::Clock::Now().time(), QLocale::ShortFormat);
    line += QLatin1String(" :");
    const QByteArray bytes = line.toUtf8() + LogFileText(text) + "\r\n";
    if (const int error = AppendLine(LogFile.toLocal8Bit(), bytes)) {
        const QString reason = platform::ErrnoText(error);
        // Only into a loaded main window: reaching for the list must not bring the window
        // back while the program is closing.
        if (!TFTPServerLoaded()) {
            return;
        }
        TFTPServer().Log->AddItem(QLatin1String(kLogErrorStart) + LogFile +
                                  QLatin1String(kLogErrorMiddle) + reason);
    }
}

} // namespace Globals
