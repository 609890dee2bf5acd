#include "server/automation_bus.h"

#include "platform/form.h"
#include "server/automation_ip_range.h"
#include "server/automation_server.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QTimer>
#include <QVariantMap>

#include <utility>
#include <vector>

Q_LOGGING_CATEGORY(lcAutomation, "drovemoor.server.automation")

namespace {

constexpr const char* kFactoryInterface = "net.quorvane.TFTP.Factory";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kServerKind = "Server";
constexpr const char* kIPRangeKind = "IPRange";

constexpr const char* kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr const char* kUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";
constexpr const char* kUnknownInterface = "org.freedesktop.DBus.Error.UnknownInterface";
constexpr const char* kUnknownProperty = "org.freedesktop.DBus.Error.UnknownProperty";
constexpr const char* kPropertyReadOnly = "org.freedesktop.DBus.Error.PropertyReadOnly";
constexpr const char* kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
constexpr const char* kNotOwner = "Only the client that created the object may use it";

// A process that the bus started for a call that asked for no object does not stay for ever.
constexpr int kUnclaimedGraceMs = 30000;
// How often the bus connection is looked at: once it is lost, every client is gone.
constexpr int kBusCheckMs = 10000;

AutomationBus* g_bus = nullptr;

QString signature(QMetaType type) {
    const char* s = QDBusMetaType::typeToSignature(type);
    return s ? QLatin1String(s) : QString();
}

} // namespace

// One object's presence on the bus: it answers the calls to its path and sends its signals.
// Not a Q_OBJECT: it takes the object's signals through slot numbers of its own, past the end
// of its meta-object, which qt_metacall below turns into D-Bus signals.
class AutomationNode : public QDBusVirtualObject {
public:
    AutomationNode(AutomationObject* object, const QDBusConnection& connection)
        : QDBusVirtualObject(object), Connection(connection), object_(object) {
        const QMetaObject* meta = object->metaObject();
        const int relayBase = metaObject()->methodCount();
        for (int i = AutomationObject::staticMetaObject.methodCount(); i < meta->methodCount();
             ++i) {
            if (meta->method(i).methodType() == QMetaMethod::Signal) {
                QMetaObject::connect(object, i, this, relayBase + int(signals_.size()),
                                     Qt::DirectConnection);
                signals_.append(meta->method(i));
            }
        }
        AnnounceChanges(); // the values the client starts from
    }

    QString introspect(const QString& path) const override;
    // Sends PropertiesChanged for every property whose value differs from the last one seen.
    void AnnounceChanges();
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;
    int qt_metacall(QMetaObject::Call call, int id, void** argv) override;

    QDBusConnection Connection;

private:
    QMetaMethod method(const QString& name) const;
    QMetaProperty property(const QString& name) const;
    QDBusMessage invoke(const QDBusMessage& call, const QMetaMethod& method);
    QDBusMessage properties(const QDBusMessage& call);
    // Reads one property; false with the error reply filled in when the read failed.
    bool read(const QDBusMessage& call, const QMetaProperty& property, QVariant& value,
              QDBusMessage& error);
    // Ends a member's run: the error it raised as the reply, if any.
    bool failed(const QDBusMessage& call, QDBusMessage& error);

    AutomationObject* object_;
    QList<QMetaMethod> signals_;
    // The values last announced, by property, from the first of the object's own.
    QVariantList announced_;
};

QMetaMethod AutomationNode::method(const QString& name) const {
    const QMetaObject* meta = object_->metaObject();
    for (int i = AutomationObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        const QMetaMethod m = meta->method(i);
        if (m.methodType() != QMetaMethod::Signal && m.access() == QMetaMethod::Public &&
            QLatin1String(m.name()) == name) {
            return m;
        }
    }
    return {};
}

QMetaProperty AutomationNode::property(const QString& name) const {
    const QMetaObject* meta = object_->metaObject();
    const int index = meta->indexOfProperty(name.toLatin1().constData());
    return index >= AutomationObject::staticMetaObject.propertyCount() ? meta->property(index)
                                                                       : QMetaProperty();
}

