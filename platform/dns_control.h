#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace platform {

// The reverse-lookup control of a transfer window: it learns the host name of a client address,
// answering later through Event10. Its members carry the dispatch numbers the windows reach
// them by. Property 3 switches lookups on; a lookup started while it is off answers with a
// failure. At most one lookup is pending: a new one, Method17 or the control's end abandons the
// pending one, and an abandoned lookup never answers.
class DnsControl : public QObject {
    Q_OBJECT
public:
    // The status Event10 carries.
    enum Status { StatusOk = 0, StatusNoName = 1, StatusFailed = 2 };

    explicit DnsControl(QObject* parent = nullptr);
    ~DnsControl() override;

    bool Property3() const { return enabled_; }
    void SetProperty3(bool enabled) { enabled_ = enabled; }

    // Starts the reverse lookup of `address` (dotted text); the answer comes through Event10,
    // never before the caller returns to the event loop. The text is left as it is.
    void Method18(QString& address);
    // Abandons the pending lookup, if any.
    void Method17();

    // Tests fix the names: while set, every lookup answers (later, as a real one) with the name
    // this gives, or with no name when it gives none.
    using Resolver = std::function<QString(const QString& address)>;
    static void SetResolverForTests(Resolver resolver);

signals:
    // hostName: the name found (empty unless status is StatusOk); address: the text looked up;
    // errorText: why no name was found.
    void Event10(QString hostName, QString address, int status, QString errorText);

private:
    void answerLater(const QString& address, int status, const QString& errorText,
                     const QString& name = QString());

    bool enabled_ = false;
    int lookupId_ = -1;
    quint64 generation_ = 0; // counts lookups started and abandoned; stale answers are dropped
};

} // namespace platform
