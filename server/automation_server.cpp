#include "server/automation_server.h"

#include "engine/globals.h"
#include "server/tftp_server_window.h"
#include "toolkit/registry_support.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QMainWindow>

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
constexpr const char* kUnknownFailure = "Automation error";

QString errorName(const char* name) {
    return QLatin1String(AutomationBus::kErrorPrefix) + QLatin1String(name);
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
        RaiseError(errorName(kUnloadedError), QLatin1String(kUnloaded));
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
        RaiseError(errorName(kUnloadedError), QLatin1String(kUnloaded));
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
    QVariantList args{Filename, IP};
    CallSink(QLatin1String(kReceiveStartEvent), args);
    Filename = args.at(0).toString();
    IP = args.at(1).toString();
    emit ReceiveStart(Filename, IP);
}

void Server::m_TFTPServer_ReceiveComplete(QString& Filename, QString& IP, bool& Error) {
    QVariantList args{Filename, IP, Error};
    CallSink(QLatin1String(kReceiveCompleteEvent), args);
    Filename = args.at(0).toString();
    IP = args.at(1).toString();
    Error = args.at(2).toBool();
    emit ReceiveComplete(Filename, IP, Error);
}

void Server::CallSink(const QString& member, QVariantList& args) {
    const QDBusConnection* bus = Bus();
    if (!bus || sinkService_.isEmpty() || sinkPath_.isEmpty()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(sinkService_, sinkPath_,
                                                       QLatin1String(kEventsInterface), member);
    call.setArguments(args);
    // Blocks without the event loop: the dispatcher goes on only once the handler is done.
    const QDBusMessage reply = bus->call(call, QDBus::Block, kSinkTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qCDebug(lcAutomation) << member << "to" << sinkService_ << sinkPath_
                              << "failed:" << reply.errorName() << reply.errorMessage();
        return;
    }
    const QVariantList out = reply.arguments();
    for (qsizetype i = 0; i < qMin(out.size(), args.size()); ++i) {
        if (out.at(i).metaType() == args.at(i).metaType()) {
            args[i] = out.at(i);
        }
    }
}