QString AutomationNode::introspect(const QString& path) const {
    Q_UNUSED(path);
    // The same text as the interface file installed for developers, so the two cannot differ.
    QFile file(QStringLiteral(":/dbus/%1.xml").arg(object_->InterfaceName()));
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcAutomation) << "no interface description" << file.fileName();
        return {};
    }
    const QString xml = QString::fromUtf8(file.readAll());
    const qsizetype begin = xml.indexOf(QLatin1String("<interface "));
    const QLatin1String end("</interface>");
    const qsizetype last = xml.lastIndexOf(end);
    return begin < 0 || last < begin ? QString() : xml.mid(begin, last + end.size() - begin) + '\n';
}

void AutomationNode::AnnounceChanges() {
    const QMetaObject* meta = object_->metaObject();
    const int first = AutomationObject::staticMetaObject.propertyCount();
    announced_.resize(meta->propertyCount() - first);
    QVariantMap changed;
    for (int i = first; i < meta->propertyCount(); ++i) {
        const QMetaProperty p = meta->property(i);
        const QString errorBefore = std::exchange(object_->errorName_, QString());
        const QString messageBefore = object_->errorMessage_;
        const QVariant value = p.read(object_);
        // A value that cannot be read now is not announced (a read would fail too).
        const bool failed = !object_->errorName_.isEmpty();
        object_->errorName_ = errorBefore;
        object_->errorMessage_ = messageBefore;
        if (failed) {
            continue;
        }
        // Not valid: not looked at yet, so nothing to compare with.
        QVariant& known = announced_[i - first];
        if (known.isValid() && known != value) {
            changed.insert(QLatin1String(p.name()), value);
        }
        known = value;
    }
    if (changed.isEmpty() || object_->Path().isEmpty()) {
        return;
    }
    QDBusMessage signal = QDBusMessage::createSignal(
        object_->Path(), QLatin1String(kPropertiesInterface), QStringLiteral("PropertiesChanged"));
    signal << object_->InterfaceName() << changed << QStringList();
    Connection.send(signal);
}

bool AutomationNode::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.type() != QDBusMessage::MethodCallMessage) {
        return false;
    }
    const bool ours = message.interface() == QLatin1String(kPropertiesInterface) ||
                      message.interface() == object_->InterfaceName() ||
                      (message.interface().isEmpty() && method(message.member()).isValid());
    // An object answers only the client that created it; anyone may look at its interface.
    if (ours && !object_->owner_.isEmpty() && message.service() != object_->owner_) {
        if (message.isReplyRequired()) {
            connection.send(
                message.createErrorReply(QLatin1String(kAccessDenied), QLatin1String(kNotOwner)));
        }
        return true;
    }
    QDBusMessage reply;
    if (message.interface() == QLatin1String(kPropertiesInterface)) {
        reply = properties(message);
    } else if (message.interface().isEmpty() || message.interface() == object_->InterfaceName()) {
        const QMetaMethod m = method(message.member());
        if (m.isValid()) {
            reply = invoke(message, m);
        } else if (message.interface().isEmpty()) {
            return false; // introspection and the peer interface are QtDBus's own
        } else {
            reply = message.createErrorReply(QLatin1String(kUnknownMethod), message.member());
        }
    } else {
        return false;
    }
    // The changes the call made go out before its reply, so that a proxy's cache is current
    // by the time the caller goes on: this object's, and the process's that other objects show.
    AnnounceChanges();
    if (AutomationBus* bus = AutomationBus::Instance()) {
        bus->AnnounceChanges();
    }
    if (message.isReplyRequired()) {
        connection.send(reply);
    }
    return true;
}

