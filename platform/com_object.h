#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>

namespace platform {

// In-process objects created by ProgID, and their members reached by name at run time.
//
// A ProgID names a class served by a Qt plugin library. The registry store maps it:
// HKEY_CLASSES_ROOT\<ProgID>\InprocServer32, default value = the library's path. A library
// that is not registered there (or whose registered file gives no object) is also found in the
// program folder and its "plugins" subfolder when its plugin metadata lists the ProgID under
// "ProgIDs". The plugin's root object implements ComClassFactory. A library once loaded stays
// loaded until the process ends, so windows it owns may outlive every object it handed out.
class ComClassFactory {
public:
    virtual ~ComClassFactory() = default;
    // A new object of the class, owned by the caller; nullptr for a ProgID it does not serve.
    virtual QObject* CreateInstance(const QString& progId) = 0;
};

// The key of the plugin metadata that lists the ProgIDs a library serves.
inline constexpr const char* kProgIdsMetaDataKey = "ProgIDs";

// A new object of the class, owned by the caller, or nullptr when it cannot be created (not
// registered, library missing or not loadable, ProgID empty or holding a backslash). ProgIDs
// compare without regard to case.
QObject* CreateObject(const QString& progId);

// The folder searched for unregistered libraries: the running program's folder unless a test
// set another one (an empty text restores the program's folder).
QString ComSearchFolder();
void SetComSearchFolderForTests(const QString& folder);

// Late-bound calls by member name through the meta-object system: a property is set (or read)
// as a Q_PROPERTY, a method is a Q_INVOKABLE or public slot. A name that matches no member
// exactly is matched without regard to case, as late binding by name does. Values are
// converted to the member's types where Qt can convert them. Each answers whether the call
// succeeded; nothing is raised, and a null object fails every call.
bool SetMember(QObject* object, const char* name, const QVariant& value);
bool GetMember(QObject* object, const char* name, QVariant& value);
// Chooses the method of that name taking exactly args.size() arguments to which the arguments
// convert; its return value, if any, goes to *result.
bool CallMember(QObject* object, const char* name, const QVariantList& args = {},
                QVariant* result = nullptr);

} // namespace platform

#define DrovemoorComClassFactory_iid "net.quorvane.ComClassFactory/1.0"
Q_DECLARE_INTERFACE(platform::ComClassFactory, DrovemoorComClassFactory_iid)
