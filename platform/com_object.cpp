#include "platform/com_object.h"

#include "platform/registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibrary>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QPluginLoader>

#include <vector>

namespace platform {

namespace {

Q_LOGGING_CATEGORY(lcCom, "drovemoor.platform.com")

constexpr const char* kInprocServerKey = "\\InprocServer32";
constexpr const char* kPluginsFolder = "plugins";

QString& searchFolderOverride() {
    static QString folder;
    return folder;
}

bool validProgId(const QString& progId) {
    return !progId.isEmpty() && !progId.contains(u'\\') && !progId.contains(QChar(0));
}

// The default value of HKEY_CLASSES_ROOT\<ProgID>\InprocServer32, or an empty text.
QString registeredLibrary(const QString& progId) {
    const QByteArray subKey = progId.toLatin1() + kInprocServerKey;
    HKEY key = 0;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, subKey.constData(), &key) != ERROR_SUCCESS) {
        return QString();
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    QByteArray data;
    if (RegQueryValueExA(key, "", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
        data.resize(static_cast<qsizetype>(size));
        if (RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                             &size) != ERROR_SUCCESS) {
            data.clear();
        }
        data.truncate(static_cast<qsizetype>(size));
    }
    RegCloseKey(key);
    // The stored text may carry its terminating NUL.
    const qsizetype nul = data.indexOf('\0');
    if (nul >= 0) {
        data.truncate(nul);
    }
    return QFile::decodeName(data);
}

bool listsProgId(const QJsonObject& metaData, const QString& progId) {
    if (metaData.value(QLatin1String("IID")).toString() !=
        QLatin1String(DrovemoorComClassFactory_iid)) {
        return false;
    }
    const QJsonArray ids = metaData.value(QLatin1String("MetaData"))
                               .toObject()
                               .value(QLatin1String(kProgIdsMetaDataKey))
                               .toArray();
    for (const QJsonValue& id : ids) {
        if (id.toString().compare(progId, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

QObject* createFrom(const QString& path, const QString& progId) {
    // The loader only reads the metadata until instance(); a file that is no plugin of ours
    // is refused before any of its code runs.
    QPluginLoader loader(path);
    // Most libraries of the folder serve other classes: passing them over is no news.
    if (!listsProgId(loader.metaData(), progId)) {
        return nullptr;
    }
    QObject* root = loader.instance();
    auto* factory = qobject_cast<ComClassFactory*>(root);
    if (!factory) {
        qCDebug(lcCom) << "no class factory in" << path << loader.errorString();
        return nullptr;
    }
    return factory->CreateInstance(progId);
}

QObject* createFromFolder(const QString& folder, const QString& progId) {
    const QDir dir(folder);
    const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::Readable, QDir::Name);
    for (const QFileInfo& file : files) {
        if (!QLibrary::isLibrary(file.fileName())) {
            continue;
        }
        if (QObject* object = createFrom(file.absoluteFilePath(), progId)) {
            return object;
        }
    }
    return nullptr;
}

QMetaProperty findProperty(const QMetaObject* meta, const char* name) {
    const int exact = meta->indexOfProperty(name);
    if (exact >= 0) {
        return meta->property(exact);
    }
    for (int i = 0; i < meta->propertyCount(); ++i) {
        if (qstricmp(meta->property(i).name(), name) == 0) {
            return meta->property(i);
        }
    }
    return QMetaProperty();
}

// The value in the member's own type, or false when it does not convert.
bool convertTo(QMetaType type, QVariant& value) {
    if (type == QMetaType::fromType<QVariant>()) {
        return true;
    }
    if (!value.isValid()) {
        // An empty value stands for the type's default ("Nothing" for a picture).
        value = QVariant(type);
        return true;
    }
    return value.metaType() == type || value.convert(type);
}

std::vector<QMetaMethod> methodsNamed(const QMetaObject* meta, const char* name, int argc) {
    std::vector<QMetaMethod> exact;
    std::vector<QMetaMethod> folded;
    const QByteArray wanted(name);
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod m = meta->method(i);
        if (m.access() != QMetaMethod::Public || m.parameterCount() != argc ||
            (m.methodType() != QMetaMethod::Method && m.methodType() != QMetaMethod::Slot)) {
            continue;
        }
        if (m.name() == wanted) {
            exact.push_back(m);
        } else if (m.name().compare(wanted, Qt::CaseInsensitive) == 0) {
            folded.push_back(m);
        }
    }
    return exact.empty() ? folded : exact;
}

// Arguments converted to the method's parameter types, or false when one does not convert.
bool convertArgs(const QMetaMethod& method, const QVariantList& args, QVariantList& converted) {
    converted = args;
    for (int i = 0; i < method.parameterCount(); ++i) {
        if (!convertTo(method.parameterMetaType(i), converted[i])) {
            return false;
        }
    }
    return true;
}

bool needsNoConversion(const QMetaMethod& method, const QVariantList& args) {
    for (int i = 0; i < method.parameterCount(); ++i) {
        const QMetaType type = method.parameterMetaType(i);
        if (type != QMetaType::fromType<QVariant>() && args[i].metaType() != type) {
            return false;
        }
    }
    return true;
}

bool invoke(QObject* object, const QMetaMethod& method, QVariantList& args, QVariant* result) {
    std::vector<void*> argv(static_cast<size_t>(args.size()) + 1, nullptr);
    for (qsizetype i = 0; i < args.size(); ++i) {
        // A QVariant parameter receives the variant itself, any other one the value it holds.
        argv[static_cast<size_t>(i) + 1] =
            method.parameterMetaType(static_cast<int>(i)) == QMetaType::fromType<QVariant>()
                ? static_cast<void*>(&args[i])
                : args[i].data();
    }
    const QMetaType returnType = method.returnMetaType();
    QVariant returned;
    const bool hasResult = returnType.isValid() && returnType.id() != QMetaType::Void;
    if (hasResult && returnType != QMetaType::fromType<QVariant>()) {
        returned = QVariant(returnType);
        argv[0] = returned.data();
    } else if (hasResult) {
        argv[0] = &returned;
    }
    try {
        QMetaObject::metacall(object, QMetaObject::InvokeMetaMethod, method.methodIndex(),
                              argv.data());
    } catch (...) {
        qCDebug(lcCom) << "member" << method.name() << "threw";
        return false;
    }
    if (result) {
        *result = returned;
    }
    return true;
}

} // namespace

QString ComSearchFolder() {
    const QString& folder = searchFolderOverride();
    return folder.isEmpty() ? QCoreApplication::applicationDirPath() : folder;
}

void SetComSearchFolderForTests(const QString& folder) {
    searchFolderOverride() = folder;
}

QObject* CreateObject(const QString& progId) {
    if (!validProgId(progId)) {
        return nullptr;
    }
    const QString registered = registeredLibrary(progId);
    if (!registered.isEmpty()) {
        if (QObject* object = createFrom(registered, progId)) {
            return object;
        }
    }
    // A stale registration (the program moved, the library deleted) still finds a library
    // installed beside the program.
    const QString folder = ComSearchFolder();
    if (folder.isEmpty()) {
        return nullptr;
    }
    if (QObject* object = createFromFolder(folder, progId)) {
        return object;
    }
    return createFromFolder(QDir(folder).filePath(QLatin1String(kPluginsFolder)), progId);
}

bool SetMember(QObject* object, const char* name, const QVariant& value) {
    if (!object || !name) {
        return false;
    }
    const QMetaProperty property = findProperty(object->metaObject(), name);
    if (!property.isValid() || !property.isWritable()) {
        return false;
    }
    QVariant converted = value;
    if (!convertTo(property.metaType(), converted)) {
        return false;
    }
    return property.write(object, converted);
}

bool GetMember(QObject* object, const char* name, QVariant& value) {
    if (!object || !name) {
        return false;
    }
    const QMetaProperty property = findProperty(object->metaObject(), name);
    if (!property.isValid() || !property.isReadable()) {
        return false;
    }
    value = property.read(object);
    return value.isValid();
}

bool CallMember(QObject* object, const char* name, const QVariantList& args, QVariant* result) {
    if (!object || !name) {
        return false;
    }
    const std::vector<QMetaMethod> candidates =
        methodsNamed(object->metaObject(), name, static_cast<int>(args.size()));
    // An overload that takes the arguments as they are wins over one they must convert to.
    for (const QMetaMethod& method : candidates) {
        if (needsNoConversion(method, args)) {
            QVariantList exact = args;
            return invoke(object, method, exact, result);
        }
    }
    for (const QMetaMethod& method : candidates) {
        QVariantList converted;
        if (convertArgs(method, args, converted)) {
            return invoke(object, method, converted, result);
        }
    }
    return false;
}

} // namespace platform