bool AutomationNode::failed(const QDBusMessage& call, QDBusMessage& error) {
    object_->currentCall_ = QDBusMessage();
    QString text;
    const QString name = object_->TakeError(&text);
    if (name.isEmpty()) {
        return false;
    }
    error = call.createErrorReply(name, text);
    return true;
}

QDBusMessage AutomationNode::invoke(const QDBusMessage& call, const QMetaMethod& m) {
    QVariantList args = call.arguments();
    if (args.size() != m.parameterCount()) {
        return call.createErrorReply(QLatin1String(kInvalidArgs),
                                     QStringLiteral("%1 takes %2 arguments")
                                         .arg(QLatin1String(m.name()))
                                         .arg(m.parameterCount()));
    }
    std::vector<void*> argv(size_t(args.size()) + 1, nullptr);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i].metaType() != m.parameterMetaType(i)) {
            return call.createErrorReply(
                QLatin1String(kInvalidArgs),
                QStringLiteral("argument %1 of %2 must be of type %3")
                    .arg(i + 1)
                    .arg(QLatin1String(m.name()), signature(m.parameterMetaType(i))));
        }
        argv[size_t(i) + 1] = args[i].data();
    }
    QVariant result;
    if (m.returnType() != QMetaType::Void) {
        result = QVariant(m.returnMetaType());
        argv[0] = result.data();
    }
    object_->TakeError();
    object_->currentCall_ = call;
    QMetaObject::metacall(object_, QMetaObject::InvokeMetaMethod, m.methodIndex(), argv.data());
    QDBusMessage error;
    if (failed(call, error)) {
        return error;
    }
    return result.isValid() ? call.createReply(result) : call.createReply();
}

bool AutomationNode::read(const QDBusMessage& call, const QMetaProperty& p, QVariant& value,
                          QDBusMessage& error) {
    object_->TakeError();
    object_->currentCall_ = call;
    value = p.read(object_);
    return !failed(call, error);
}

QDBusMessage AutomationNode::properties(const QDBusMessage& call) {
    const QVariantList args = call.arguments();
    const QString member = call.member();
    const bool named = !args.isEmpty() && args[0].metaType() == QMetaType::fromType<QString>();
    if (!named) {
        return call.createErrorReply(QLatin1String(kInvalidArgs), member);
    }
    const QString interface = args[0].toString();
    if (!interface.isEmpty() && interface != object_->InterfaceName()) {
        return call.createErrorReply(QLatin1String(kUnknownInterface), interface);
    }
    const QMetaObject* meta = object_->metaObject();
    QDBusMessage error;
    if (member == QLatin1String("GetAll") && args.size() == 1) {
        QVariantMap all;
        for (int i = AutomationObject::staticMetaObject.propertyCount(); i < meta->propertyCount();
             ++i) {
            QVariant value;
            if (!read(call, meta->property(i), value, error)) {
                return error;
            }
            all.insert(QLatin1String(meta->property(i).name()), value);
        }
        return call.createReply(QVariant::fromValue(all));
    }
    const bool get = member == QLatin1String("Get") && args.size() == 2;
    const bool set = member == QLatin1String("Set") && args.size() == 3;
    if (!get && !set) {
        return call.createErrorReply(QLatin1String(kUnknownMethod), member);
    }
    const QString name = args[1].toString();
    const QMetaProperty p = property(name);
    if (!p.isValid()) {
        return call.createErrorReply(QLatin1String(kUnknownProperty), name);
    }
    if (get) {
        QVariant value;
        if (!read(call, p, value, error)) {
            return error;
        }
        return call.createReply(QVariant::fromValue(QDBusVariant(value)));
    }
    if (!p.isWritable()) {
        return call.createErrorReply(QLatin1String(kPropertyReadOnly), name);
    }
    // A client that sends the value without its variant wrapping (dbus-python without
    // introspection does) is served alike.
    const QVariant value = args[2].metaType() == QMetaType::fromType<QDBusVariant>()
                               ? args[2].value<QDBusVariant>().variant()
                               : args[2];
    if (value.metaType() != p.metaType()) {
        return call.createErrorReply(
            QLatin1String(kInvalidArgs),
            QStringLiteral("%1 must be of type %2").arg(name, signature(p.metaType())));
    }
    object_->TakeError();
    object_->currentCall_ = call;
    p.write(object_, value);
    if (failed(call, error)) {
        return error;
    }
    return call.createReply();
}

