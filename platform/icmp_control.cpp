#include "platform/icmp_control.h"

#include <QNetworkInterface>

namespace platform {

namespace {
constexpr const char* kLoopbackAddress = "127.0.0.1";
}

QString ChooseOwnAddress(const QList<InterfaceSummary>& interfaces) {
    for (const InterfaceSummary& entry : interfaces) {
        if (!entry.up || !entry.running || entry.loopback)
            continue;
        for (const QHostAddress& address : entry.addresses) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
                return address.toString();
        }
    }
    return QString::fromLatin1(kLoopbackAddress);
}

IcmpControl::IcmpControl(QObject* parent) : QObject(parent) {}

QString IcmpControl::Property16() const {
    QList<InterfaceSummary> interfaces;
    for (const QNetworkInterface& networkInterface : QNetworkInterface::allInterfaces()) {
        const QNetworkInterface::InterfaceFlags flags = networkInterface.flags();
        InterfaceSummary entry;
        entry.up = flags.testFlag(QNetworkInterface::IsUp);
        entry.running = flags.testFlag(QNetworkInterface::IsRunning);
        entry.loopback = flags.testFlag(QNetworkInterface::IsLoopBack);
        for (const QNetworkAddressEntry& addressEntry : networkInterface.addressEntries())
            entry.addresses.append(addressEntry.ip());
        interfaces.append(entry);
    }
    return ChooseOwnAddress(interfaces);
}

} // namespace platform
