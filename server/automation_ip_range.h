#pragma once

// The automation class IPRange: one permitted address range for a client to work with (the
// server's own list is the configuration dialog's). A new range has both keys 0; the setters
// check nothing.
//
// On the bus (see automation_bus.h), interface net.quorvane.TFTP.IPRange at /IPRange/<n>:
//   properties  StartIP s, EndIP s (read/write), Key s (read)
//   methods     Acceptable(s IP) -> b, Release()
// A key set from text far outside any address cannot be turned back into text: reading it
// then fails with the error net.quorvane.TFTP.Error.Overflow.

#include "engine/ip_range.h"
#include "server/automation_bus.h"

#include <QString>

class AutomationIPRange : public AutomationObject {
    Q_OBJECT
    Q_PROPERTY(QString StartIP READ StartIP WRITE SetStartIP)
    Q_PROPERTY(QString EndIP READ EndIP WRITE SetEndIP)
    Q_PROPERTY(QString Key READ Key)
public:
    static constexpr const char* kInterface = "net.quorvane.TFTP.IPRange";

    using AutomationObject::AutomationObject;
    QString InterfaceName() const override;

    QString StartIP() const;
    void SetStartIP(const QString& IP);
    QString EndIP() const;
    void SetEndIP(const QString& IP);
    // "R:" + StartIP + ":" + EndIP.
    QString Key() const;

    Q_INVOKABLE bool Acceptable(const QString& IP) const;
    Q_INVOKABLE void Release();

    const IPRange& Range() const { return range_; }

private:
    // A read of the range, or an overflow error raised (and empty text) when it cannot be done.
    QString Read(QString (IPRange::*get)() const) const;

    IPRange range_;
};
