#pragma once

#include "platform/registry.h"

#include <QString>
#include <QVariant>

// The settings store: text values under HKEY_LOCAL_MACHINE\Software\Quorvane.Net\<app>\<section>.
// Each call opens its key, does its one step and closes the key again.
namespace RegistrySupport {

inline constexpr const char* kRegistryRoot = "Software\\Quorvane.Net\\";

// Writes one text value (a Boolean as "True" or "False"); failures are not reported.
void SaveRegSetting(const QString& appName, const QString& section, const QVariant& key,
                    const QVariant& setting);
// While one lives, the values SaveRegSetting stores land in the store together when it ends:
// all of them or, should the store fail, none, which is not reported, as with SaveRegSetting.
// One made while another lives joins it. Other programs cannot write to the store until it ends,
// so nothing may wait for the user meanwhile.
class SaveBatch {
    RegistryBatch batch_;
};

// Reads one text value, or the default as text when the key or value is missing or not REG_SZ.
QString GetRegSetting(const QString& appName, const QString& section, const QVariant& key,
                      const QVariant& defaultValue);

// The primitives, each true exactly when the registry call answered 0.
bool CloseKey(HKEY hKey);
bool CreateKey(HKEY hive, const QString& path, HKEY& handle);
bool OpenKey(HKEY hive, const QString& path, HKEY& handle);
bool QueryStringValue(HKEY hKey, const QString& valueName, QString& text);
bool SetStringValue(HKEY hKey, const QString& valueName, const QString& text);
QString CutAtNul(const QString& text);

// A value as the store writes it: Booleans as "True"/"False", everything else as its text.
QString SettingText(const QVariant& value);

} // namespace RegistrySupport
