#include "server/automation_server.h"

#include "engine/globals.h"
#include "server/tftp_server_window.h"
#include "toolkit/registry_support.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMainWindow>

#include <cerrno>
#include <exception>

namespace {

constexpr const char* kAppName = "TFTP Server";
constexpr const char* kSection = "Config";
constexpr const char* kRootDirValue = "RootDir";
constexpr const char* kReceiveOnlyValue = "ReceiveOnly";
constexpr const char* kTransmitOnlyValue = "TransmitOnly";
constexpr const char* kStatusPanel = "Status";

constexpr const char* kReceiveStartEvent = "ReceiveStart";
constexpr const char* kReceiveCompleteEvent = "ReceiveComplete";

// What a client is told when the main window is needed but cannot be had.
constexpr const char* kObjectNotSetError = "ObjectNotSet";
constexpr const char* kObjectNotSet = "Object variable or With block variable not set";
constexpr const char* kUnloadedError = "ObjectUnloaded";
constexpr const char* kUnloaded = "Object was unloaded";
// What the error's name says when the window unloaded itself because port 69 could not be had.
constexpr const char* kPortInUseError = "PortInUse";
constexpr const char* kPortDeniedError = "PortPermissionDenied";
constexpr const char* kNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";
constexpr const char* kUnknownFailure = "Automation error";

QString errorName(const char* name) {
    return QLatin1String(AutomationBus::kErrorPrefix) + QLatin1String(name);
}

// Why the main window could not be loaded, as far as its socket tells.
QString unloadedErrorName(const TFTPServerWindow& window) {
    switch (window.TFTP->LastError()) {
    case EADDRINUSE:
        return errorName(kPortInUseError);
    case EACCES:
        return errorName(kPortDeniedError);
    default:
        return errorName(kUnloadedError);
    }
}

void store(const char* value, const QVariant& setting) {
    RegistrySupport::SaveRegSetting(QLatin1String(kAppName), QLatin1String(kSection),
                                    QLatin1String(value), setting);
}

} // namespace

Server::Server(QObject* parent) : AutomationObject(parent) {
    Globals::LoadSettings();
    // Under automation the tray icon always shows, whatever is stored; the store keeps its
    // value.
    Globals::TaskBar = true;
    Globals::ResetInactivity();
}

Server::~Server() {
    DisconnectWindow();
}

QString Server::InterfaceName() const {
    return QLatin1String(kInterface);
}

void Server::ConnectTo(TFTPServerWindow* window) {
    DisconnectWindow();
    m_TFTPServer = window;
    connections_ << connect(window, &TFTPServerCore::ReceiveStart, this,
                            &Server::m_TFTPServer_ReceiveStart, Qt::DirectConnection)
                 << connect(window, &TFTPServerCore::ReceiveComplete, this,
                            &Server::m_TFTPServer_ReceiveComplete, Qt::DirectConnection);
}

void Server::DisconnectWindow() {
    for (const QMetaObject::Connection& c : std::as_const(connections_)) {
        disconnect(c);
    }
    connections_.clear();
    m_TFTPServer = nullptr;
}

void Server::Start() {
    // A window held from before counts as running, even if it was stopped by other means.
    if (m_TFTPServer) {
        Ready = true;
        LastError.clear();
        return;
    }
    QString error;
    try {
        // Loads the window without showing it; a failed bind unloads it during the load.
        TFTPServerWindow& window = MainWindow();
        if (window.IsLoaded()) {
            LastError.clear();
            Ready = true;
            ConnectTo(&window);
            return;
        }
        error = QLatin1String(kUnloaded);
    } catch (const std::exception& e) {
        error = QString::fromLocal8Bit(e.what());
    } catch (...) {
        error = QLatin1String(kUnknownFailure);
    }
    LastError = error.isEmpty() ? QLatin1String(kUnknownFailure) : error;
    Ready = false;
}

void Server::ShowStatusWindow() {
    if (!m_TFTPServer) {
        RaiseError(errorName(kObjectNotSetError), QLatin1String(kObjectNotSet));
        return;
    }
    m_TFTPServer->Show();
    if (!m_TFTPServer->IsLoaded()) {
        RaiseError(unloadedErrorName(*m_TFTPServer), QLatin1String(kUnloaded));
        return;
    }
    QMainWindow* window = m_TFTPServer->Window;
    if (window->isMinimized()) {
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    }
}

void Server::Terminate() {
    DisconnectWindow();
    // Every window goes, the main window first. One that was never created has nothing to stop.
    if (TFTPServerCore* main = TFTPServerInstance()) {
        main->ExitSelection_Click();
    }
}

