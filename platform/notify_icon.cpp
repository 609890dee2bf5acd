#include "platform/notify_icon.h"

#include "platform/timer.h"
#include "platform/xembed_tray.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QPixmap>
#include <QPointer>

#include <cstring>
#include <map>
#include <utility>
#include <vector>

namespace platform {

namespace {

// ---- windows ------------------------------------------------------------------------------

struct Window {
    LONG wndProc = 0;
    LONG userData = 0;
};

std::map<HWND, Window>& windows() {
    static std::map<HWND, Window> table;
    return table;
}

std::vector<WNDPROC>& procedures() {
    static std::vector<WNDPROC> table;
    return table;
}

// Procedure addresses are spaced like code addresses and never 0.
constexpr LONG kFirstProcAddress = 0x00401000;
constexpr LONG kProcAddressStep = 0x10;

WNDPROC procedureAt(LONG address) {
    const LONG offset = address - kFirstProcAddress;
    if (offset < 0 || offset % kProcAddressStep != 0)
        return nullptr;
    const auto index = static_cast<std::size_t>(offset / kProcAddressStep);
    return index < procedures().size() ? procedures()[index] : nullptr;
}

// ---- icons --------------------------------------------------------------------------------

struct IconTable {
    std::map<qint64, uint32_t> byKey;
    std::map<uint32_t, QIcon> byHandle;
    uint32_t next = 0x00010001;
};

IconTable& icons() {
    static IconTable table;
    return table;
}

// ---- notification icons -------------------------------------------------------------------

struct TrayEntry {
    NotifyIconState state;
    // Owned, but never deleted from a static destructor (the application is gone by then).
    QPointer<QSystemTrayIcon> trayIcon;
};

using TrayKey = std::pair<HWND, uint32_t>;

std::map<TrayKey, TrayEntry>& trayEntries() {
    static std::map<TrayKey, TrayEntry> table;
    return table;
}

QList<NotifyCall>& callLog() {
    static QList<NotifyCall> log;
    return log;
}

constexpr qsizetype kCallLogLimit = 256;

void logCall(DWORD message, const NOTIFYICONDATAA& data, bool result) {
    QList<NotifyCall>& log = callLog();
    if (log.size() >= kCallLogLimit)
        log.removeFirst();
    log.append(NotifyCall{message, data, result});
}

// Whether a real tray icon can ever be had. QSystemTrayIcon needs a widget application; a core
// application, and one without a desktop, has no tray at all.
bool trayPossible() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return false;
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void showEntry(const TrayKey& key, TrayEntry& entry);

// Qt chooses between its StatusNotifier tray (D-Bus) and its XEmbed tray once per process, when
// the first tray icon is made (asking whether a tray is available makes one too), and keeps
// that choice. So no tray icon is made, and Qt is not asked, until a tray host is there; until
// then this watches for one: a StatusNotifier watcher with a registered host on the session bus,
// and on X11 an owner of the XEmbed tray selection. Once Qt has chosen, icons are made at once:
// Qt itself follows its host when it goes and comes back.
class TrayHostWatch : public QObject {
    Q_OBJECT
public:
    static TrayHostWatch& instance() {
        // Parented to the application, so it is gone before the bus connection and the display.
        static QPointer<TrayHostWatch> watch;
        if (!watch)
            watch = new TrayHostWatch(QCoreApplication::instance());
        return *watch;
    }

    // True when an icon may be made now: Qt has chosen its tray kind, or a host serves (or was
    // seen since the watch began). Otherwise watches until one does, then shows the icons that
    // wait for it.
    bool iconMayBeMade() {
        if (hostKnown_ || XEmbedTrayOwned())
            return true;
        start();
        return false;
    }
    void noteIconMade() {
        hostKnown_ = true;
        stop();
    }

private slots:
    void statusNotifierHostRegistered() { hostFound(); }

private:
    static constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";
    static constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
    static constexpr const char* kWatcherInterface = "org.kde.StatusNotifierWatcher";
    static constexpr int kXEmbedPollMs = 1000;

