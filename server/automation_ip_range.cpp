#include "server/automation_ip_range.h"

#include <stdexcept>

namespace {

constexpr const char* kOverflowError = "Overflow";
constexpr const char* kOverflow = "Overflow";

} // namespace

QString AutomationIPRange::InterfaceName() const {
    return QLatin1String(kInterface);
}

QString AutomationIPRange::Read(QString (IPRange::*get)() const) const {
    try {
        return (range_.*get)();
    } catch (const std::overflow_error&) {
        RaiseError(QLatin1String(AutomationBus::kErrorPrefix) + QLatin1String(kOverflowError),
                   QLatin1String(kOverflow));
        return {};
    }
}

QString AutomationIPRange::StartIP() const {
    return Read(&IPRange::StartIP);
}

void AutomationIPRange::SetStartIP(const QString& IP) {
    range_.SetStartIP(IP);
}

QString AutomationIPRange::EndIP() const {
    return Read(&IPRange::EndIP);
}

void AutomationIPRange::SetEndIP(const QString& IP) {
    range_.SetEndIP(IP);
}

QString AutomationIPRange::Key() const {
    return Read(&IPRange::Key);
}

bool AutomationIPRange::Acceptable(const QString& IP) const {
    return range_.Acceptable(IP);
}

void AutomationIPRange::Release() {
    ReleaseForCaller();
}