void Server::SetEventSink(const QString& service, const QDBusObjectPath& path) {
    // A name nobody owns would only make every event wait for its time-out.
    const QDBusConnection* bus = Bus();
    if (bus && !service.isEmpty() && !bus->interface()->isServiceRegistered(service)) {
        RaiseError(
            QLatin1String(kNoOwner),
            QStringLiteral("The bus name %1 has no owner: no events can reach it").arg(service));
        return;
    }
    sinkService_ = service.isEmpty() ? CurrentCall().service() : service;
    sinkPath_ = path.path();
}

void Server::Release() {
    ReleaseForCaller();
}

QString Server::RootDir() const {
    return Globals::RootDir;
}

void Server::SetRootDir(const QString& D) {
    // No check that the directory exists, and none is made.
    Globals::RootDir = D;
    store(kRootDirValue, D);
    // Reaching the status bar loads the window, hidden, when it is not loaded: the server then
    // runs without a Start.
    TFTPServerWindow& window = MainWindow();
    if (!window.IsLoaded()) {
        RaiseError(unloadedErrorName(window), QLatin1String(kUnloaded));
        return;
    }
    window.StatusBar->Panels(QLatin1String(kStatusPanel))->SetText(Globals::RootDir);
}

bool Server::ReceiveOnly() const {
    return Globals::ReceiveOnly;
}

void Server::SetReceiveOnly(bool Setting) {
    Globals::ReceiveOnly = Setting;
    store(kReceiveOnlyValue, Setting);
}

bool Server::TransmitOnly() const {
    return Globals::TransmitOnly;
}

void Server::SetTransmitOnly(bool Setting) {
    Globals::TransmitOnly = Setting;
    store(kTransmitOnlyValue, Setting);
}

void Server::m_TFTPServer_ReceiveStart(QString& Filename, QString& IP) {
    const std::shared_ptr<EventHold> hold = HoldEvent();
    CallSink(QLatin1String(kReceiveStartEvent), {Filename, IP},
             [this, hold](const QVariantList& sent, const QVariantList& got) {
                 if (!hold || !hold->Held()) {
                     return;
                 }
                 takeChanged(hold->Filename(), sent, got, 0);
                 takeChanged(hold->IP(), sent, got, 1);
                 emit ReceiveStart(hold->Filename(), hold->IP());
                 hold->Release();
             });
}

void Server::m_TFTPServer_ReceiveComplete(QString& Filename, QString& IP, bool& Error) {
    const std::shared_ptr<EventHold> hold = HoldEvent();
    CallSink(QLatin1String(kReceiveCompleteEvent), {Filename, IP, Error},
             [this, hold](const QVariantList& sent, const QVariantList& got) {
                 if (!hold || !hold->Held()) {
                     return;
                 }
                 takeChanged(hold->Filename(), sent, got, 0);
                 takeChanged(hold->IP(), sent, got, 1);
                 takeChanged(hold->Error(), sent, got, 2);
                 emit ReceiveComplete(hold->Filename(), hold->IP(), hold->Error());
                 hold->Release();
             });
}

std::shared_ptr<EventHold> Server::HoldEvent() {
    auto* core = qobject_cast<TFTPServerCore*>(sender());
    return core ? core->HoldEvent() : nullptr;
}

template <typename T>
void Server::takeChanged(T& value, const QVariantList& sent, const QVariantList& got, int i) {
    // Only what this client changed: several clients may answer the same event, each from the
    // values as they were raised, and one that leaves a value alone must not undo another's
    // change.
    if (i < got.size() && got.at(i) != sent.at(i) &&
        got.at(i).metaType() == QMetaType::fromType<T>()) {
        value = got.at(i).value<T>();
    }
}

void Server::CallSink(const QString& member, const QVariantList& args, SinkReply done) {
    const QDBusConnection* bus = Bus();
    if (!bus || sinkService_.isEmpty() || sinkPath_.isEmpty()) {
        done(args, args);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(sinkService_, sinkPath_,
                                                       QLatin1String(kEventsInterface), member);
    call.setArguments(args);
    // The server runs on while the client's handler does; what waits is only the step that
    // raised the event, until the reply comes or the time is up.
    auto* watcher = new QDBusPendingCallWatcher(bus->asyncCall(call, kSinkTimeoutMs), this);
    connect(
        watcher, &QDBusPendingCallWatcher::finished, this,
        [watcher, member, args, done = std::move(done), service = sinkService_, path = sinkPath_] {
            watcher->deleteLater();
            const QDBusMessage reply = watcher->reply();
            if (reply.type() != QDBusMessage::ReplyMessage) {
                qCDebug(lcAutomation) << member << "to" << service << path
                                      << "failed:" << reply.errorName() << reply.errorMessage();
                done(args, args);
                return;
            }
            done(args, reply.arguments());
        });
}