    explicit TrayHostWatch(QObject* parent) : QObject(parent) {}

    void start() {
        if (watching_)
            return;
        watching_ = true;
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected()) {
            // Subscribed before asking, so that a host registering in between is not missed.
            serviceWatcher_ =
                new QDBusServiceWatcher(QString::fromLatin1(kWatcherService), bus,
                                        QDBusServiceWatcher::WatchForRegistration, this);
            connect(serviceWatcher_, &QDBusServiceWatcher::serviceRegistered, this,
                    &TrayHostWatch::askStatusNotifierHost);
            bus.connect(QString::fromLatin1(kWatcherService), QString::fromLatin1(kWatcherPath),
                        QString::fromLatin1(kWatcherInterface),
                        QStringLiteral("StatusNotifierHostRegistered"), this,
                        SLOT(statusNotifierHostRegistered()));
            askStatusNotifierHost();
        }
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
            xembedPoll_ = new Timer(kXEmbedPollMs, true, this);
            connect(xembedPoll_, &Timer::Tick, this, [this] {
                if (!anyIconWaits())
                    stop(); // the next icon added starts the watch again
                else if (XEmbedTrayOwned())
                    hostFound();
            });
        }
    }

    void stop() {
        if (!watching_)
            return;
        watching_ = false;
        delete serviceWatcher_;
        delete xembedPoll_;
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected())
            bus.disconnect(QString::fromLatin1(kWatcherService), QString::fromLatin1(kWatcherPath),
                           QString::fromLatin1(kWatcherInterface),
                           QStringLiteral("StatusNotifierHostRegistered"), this,
                           SLOT(statusNotifierHostRegistered()));
    }

    // Asked without waiting: a watcher that hangs must not hold up the transfers. A bus with
    // no watcher answers with an error at once.
    void askStatusNotifierHost() {
        QDBusMessage get = QDBusMessage::createMethodCall(
            QString::fromLatin1(kWatcherService), QString::fromLatin1(kWatcherPath),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << QString::fromLatin1(kWatcherInterface)
            << QStringLiteral("IsStatusNotifierHostRegistered");
        auto* call =
            new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(get), this);
        connect(call, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* finished) {
                    finished->deleteLater();
                    const QDBusPendingReply<QDBusVariant> reply = *finished;
                    if (watching_ && reply.isValid() && reply.value().variant().toBool())
                        hostFound();
                });
    }

    static bool anyIconWaits() {
        for (const auto& [key, entry] : trayEntries()) {
            if (!entry.trayIcon)
                return true;
        }
        return false;
    }

    void hostFound() {
        if (!watching_)
            return;
        hostKnown_ = true;
        stop();
        // Every icon that waits for a host; showing one may not add or remove any.
        for (auto& [key, entry] : trayEntries()) {
            if (!entry.trayIcon)
                showEntry(key, entry);
        }
    }

    bool watching_ = false;
    // From the first icon made or host seen on, icons are made at once.
    bool hostKnown_ = false;
    QPointer<QDBusServiceWatcher> serviceWatcher_;
    QPointer<Timer> xembedPoll_;
};

QIcon displayIcon(uint32_t handle) {
    QIcon icon = IconFromHandle(handle);
    if (!icon.isNull())
        return icon;
    // An icon added without a picture shows as an empty square rather than not at all.
    QPixmap blank(16, 16);
    blank.fill(Qt::transparent);
    return QIcon(blank);
}

void showEntry(const TrayKey& key, TrayEntry& entry) {
    if (!entry.trayIcon) {
        if (!trayPossible())
            return;
        TrayHostWatch& watch = TrayHostWatch::instance();
        if (!watch.iconMayBeMade())
            return;
        entry.trayIcon = new QSystemTrayIcon();
        watch.noteIconMade();
        QObject::connect(entry.trayIcon, &QSystemTrayIcon::activated,
                         [key](QSystemTrayIcon::ActivationReason reason) {
                             InjectTrayActivation(key.first, key.second, reason);
                         });
    }
    entry.trayIcon->setIcon(displayIcon(entry.state.hIcon));
    entry.trayIcon->setToolTip(entry.state.tip);
    entry.trayIcon->show();
    entry.state.shown = entry.trayIcon->isVisible();
}

