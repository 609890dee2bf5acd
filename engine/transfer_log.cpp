#include "engine/transfer_log.h"

#include <QTimer>

namespace {
// Often enough for the eye, rarely enough to cost nothing.
constexpr int kFlushMs = 50;
} // namespace

QString EscapeLogText(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7F) {
            out += QLatin1String("\\x") +
                   QString::number(u, 16).toUpper().rightJustified(2, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}

void TransferLog::SetList(int index, const QString& text) {
    if (index < 0 || index >= lines_.size()) {
        return;
    }
    lines_[index].text = EscapeLogText(text);
    markChanged(index);
}

void TransferLog::markChanged(int row) {
    firstChanged_ = firstChanged_ < 0 ? row : qMin(firstChanged_, row);
    lastChanged_ = qMax(lastChanged_, row);
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
    const int last = qMin(lastChanged_, int(lines_.size()) - 1);
    if (firstChanged_ >= 0 && firstChanged_ <= last) {
        emit dataChanged(index(firstChanged_), index(last));
    }
    firstChanged_ = lastChanged_ = -1;
}

void TransferLog::SetItemData(int index, qint32 tag) {
    if (index < 0 || index >= lines_.size()) {
        return;
    }
    lines_[index].tag = tag;
    markChanged(index);
}

int TransferLog::AddItem(const QString& text) {
    const int row = int(lines_.size());
    beginInsertRows(QModelIndex(), row, row);
    lines_.append(Line{EscapeLogText(text), 0});
    endInsertRows();
    newIndex_ = row;
    return row;
}

void TransferLog::Clear() {
    beginResetModel();
    lines_.clear();
    firstChanged_ = lastChanged_ = -1;
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
