// The entry of the Kelvaring library: its class factory and its self-registration.
#include "about/about_dialog.h"
#include "about/about_library.h"
#include "platform/com_object.h"
#include "platform/registry.h"
#include "toolkit/about_box.h"

#include <QFile>
#include <QObject>
#include <QtPlugin>

#include <cstdint>

namespace {

constexpr const char* kClsid = "{E4E5483F-F9A2-43C0-8A4C-143BD697627E}";
constexpr const char* kThreadingModel = "Apartment";
constexpr std::int32_t S_OK = 0;
constexpr std::int32_t SELFREG_E_CLASS = static_cast<std::int32_t>(0x80040201u);

bool setText(HKEY key, const char* name, const QByteArray& text) {
    // Stored with its terminating NUL, as the registry keeps strings.
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.constData()),
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

bool writeKey(const QByteArray& path, const char* name, const QByteArray& text) {
    HKEY key = 0;
    if (RegCreateKeyA(HKEY_CLASSES_ROOT, path.constData(), &key) != ERROR_SUCCESS) {
        return false;
    }
    const bool written = setText(key, name, text);
    RegCloseKey(key);
    return written;
}

} // namespace

class KelvaringFactory : public QObject, public platform::ComClassFactory {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID DrovemoorComClassFactory_iid FILE "kelvaring.json")
    Q_INTERFACES(platform::ComClassFactory)

public:
    QObject* CreateInstance(const QString& progId) override {
        if (progId.compare(QLatin1String(HelpMenuFunctions::kAboutDialogProgId),
                           Qt::CaseInsensitive) != 0) {
            return nullptr;
        }
        return new Kelvaring::AboutDialog;
    }
};

// Registers the class under its ProgID with this file as its server, so that programs find
// the library wherever it lies.
extern "C" Q_DECL_EXPORT std::int32_t DllRegisterServer() {
    const QByteArray progId(HelpMenuFunctions::kAboutDialogProgId);
    const QByteArray server = progId + "\\InprocServer32";
    const QByteArray file = QFile::encodeName(Kelvaring::LibraryFile());
    const bool ok = writeKey(progId + "\\CLSID", "", kClsid) && writeKey(server, "", file) &&
                    writeKey(server, "ThreadingModel", kThreadingModel);
    return ok ? S_OK : SELFREG_E_CLASS;
}

extern "C" Q_DECL_EXPORT std::int32_t DllUnregisterServer() {
    const LONG rc = RegDeleteTreeA(HKEY_CLASSES_ROOT, HelpMenuFunctions::kAboutDialogProgId);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

#include "kelvaring_plugin.moc"