int AutomationNode::qt_metacall(QMetaObject::Call call, int id, void** argv) {
    id = QDBusVirtualObject::qt_metacall(call, id, argv);
    if (id < 0 || call != QMetaObject::InvokeMetaMethod) {
        return id;
    }
    if (id < signals_.size()) {
        const QMetaMethod& s = signals_.at(id);
        QDBusMessage message = QDBusMessage::createSignal(object_->Path(), object_->InterfaceName(),
                                                          QLatin1String(s.name()));
        QVariantList args;
        for (int i = 0; i < s.parameterCount(); ++i) {
            args << QVariant(s.parameterMetaType(i), argv[i + 1]);
        }
        message.setArguments(args);
        Connection.send(message);
    }
    return -1;
}

AutomationObject::AutomationObject(QObject* parent) : QObject(parent) {}

AutomationObject::~AutomationObject() = default;

void AutomationObject::RaiseError(const QString& name, const QString& message) const {
    errorName_ = name;
    errorMessage_ = message;
}

QString AutomationObject::TakeError(QString* message) {
    if (message) {
        *message = errorMessage_;
    }
    errorMessage_.clear();
    return std::exchange(errorName_, QString());
}

const QDBusConnection* AutomationObject::Bus() const {
    return node_ ? &node_->Connection : nullptr;
}

void AutomationObject::ReleaseForCaller() {
    if (currentCall_.service() != owner_) {
        RaiseError(QLatin1String(kAccessDenied), QLatin1String(kNotOwner));
        return;
    }
    if (AutomationBus* bus = AutomationBus::Instance()) {
        bus->Release(this);
    }
}

// The object at "/": it makes the per-client objects.
class AutomationFactory : public AutomationObject {
    Q_OBJECT
public:
    using AutomationObject::AutomationObject;
    QString InterfaceName() const override { return QLatin1String(kFactoryInterface); }

    Q_INVOKABLE QDBusObjectPath CreateServer() {
        return g_bus->Export(new Server, QLatin1String(kServerKind), CurrentCall().service());
    }
    Q_INVOKABLE QDBusObjectPath CreateIPRange() {
        return g_bus->Export(new AutomationIPRange, QLatin1String(kIPRangeKind),
                             CurrentCall().service());
    }
};

AutomationBus::AutomationBus(const QDBusConnection& connection, QObject* parent)
    : QObject(parent), connection_(connection), watcher_(new QDBusServiceWatcher(this)) {
    g_bus = this;
    watcher_->setConnection(connection);
    watcher_->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this, &AutomationBus::ClientLeft);
}

AutomationBus::~AutomationBus() {
    if (g_bus == this) {
        g_bus = nullptr;
    }
}

AutomationBus* AutomationBus::Instance() {
    return g_bus;
}

bool AutomationBus::Register() {
    factory_ = new AutomationFactory(this);
    factory_->path_ = QStringLiteral("/");
    factory_->node_ = new AutomationNode(factory_, connection_);
    // The objects first: the call that had the bus start us is delivered once the name is ours.
    if (!connection_.registerVirtualObject(factory_->path_, factory_->node_)) {
        qCWarning(lcAutomation) << "cannot export the factory";
        return false;
    }
    if (!connection_.registerService(QLatin1String(kServiceName))) {
        qCWarning(lcAutomation) << "cannot own" << kServiceName
                                << connection_.lastError().message();
        return false;
    }
    QTimer::singleShot(kUnclaimedGraceMs, this, &AutomationBus::CheckLifetime);
    // Settings change from the configuration dialog too: before the loop sleeps, whatever
    // changed is announced.
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            &AutomationBus::AnnounceChanges);
    auto* check = new QTimer(this);
    connect(check, &QTimer::timeout, this, [this, check] {
        if (!connection_.isConnected()) {
            qCDebug(lcAutomation) << "the bus is gone";
            check->stop();
            for (const QString& client : byClient_.keys()) {
                ClientLeft(client);
            }
            CheckLifetime();
        }
    });
    check->start(kBusCheckMs);
    return true;
}

