#include "server/automation_registration.h"

#include "server/automation_bus.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <unistd.h>

namespace {

constexpr const char* kServicesSubfolder = "/dbus-1/services";
constexpr const char* kMachineDataFolder = "/usr/local/share";
constexpr const char* kUserDataFolder = "/.local/share";

QString ServiceFile() {
    return AutomationServiceFolder() + QLatin1Char('/') +
           QLatin1String(AutomationBus::kServiceName) + QStringLiteral(".service");
}

} // namespace

QString AutomationServiceFolder() {
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty()) {
        data = ::geteuid() == 0 ? QLatin1String(kMachineDataFolder)
                                : QDir::homePath() + QLatin1String(kUserDataFolder);
    }
    return data + QLatin1String(kServicesSubfolder);
}

bool RegisterAutomationServer(const QString& program) {
    if (!QDir().mkpath(AutomationServiceFolder())) {
        return false;
    }
    QSaveFile file(ServiceFile());
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    // The bus splits Exec as a shell would, without expansions: escape what it would take.
    QString exec;
    for (const QChar c : program) {
        if (QStringLiteral(" \t\\'\"").contains(c)) {
            exec += QLatin1Char('\\');
        }
        exec += c;
    }
    const QString text = QStringLiteral("[D-BUS Service]\nName=") +
                         QLatin1String(AutomationBus::kServiceName) + QStringLiteral("\nExec=") +
                         exec + QStringLiteral(" --automation\n");
    file.write(text.toLocal8Bit());
    return file.commit();
}

bool UnregisterAutomationServer() {
    QFile file(ServiceFile());
    return !file.exists() || file.remove();
}
