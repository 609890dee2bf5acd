#include "toolkit/registry_support.h"

namespace RegistrySupport {

namespace {

constexpr const char* kTrueText = "True";
constexpr const char* kFalseText = "False";
// Numbers print as whole numbers up to this many digits before they turn to exponent form.
constexpr int kNumberDigits = 15;
// A value that changes size between the size query and the read is asked for again.
constexpr int kReadAttempts = 3;

QString keyPath(const QString& appName, const QString& section) {
    return QLatin1String(kRegistryRoot) + appName + QLatin1Char('\\') + section;
}

} // namespace

QString SettingText(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
        return QLatin1String(value.toBool() ? kTrueText : kFalseText);
    case QMetaType::Double:
    case QMetaType::Float:
        return QString::number(value.toDouble(), 'g', kNumberDigits);
    default:
        return value.toString();
    }
}

void SaveRegSetting(const QString& appName, const QString& section, const QVariant& key,
                    const QVariant& setting) {
    const QString name = SettingText(key);
    const QString text = SettingText(setting);
    HKEY handle = 0;
    if (CreateKey(HKEY_LOCAL_MACHINE, keyPath(appName, section), handle)) {
        SetStringValue(handle, name, text);
        CloseKey(handle);
    }
}

QString GetRegSetting(const QString& appName, const QString& section, const QVariant& key,
                      const QVariant& defaultValue) {
    const QString name = SettingText(key);
    QString result = SettingText(defaultValue);
    HKEY handle = 0;
    if (OpenKey(HKEY_LOCAL_MACHINE, keyPath(appName, section), handle)) {
        QueryStringValue(handle, name, result);
        CloseKey(handle);
    }
    return result;
}

bool CloseKey(HKEY hKey) {
    return RegCloseKey(hKey) == ERROR_SUCCESS;
}

bool CreateKey(HKEY hive, const QString& path, HKEY& handle) {
    if (path.isEmpty()) {
        return false;
    }
    return RegCreateKeyA(hive, path.toLatin1().constData(), &handle) == ERROR_SUCCESS;
}

bool OpenKey(HKEY hive, const QString& path, HKEY& handle) {
    return RegOpenKeyA(hive, path.toLatin1().constData(), &handle) == ERROR_SUCCESS;
}

bool QueryStringValue(HKEY hKey, const QString& valueName, QString& text) {
    const QByteArray name = valueName.toLatin1();
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(hKey, name.constData(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        QByteArray buffer(static_cast<qsizetype>(size), ' ');
        DWORD readType = REG_NONE;
        const LONG rc = RegQueryValueExA(hKey, name.constData(), nullptr, &readType,
                                         reinterpret_cast<BYTE*>(buffer.data()), &size);
        if (rc == ERROR_MORE_DATA) {
            continue; // it grew meanwhile; size now holds its new length
        }
        // Another writer may have changed the type meanwhile: only text is taken as text.
        if (rc != ERROR_SUCCESS || readType != REG_SZ) {
            return false;
        }
        buffer.truncate(static_cast<qsizetype>(size));
        text = CutAtNul(QString::fromLocal8Bit(buffer));
        return true;
    }
    return false;
}

bool SetStringValue(HKEY hKey, const QString& valueName, const QString& text) {
    if (hKey == 0) {
        return false;
    }
    // Text is kept in the system's encoding, as the paths it names are.
    const QByteArray data = text.toLocal8Bit();
    // QByteArray keeps a NUL after its last byte: it goes into the value as its terminator.
    return RegSetValueExA(hKey, valueName.toLatin1().constData(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(data.constData()),
                          static_cast<DWORD>(data.size() + 1)) == ERROR_SUCCESS;
}

QString CutAtNul(const QString& text) {
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    return nul < 0 ? text : text.left(nul);
}

} // namespace RegistrySupport
