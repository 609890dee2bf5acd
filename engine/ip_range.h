#pragma once

#include <QList>
#include <QString>

// One permitted range of client addresses, held as two ordering keys (see IP_Functions). A new
// range has both keys 0. The setters check nothing, so the start may lie above the end; such a
// range accepts no address.
class IPRange {
public:
    // The keys as dotted text. Keys set from texts that pass IsValidIP always convert; a key
    // from unchecked text of 2^31 * 10^9 or more throws std::overflow_error, and so does Key().
    QString StartIP() const;
    QString EndIP() const;
    void SetStartIP(const QString& IP);
    void SetEndIP(const QString& IP);

    // "R:" + StartIP + ":" + EndIP; equal addresses spelled differently give the same key.
    QString Key() const;
    // True when the address's key lies between the start and end keys, both included.
    bool Acceptable(const QString& IP) const;

private:
    double startKey_ = 0;
    double endKey_ = 0;
};

// The permitted ranges, keyed by IPRange::Key() in insertion order; a key is held once only.
class IPRangeList {
public:
    // False, and nothing added, when a member with an equal key is already there.
    bool Add(const IPRange& range);
    int Count() const { return int(members_.size()); }
    // Members in insertion order, from 0.
    const IPRange& Item(int index) const { return members_.at(index).range; }
    bool Contains(const QString& key) const;
    // False when no member has that key.
    bool Remove(const QString& key);
    void Clear() { members_.clear(); }

private:
    struct Member {
        QString key;
        IPRange range;
    };
    QList<Member> members_;
};

// The process's ranges, empty until first filled.
IPRangeList& IPRanges();

// Adds every valid stored pair of "TFTP Server"/"IP Ranges" slots 1 to 100 whose key is not yet
// there; bad, empty and repeated slots are skipped.
void LoadIPRanges();
// Writes all 100 slots: the members from slot 1 on, empty texts after them.
void SaveIPRanges();
// True when there are no ranges, or the address is acceptable to one of them.
bool IPAllowed(const QString& IP);