QDBusObjectPath AutomationBus::Export(AutomationObject* object, const QString& kind,
                                      const QString& owner) {
    object->setParent(this);
    object->owner_ = owner;
    object->path_ = QStringLiteral("/%1/%2").arg(kind).arg(++nextId_);
    object->node_ = new AutomationNode(object, connection_);
    if (!connection_.registerVirtualObject(object->path_, object->node_)) {
        delete object;
        factory_->RaiseError(QLatin1String(kErrorPrefix) + QLatin1String("ExportFailed"),
                             connection_.lastError().message());
        return {};
    }
    QList<QPointer<AutomationObject>>& held = byClient_[owner];
    held.append(object);
    if (held.size() == 1) {
        watcher_->addWatchedService(owner);
        // A client that left before the watch began would hold its objects for ever.
        if (!connection_.interface()->isServiceRegistered(owner)) {
            QTimer::singleShot(0, this, [this, owner] { ClientLeft(owner); });
        }
    }
    qCDebug(lcAutomation) << owner << "holds" << object->path_;
    return QDBusObjectPath(object->path_);
}

void AutomationBus::Release(AutomationObject* object) {
    auto held = byClient_.find(object->owner_);
    if (held != byClient_.end()) {
        held->removeAll(object);
        if (held->isEmpty()) {
            watcher_->removeWatchedService(object->owner_);
            byClient_.erase(held);
        }
    }
    connection_.unregisterObject(object->path_);
    object->deleteLater();
    CheckLifetime();
}

void AutomationBus::ClientLeft(const QString& client) {
    const QList<QPointer<AutomationObject>> held = byClient_.value(client);
    qCDebug(lcAutomation) << client << "left, holding" << held.size();
    for (const QPointer<AutomationObject>& object : held) {
        if (object) {
            Release(object);
        }
    }
}

void AutomationBus::AnnounceChanges() {
    for (const auto& held : std::as_const(byClient_)) {
        for (const QPointer<AutomationObject>& object : held) {
            if (object && object->node_ && object->ValuesChangeOutsideCalls()) {
                object->node_->AnnounceChanges();
            }
        }
    }
}

int AutomationBus::HeldObjects() const {
    int count = 0;
    for (const auto& held : byClient_) {
        count += int(held.size());
    }
    return count;
}

void AutomationBus::CheckLifetime() {
    if (!quitting_ && HeldObjects() == 0 && platform::Forms::Count() == 0) {
        QTimer::singleShot(0, this, &AutomationBus::Quit);
    }
}

void AutomationBus::Quit() {
    if (quitting_ || HeldObjects() != 0 || platform::Forms::Count() != 0) {
        return;
    }
    quitting_ = true;
    // Giving up the name is a round trip to the bus, so every reply sent before it has left
    // the process by the time it returns; a later call to the name starts a new process.
    connection_.unregisterService(QLatin1String(kServiceName));
    qCDebug(lcAutomation) << "no client and no window left: ending";
    QCoreApplication::exit(0);
}

bool StartAutomationBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCWarning(lcAutomation) << "no session bus:" << bus.lastError().message();
        return false;
    }
    auto* automation = new AutomationBus(bus, QCoreApplication::instance());
    if (!automation->Register()) {
        delete automation;
        return false;
    }
    platform::Forms::SetOnEmpty([] {
        if (AutomationBus* b = AutomationBus::Instance()) {
            b->CheckLifetime();
        }
    });
    return true;
}

#include "automation_bus.moc"
