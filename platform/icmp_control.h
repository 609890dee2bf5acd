#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

namespace platform {

// What the address choice needs to know of one network interface.
struct InterfaceSummary {
    bool up = false;
    bool running = false;
    bool loopback = false;
    QList<QHostAddress> addresses;
};

// The host's own IPv4 address as dotted text: the first IPv4 address that is not a loopback
// address, of the first interface that is up and running and not a loopback; "127.0.0.1" when
// there is none.
QString ChooseOwnAddress(const QList<InterfaceSummary>& interfaces);

// The ICMP control of the main window, reduced to the one read the program makes of it.
class IcmpControl : public QObject {
    Q_OBJECT
public:
    explicit IcmpControl(QObject* parent = nullptr);

    // The property with dispatch id 16: the host's own IPv4 address, from the interfaces as
    // they are at the time of the read.
    QString Property16() const;
};

} // namespace platform
