#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QList>
#include <QString>

class QTimer;

// Control characters in a line (C0, DEL and C1) are shown as \xHH, so that a client's file name
// cannot break or forge lines of the transfer list or the log file.
QString EscapeLogText(const QString& text);

// A transfer's lines carry the client's file name as it came, one character per byte; any
// character above U+00FF in them (a host name, say) stands for its UTF-8 bytes. These turn such a
// line into what the log file gets (the client's bytes as sent) and what the list shows (those
// bytes decoded as UTF-8). Controls and bytes that are not valid UTF-8 become \xHH in both.
QByteArray LogFileText(const QString& transferLine);
QString ListText(const QString& transferLine);
// Text that is not a client's bytes (a host name, a system message) in the form a transfer line
// carries, so that it reads the same after ListText.
QString TransferLineText(const QString& text);

// The list keeps a line of up to kListLineMax characters whole. Of a longer one (a client's
// name can fill a datagram) it keeps the first kListLineHead and the last kListLineTail
// characters, with a mark in between that says how many were left out; the log file still gets
// the whole line.
inline constexpr qsizetype kListLineMax = 640;
inline constexpr qsizetype kListLineHead = 256;
inline constexpr qsizetype kListLineTail = 320;
QString ShortenedForList(const QString& line);

// The transfer list: unsorted lines, each with a 32-bit tag (its item data; 0 when untagged).
// New lines go to the end. The main window shows it; the engine only fills it.
class TransferLog : public QAbstractListModel {
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;

    int ListCount() const { return int(lines_.size()); }
    QString List(int index) const { return lines_.value(index).text; }
    void SetList(int index, const QString& text);
    qint32 ItemData(int index) const { return lines_.value(index).tag; }
    void SetItemData(int index, qint32 tag);
    // The topmost line that carries `tag`, or -1; as quick with 100,000 lines as with 10.
    int FindItemData(qint32 tag) const;
    // Appends a line and returns its index (what the list box calls NewIndex).
    int AddItem(const QString& text);
    int NewIndex() const { return newIndex_; }
    void Clear();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    enum Change : quint8 { kTextChanged = 1, kTagChanged = 2 };
    // Progress lines rewrite a line many times a second; the views hear of each changed line
    // once per batch.
    void markChanged(int row, Change change);
    void flushChanged();
    void indexTag(qint32 tag, int row);
    void unindexTag(qint32 tag, int row);

    struct Line {
        QString text;
        qint32 tag = 0;
        quint8 changed = 0;
    };
    QList<Line> lines_;
    // The rows of each tag, topmost first (untagged lines under 0).
    QHash<qint32, QList<int>> rowsByTag_;
    QList<int> changedRows_;
    int newIndex_ = -1;
    QTimer* flush_ = nullptr;
};