void dropEntry(std::map<TrayKey, TrayEntry>::iterator it) {
    if (QSystemTrayIcon* trayIcon = it->second.trayIcon) {
        trayIcon->hide();
        // The removal may come from a handler of this very icon's activation.
        trayIcon->deleteLater();
    }
    trayEntries().erase(it);
}

void applyFields(const NOTIFYICONDATAA& data, NotifyIconState& state) {
    if (data.uFlags & NIF_MESSAGE)
        state.uCallbackMessage = data.uCallbackMessage;
    if (data.uFlags & NIF_ICON)
        state.hIcon = data.hIcon;
    if (data.uFlags & NIF_TIP)
        state.tip = TipText(data);
}

} // namespace

LONG DefWindowProcA(HWND, uint32_t, uint32_t, uint32_t) {
    return 0;
}

HWND CreateControlWindow() {
    static HWND next = 0x00020010;
    const HWND hWnd = next;
    next += 4;
    windows()[hWnd] = Window{AddressOfWndProc(&DefWindowProcA), 0};
    return hWnd;
}

void DestroyControlWindow(HWND hWnd) {
    windows().erase(hWnd);
    auto& entries = trayEntries();
    for (auto it = entries.begin(); it != entries.end();) {
        auto current = it++;
        if (current->first.first == hWnd)
            dropEntry(current);
    }
}

bool IsWindow(HWND hWnd) {
    return windows().count(hWnd) != 0;
}

LONG AddressOfWndProc(WNDPROC proc) {
    std::vector<WNDPROC>& table = procedures();
    std::size_t index = 0;
    while (index < table.size() && table[index] != proc)
        ++index;
    if (index == table.size())
        table.push_back(proc);
    return kFirstProcAddress + static_cast<LONG>(index) * kProcAddressStep;
}

LONG SetWindowLongA(HWND hWnd, int index, LONG value) {
    auto it = windows().find(hWnd);
    if (it == windows().end())
        return 0;
    LONG* field = nullptr;
    if (index == GWL_WNDPROC) {
        // A window never gets a procedure that could not be called.
        if (procedureAt(value) == nullptr)
            return 0;
        field = &it->second.wndProc;
    } else if (index == GWL_USERDATA) {
        field = &it->second.userData;
    } else {
        return 0;
    }
    return std::exchange(*field, value);
}

LONG GetWindowLongA(HWND hWnd, int index) {
    auto it = windows().find(hWnd);
    if (it == windows().end())
        return 0;
    if (index == GWL_WNDPROC)
        return it->second.wndProc;
    if (index == GWL_USERDATA)
        return it->second.userData;
    return 0;
}

LONG CallWindowProcA(LONG prevProc, HWND hWnd, uint32_t Msg, uint32_t wParam, uint32_t lParam) {
    WNDPROC proc = procedureAt(prevProc);
    return proc ? proc(hWnd, Msg, wParam, lParam) : 0;
}

LONG SendMessageA(HWND hWnd, uint32_t Msg, uint32_t wParam, uint32_t lParam) {
    auto it = windows().find(hWnd);
    if (it == windows().end())
        return 0;
    return CallWindowProcA(it->second.wndProc, hWnd, Msg, wParam, lParam);
}

uint32_t IconHandle(const QIcon& icon) {
    IconTable& table = icons();
    const qint64 key = icon.cacheKey();
    auto found = table.byKey.find(key);
    if (found != table.byKey.end())
        return found->second;
    const uint32_t handle = table.next++;
    table.byKey[key] = handle;
    table.byHandle[handle] = icon;
    return handle;
}

QIcon IconFromHandle(uint32_t handle) {
    const IconTable& table = icons();
    auto found = table.byHandle.find(handle);
    return found != table.byHandle.end() ? found->second : QIcon();
}

