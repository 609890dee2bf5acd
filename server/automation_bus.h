#pragma once

// Out-of-process automation, served on the session bus.
//
// The program owns the well-known name "net.quorvane.TFTP", which stands for the ProgIDs
// "TFTP.Server" and "TFTP.IPRange". A client that calls the name while no process owns it has
// the bus start one: the activatable service file (automation_registration.h) runs it with
// --automation. At "/" a factory, interface net.quorvane.TFTP.Factory, creates objects for
// its caller:
//
//   CreateServer()  -> o   a Server of the caller's own, /Server/<n>   (automation_server.h)
//   CreateIPRange() -> o   an IPRange of the caller's own, /IPRange/<n> (automation_ip_range.h)
//
// An object belongs to the unique bus name that created it: any other caller of its members or
// properties gets org.freedesktop.DBus.Error.AccessDenied. It goes when that client calls its
// Release() or leaves the bus (all of them go with the bus itself). The process ends once
// no client holds an object and no window is loaded; a process that the bus started but that
// nobody asked for an object ends after a grace time. A second client is served by the
// running process.
//
// Each object is one D-Bus interface made from its class: Q_INVOKABLE methods are methods,
// Q_PROPERTYs are properties (org.freedesktop.DBus.Properties) and signals are signals, all of
// them as the class itself declares them. Its introspection is the interface's file in
// server/dbus/ (installed under share/dbus-1/interfaces/), which carries the type library's
// identifiers too. A property whose value changes, by a call of any client or inside the
// program, is announced with PropertiesChanged before the loop next sleeps, and before the
// reply of the call that changed it. The bus glue is our own (not QtDBus's object export) so
// that a member, a property read or write included, can fail the client's call with a D-Bus
// error (RaiseError).

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QHash>
#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QPointer>
#include <QString>

class AutomationNode;
class QDBusServiceWatcher;

Q_DECLARE_LOGGING_CATEGORY(lcAutomation)

// An object that clients reach over the bus (see above). In-process (tests) it works without a
// bus: RaiseError is then recorded and can be read back with TakeError.
class AutomationObject : public QObject {
    Q_OBJECT
public:
    explicit AutomationObject(QObject* parent = nullptr);
    ~AutomationObject() override;

    // The D-Bus interface its members form.
    virtual QString InterfaceName() const = 0;
    // Whether its property values can change without a call to it (they are the process's,
    // which other clients and the windows change): those are looked at each time the event
    // loop is about to sleep. The others change only by the object's own calls.
    virtual bool ValuesChangeOutsideCalls() const { return false; }

    // Fails the member now running: its caller gets this error in place of the result. A read
    // can fail too, so this is open to const members.
    void RaiseError(const QString& name, const QString& message) const;
    // The error raised since the last take ("" when none), and clears it.
    QString TakeError(QString* message = nullptr);

    // The client's unique bus name; empty for an object not on the bus.
    QString Owner() const { return owner_; }
    QString Path() const { return path_; }

protected:
    // The call now being answered (an empty message outside one).
    const QDBusMessage& CurrentCall() const { return currentCall_; }
    // The bus the object is on; nullptr when it is not on one.
    const QDBusConnection* Bus() const;
    // The client's Release(): only the owner may end its hold.
    void ReleaseForCaller();

private:
    friend class AutomationNode;
    friend class AutomationBus;
    AutomationNode* node_ = nullptr;
    QString owner_;
    QString path_;
    QDBusMessage currentCall_;
    mutable QString errorName_;
    mutable QString errorMessage_;
};

// The program's presence on the bus: the name, the factory, the objects of every client and
// the rule that ends an automation process.
class AutomationBus : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kServiceName = "net.quorvane.TFTP";
    static constexpr const char* kErrorPrefix = "net.quorvane.TFTP.Error.";

    explicit AutomationBus(const QDBusConnection& connection, QObject* parent = nullptr);
    ~AutomationBus() override;

    // Exports the factory at "/" and takes the well-known name; false when either fails.
    bool Register();

    // Puts a new object on the bus for a client, as <kind>/<n>; the bus owns it from here on.
    QDBusObjectPath Export(AutomationObject* object, const QString& kind, const QString& owner);
    // Takes an object off the bus and deletes it (later).
    void Release(AutomationObject* object);
    int HeldObjects() const;
    // Sends PropertiesChanged for what changed, since it was last looked at, on any object
    // whose values can change outside its own calls.
    void AnnounceChanges();

    // Ends the process (soon, and only if still true then) when no client holds an object and
    // no form is loaded.
    void CheckLifetime();

    // The one instance of the process; nullptr outside automation mode.
    static AutomationBus* Instance();

private:
    void ClientLeft(const QString& client);
    void Quit();

    QDBusConnection connection_;
    AutomationObject* factory_ = nullptr;
    QDBusServiceWatcher* watcher_;
    QHash<QString, QList<QPointer<AutomationObject>>> byClient_;
    quint64 nextId_ = 0;
    bool quitting_ = false;
};

// Automation mode's start: connects to the session bus and serves there. False when there is
// no bus or the name is owned already; the program then ends.
bool StartAutomationBus();
