#include "engine/transfer_log.h"

#include <QTimer>

#include <algorithm>

namespace {
// Often enough for the eye, rarely enough to cost nothing.
constexpr int kFlushMs = 50;
} // namespace

namespace {

bool IsControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

void AppendEscape(QByteArray& out, uint value) {
    static const char hex[] = "0123456789ABCDEF";
    out += "\\x";
    out += hex[(value >> 4) & 0xF];
    out += hex[value & 0xF];
}

// Length of the valid UTF-8 sequence at `i` (shortest form, no surrogates, at most U+10FFFF), 0
// when the byte there starts none.
int SequenceLength(const QByteArray& s, qsizetype i) {
    const auto at = [&](qsizetype k) { return k < s.size() ? quint8(s[k]) : 0; };
    const auto tail = [&](qsizetype k) { return at(k) >= 0x80 && at(k) <= 0xBF; };
    const quint8 b = at(i);
    if (b >= 0xC2 && b <= 0xDF) {
        return tail(i + 1) ? 2 : 0;
    }
    if (b >= 0xE0 && b <= 0xEF) {
        const quint8 lo = b == 0xE0 ? 0xA0 : 0x80;
        const quint8 hi = b == 0xED ? 0x9F : 0xBF;
        return at(i + 1) >= lo && at(i + 1) <= hi && tail(i + 2) ? 3 : 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        const quint8 lo = b == 0xF0 ? 0x90 : 0x80;
        const quint8 hi = b == 0xF4 ? 0x8F : 0xBF;
        return at(i + 1) >= lo && at(i + 1) <= hi && tail(i + 2) && tail(i + 3) ? 4 : 0;
    }
    return 0;
}

// The line's bytes: a character up to U+00FF is one byte, anything above stands for its UTF-8.
QByteArray LineBytes(const QString& line) {
    QByteArray out;
    out.reserve(line.size());
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char16_t u = line[i].unicode();
        if (u <= 0xFF) {
            out += char(u);
            continue;
        }
        const qsizetype n = line[i].isHighSurrogate() && i + 1 < line.size() ? 2 : 1;
        out += QStringView(line).mid(i, n).toUtf8();
        i += n - 1;
    }
    return out;
}

} // namespace

QString EscapeLogText(const QString& text) {
    // Transfer lines come escaped already: then the text is kept as it is, uncopied.
    if (std::none_of(text.cbegin(), text.cend(), [](QChar c) { return IsControl(c.unicode()); })) {
        return text;
    }
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        const ushort u = c.unicode();
        if (IsControl(u)) {
            QByteArray escaped;
            AppendEscape(escaped, u);
            out += QLatin1String(escaped);
        } else {
            out += c;
        }
    }
    return out;
}

QByteArray LogFileText(const QString& transferLine) {
    const QByteArray bytes = LineBytes(transferLine);
    QByteArray out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size();) {
        const quint8 b = quint8(bytes[i]);
        if (b < 0x80) {
            if (IsControl(b)) {
                AppendEscape(out, b);
            } else {
                out += char(b);
            }
            ++i;
            continue;
        }
        const int n = SequenceLength(bytes, i);
        if (n == 0) {
            AppendEscape(out, b);
            ++i;
            continue;
        }
        // A C1 control is two bytes, C2 80 to C2 9F; it is shown by its code like C0 ones.
        if (n == 2 && b == 0xC2 && quint8(bytes[i + 1]) <= 0x9F) {
            AppendEscape(out, quint8(bytes[i + 1]));
        } else {
            out += bytes.mid(i, n);
        }
        i += n;
    }
    return out;
}

QString ListText(const QString& transferLine) {
    return QString::fromUtf8(LogFileText(transferLine));
}

QString TransferLineText(const QString& text) {
    return QString::fromLatin1(text.toUtf8());
}

namespace {

// Where a cut at `at` would split a \xHH escape or a surrogate pair, the cut moves to the
// escape's or the pair's start (`back`) or past its end. A name may hold a "\x" of its own right
// before an escape: going back, the earliest start is taken, going on, the latest end.
bool isHex(QChar c) {
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('F')) ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
}