PictureRef IconPicture(const QIcon& icon) {
    return std::make_shared<const StdPicture>(StdPicture{vbPicTypeIcon, IconHandle(icon), icon});
}

PictureRef BitmapPicture(const QPixmap& bitmap) {
    return std::make_shared<const StdPicture>(StdPicture{vbPicTypeBitmap, 0, QIcon(bitmap)});
}

PictureRef EmptyPicture() {
    return std::make_shared<const StdPicture>();
}

bool Shell_NotifyIconA(DWORD message, NOTIFYICONDATAA* data) {
    if (data == nullptr)
        return false;
    const NOTIFYICONDATAA record = *data;
    bool result = false;
    if (record.cbSize == sizeof(NOTIFYICONDATAA)) {
        const TrayKey key{record.hWnd, record.uID};
        auto& entries = trayEntries();
        auto it = entries.find(key);
        switch (message) {
        case NIM_ADD:
            if (it == entries.end()) {
                TrayEntry& entry = entries[key];
                applyFields(record, entry.state);
                showEntry(key, entry);
                result = true;
            }
            break;
        case NIM_MODIFY:
            if (it != entries.end()) {
                applyFields(record, it->second.state);
                if (it->second.trayIcon)
                    showEntry(key, it->second);
                result = true;
            }
            break;
        case NIM_DELETE:
            if (it != entries.end()) {
                dropEntry(it);
                result = true;
            }
            break;
        default:
            break;
        }
    }
    logCall(message, record, result);
    return result;
}

QString TipText(const NOTIFYICONDATAA& data) {
    const void* nul = std::memchr(data.szTip, '\0', kTipFieldSize);
    const auto length =
        nul ? static_cast<const char*>(nul) - data.szTip : static_cast<qsizetype>(kTipFieldSize);
    QString tip = QString::fromLatin1(data.szTip, length);
    qsizetype end = tip.size();
    while (end > 0 && tip.at(end - 1) == u' ')
        --end;
    tip.truncate(end);
    return tip;
}

QList<uint32_t> ActivationMessages(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        return {WM_LBUTTONDOWN, WM_LBUTTONUP};
    case QSystemTrayIcon::Context:
        return {WM_RBUTTONDOWN, WM_RBUTTONUP};
    case QSystemTrayIcon::DoubleClick:
        // The first click of the pair has come as a Trigger already; the shell ends a double
        // click with the second button-up.
        return {WM_LBUTTONDBLCLK, WM_LBUTTONUP};
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        break;
    }
    return {};
}

std::optional<NotifyIconState> NotifyIconStateOf(HWND hWnd, uint32_t uID) {
    auto it = trayEntries().find({hWnd, uID});
    if (it == trayEntries().end())
        return std::nullopt;
    return it->second.state;
}

QList<NotifyCall> NotifyCallLog() {
    return callLog();
}

void ClearNotifyCallLog() {
    callLog().clear();
}

std::optional<NOTIFYICONDATAA> LastNotifyRecord(HWND hWnd, uint32_t uID) {
    const QList<NotifyCall>& log = callLog();
    for (auto it = log.crbegin(); it != log.crend(); ++it) {
        if (it->data.hWnd == hWnd && it->data.uID == uID)
            return it->data;
    }
    return std::nullopt;
}

bool InjectTrayMouse(HWND hWnd, uint32_t uID, uint32_t mouseMessage) {
    // Looked up afresh for every message: a handler of the previous one may have removed it.
    const std::optional<NotifyIconState> state = NotifyIconStateOf(hWnd, uID);
    if (!state || state->uCallbackMessage == 0)
        return false;
    SendMessageA(hWnd, state->uCallbackMessage, uID, mouseMessage);
    return true;
}

void InjectTrayActivation(HWND hWnd, uint32_t uID, QSystemTrayIcon::ActivationReason reason) {
    for (uint32_t mouseMessage : ActivationMessages(reason)) {
        if (!InjectTrayMouse(hWnd, uID, mouseMessage))
            break;
    }
}

} // namespace platform

#include "notify_icon.moc"
