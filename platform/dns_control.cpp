#include "platform/dns_control.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>

namespace platform {

namespace {

constexpr const char* kDisabledText = "Lookups are switched off";
constexpr const char* kNotAnAddressText = "Not an IPv4 address";
constexpr const char* kNoNameText = "No host name for this address";

DnsControl::Resolver& testResolver() {
    static DnsControl::Resolver resolver;
    return resolver;
}

} // namespace

DnsControl::DnsControl(QObject* parent) : QObject(parent) {}

DnsControl::~DnsControl() {
    Method17();
}

void DnsControl::Method18(QString& address) {
    Method17();
    const QString text = address.trimmed();
    if (!enabled_) {
        answerLater(text, StatusFailed, QString::fromLatin1(kDisabledText));
        return;
    }
    // Only an address is looked up: any other text would start a forward lookup of a name.
    QHostAddress parsed;
    if (!parsed.setAddress(text) || parsed.protocol() != QAbstractSocket::IPv4Protocol) {
        answerLater(text, StatusFailed, QString::fromLatin1(kNotAnAddressText));
        return;
    }
    if (testResolver()) {
        const QString name = testResolver()(text);
        if (name.isEmpty()) {
            answerLater(text, StatusNoName, QString::fromLatin1(kNoNameText));
        } else {
            answerLater(text, StatusOk, QString(), name);
        }
        return;
    }
    const quint64 generation = generation_;
    // With this control as context, an answer after its end is never delivered.
    lookupId_ = QHostInfo::lookupHost(text, this, [this, generation, text](const QHostInfo& info) {
        if (generation != generation_) {
            return;
        }
        lookupId_ = -1;
        const QString name = info.hostName();
        if (info.error() != QHostInfo::NoError) {
            emit Event10(QString(), text, StatusFailed, info.errorString());
        } else if (name.isEmpty() || name == text) {
            // The resolver hands back the address itself when no name is known.
            emit Event10(QString(), text, StatusNoName, QString::fromLatin1(kNoNameText));
        } else {
            emit Event10(name, text, StatusOk, QString());
        }
    });
}

void DnsControl::Method17() {
    ++generation_;
    if (lookupId_ != -1) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
}

void DnsControl::SetResolverForTests(Resolver resolver) {
    testResolver() = std::move(resolver);
}

void DnsControl::answerLater(const QString& address, int status, const QString& errorText,
                             const QString& name) {
    const quint64 generation = generation_;
    QMetaObject::invokeMethod(
        this,
        [this, generation, address, status, errorText, name] {
            if (generation == generation_) {
                emit Event10(name, address, status, errorText);
            }
        },
        Qt::QueuedConnection);
}

} // namespace platform
