#include "engine/ip_range.h"

#include "toolkit/ip_functions.h"
#include "toolkit/registry_support.h"

#include <algorithm>

namespace {

constexpr const char* kAppName = "TFTP Server";
constexpr const char* kSection = "IP Ranges";
constexpr const char* kStartValue = "Start IP Range ";
constexpr const char* kEndValue = "End IP Range ";
constexpr const char* kKeyPrefix = "R:";
constexpr int kSlots = 100;

QString SlotName(const char* fixedPart, int n) {
    return QLatin1String(fixedPart) + QString::number(n);
}

QString ReadSlot(const char* fixedPart, int n) {
    return RegistrySupport::GetRegSetting(QLatin1String(kAppName), QLatin1String(kSection),
                                          SlotName(fixedPart, n), QString());
}

void WriteSlot(const char* fixedPart, int n, const QString& text) {
    RegistrySupport::SaveRegSetting(QLatin1String(kAppName), QLatin1String(kSection),
                                    SlotName(fixedPart, n), text);
}

} // namespace

QString IPRange::StartIP() const {
    return IP_Functions::NumberToIP(startKey_);
}

QString IPRange::EndIP() const {
    return IP_Functions::NumberToIP(endKey_);
}

void IPRange::SetStartIP(const QString& IP) {
    startKey_ = IP_Functions::IPToNumber(IP);
}

void IPRange::SetEndIP(const QString& IP) {
    endKey_ = IP_Functions::IPToNumber(IP);
}

QString IPRange::Key() const {
    return QLatin1String(kKeyPrefix) + StartIP() + QLatin1Char(':') + EndIP();
}

bool IPRange::Acceptable(const QString& IP) const {
    const double k = IP_Functions::IPToNumber(IP);
    return startKey_ <= k && k <= endKey_;
}

bool IPRangeList::Add(const IPRange& range) {
    const QString key = range.Key();
    if (Contains(key)) {
        return false;
    }
    members_.append(Member{key, range});
    return true;
}

bool IPRangeList::Contains(const QString& key) const {
    return std::any_of(members_.cbegin(), members_.cend(),
                       [&](const Member& m) { return m.key == key; });
}

bool IPRangeList::Remove(const QString& key) {
    return members_.removeIf([&](const Member& m) { return m.key == key; }) > 0;
}

IPRangeList& IPRanges() {
    static IPRangeList ranges;
    return ranges;
}

void LoadIPRanges() {
    for (int n = 1; n <= kSlots; ++n) {
        const QString start = ReadSlot(kStartValue, n);
        const QString end = ReadSlot(kEndValue, n);
        if (!IP_Functions::IsValidIP(start) || !IP_Functions::IsValidIP(end)) {
            continue;
        }
        IPRange range;
        range.SetStartIP(start);
        range.SetEndIP(end);
        IPRanges().Add(range); // a repeated pair is refused: the first slot wins
    }
}

void SaveIPRanges() {
    // The slots are stored as one: never a list of one save and the tail of another.
    const RegistrySupport::SaveBatch batch;
    const IPRangeList& ranges = IPRanges();
    for (int n = 1; n <= kSlots; ++n) {
        const bool used = n <= ranges.Count();
        WriteSlot(kStartValue, n, used ? ranges.Item(n - 1).StartIP() : QString());
        WriteSlot(kEndValue, n, used ? ranges.Item(n - 1).EndIP() : QString());
    }
}

bool IPAllowed(const QString& IP) {
    const IPRangeList& ranges = IPRanges();
    if (ranges.Count() == 0) {
        return true;
    }
    for (int i = 0; i < ranges.Count(); ++i) {
        if (ranges.Item(i).Acceptable(IP)) {
            return true;
        }
    }
    return false;
}