qsizetype CutPoint(const QString& text, qsizetype at, bool back) {
    const qsizetype first = qMax<qsizetype>(0, at - 3);
    for (qsizetype i = 0; i < at - first; ++i) {
        const qsizetype k = back ? first + i : at - 1 - i;
        if (k + 4 > at && k + 3 < text.size() && text[k] == QLatin1Char('\\') &&
            text[k + 1] == QLatin1Char('x') && isHex(text[k + 2]) && isHex(text[k + 3])) {
            return back ? k : qMin(text.size(), k + 4);
        }
    }
    if (at > 0 && at < text.size() && text[at - 1].isHighSurrogate() && text[at].isLowSurrogate()) {
        return back ? at - 1 : at + 1;
    }
    return at;
}

} // namespace

QString ShortenedForList(const QString& line) {
    if (line.size() <= kListLineMax) {
        return line;
    }
    const qsizetype head = CutPoint(line, kListLineHead, true);
    const qsizetype tail = CutPoint(line, line.size() - kListLineTail, false);
    return line.left(head) + QStringLiteral("[%1 characters left out]").arg(tail - head) +
           line.mid(tail);
}

void TransferLog::SetList(int index, const QString& text) {
    if (index < 0 || index >= lines_.size()) {
        return;
    }
    lines_[index].text = ShortenedForList(EscapeLogText(text));
    markChanged(index, kTextChanged);
}

void TransferLog::markChanged(int row, Change change) {
    Line& line = lines_[row];
    if (!line.changed) {
        changedRows_.append(row);
    }
    line.changed |= change;
    if (!flush_) {
        flush_ = new QTimer(this);
        flush_->setSingleShot(true);
        flush_->setInterval(kFlushMs);
        connect(flush_, &QTimer::timeout, this, &TransferLog::flushChanged);
    }
    if (!flush_->isActive()) {
        flush_->start();
    }
}

void TransferLog::flushChanged() {
    QList<int> rows = std::exchange(changedRows_, {});
    std::sort(rows.begin(), rows.end());
    // Neighbouring rows with the same kind of change go out as one range.
    for (qsizetype i = 0; i < rows.size();) {
        const quint8 change = lines_[rows[i]].changed;
        qsizetype j = i + 1;
        while (j < rows.size() && rows[j] == rows[j - 1] + 1 && lines_[rows[j]].changed == change) {
            ++j;
        }
        for (qsizetype k = i; k < j; ++k) {
            lines_[rows[k]].changed = 0;
        }
        const QList<int> roles = change == kTagChanged ? QList<int>{Qt::UserRole} : QList<int>{};
        emit dataChanged(index(rows[i]), index(rows[j - 1]), roles);
        i = j;
    }
}

void TransferLog::indexTag(qint32 tag, int row) {
    QList<int>& rows = rowsByTag_[tag];
    rows.insert(std::lower_bound(rows.begin(), rows.end(), row), row);
}

void TransferLog::unindexTag(qint32 tag, int row) {
    const auto it = rowsByTag_.find(tag);
    if (it == rowsByTag_.end()) {
        return;
    }
    const auto at = std::lower_bound(it->begin(), it->end(), row);
    if (at != it->end() && *at == row) {
        it->erase(at);
    }
    if (it->isEmpty()) {
        rowsByTag_.erase(it);
    }
}

void TransferLog::SetItemData(int index, qint32 tag) {
    if (index < 0 || index >= lines_.size()) {
        return;
    }
    Line& line = lines_[index];
    if (line.tag == tag) {
        return;
    }
    unindexTag(line.tag, index);
    line.tag = tag;
    indexTag(tag, index);
    markChanged(index, kTagChanged);
}

int TransferLog::FindItemData(qint32 tag) const {
    const auto it = rowsByTag_.constFind(tag);
    return it == rowsByTag_.constEnd() || it->isEmpty() ? -1 : it->first();
}

int TransferLog::AddItem(const QString& text) {
    const int row = int(lines_.size());
    beginInsertRows(QModelIndex(), row, row);
    lines_.append(Line{ShortenedForList(EscapeLogText(text)), 0, 0});
    rowsByTag_[0].append(row);
    endInsertRows();
    newIndex_ = row;
    return row;
}

void TransferLog::Clear() {
    beginResetModel();
    lines_.clear();
    rowsByTag_.clear();
    changedRows_.clear();
    endResetModel();
    newIndex_ = -1;
}

int TransferLog::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(lines_.size());
}

QVariant TransferLog::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= lines_.size()) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return lines_[index.row()].text;
    }
    if (role == Qt::UserRole) {
        return lines_[index.row()].tag;
    }
    return {};
}
