#include "toolkit/ip_functions.h"

#include <QStringList>

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

namespace IP_Functions {

namespace {

constexpr const char* kAddressCharacters = ".0123456789";
constexpr int kMaxPieces = 5;
constexpr int kUsedPieces = 4;

// Keeps only dots and digits, then splits at "." into at most five pieces, the fifth taking the
// rest of the text with its dots. Fewer than four pieces give an empty list.
QStringList FilterAndSplit(const QString& text) {
    const QString allowed = QLatin1String(kAddressCharacters);
    QString kept;
    kept.reserve(text.size());
    for (QChar c : text) {
        if (allowed.contains(c)) {
            kept += c;
        }
    }
    QStringList pieces;
    qsizetype from = 0;
    while (pieces.size() < kMaxPieces - 1) {
        const qsizetype dot = kept.indexOf(QLatin1Char('.'), from);
        if (dot < 0) {
            break;
        }
        pieces << kept.mid(from, dot - from);
        from = dot + 1;
    }
    pieces << kept.mid(from);
    if (pieces.size() < kUsedPieces) {
        return {};
    }
    return pieces;
}

// A piece of digits as a number of any size (a very long one becomes infinite).
double PieceValue(const QString& digits) {
    double v = 0;
    for (QChar c : digits) {
        v = v * 10 + (c.unicode() - '0');
    }
    return v;
}

// A piece of digits as a signed 32-bit number, or nothing when it does not fit.
std::optional<qint32> PieceInt32(const QString& digits) {
    qint64 v = 0;
    for (QChar c : digits) {
        v = v * 10 + (c.unicode() - '0');
        if (v > std::numeric_limits<qint32>::max()) {
            return std::nullopt;
        }
    }
    return qint32(v);
}

} // namespace

double IPToNumber(const QString& text) {
    const QStringList pieces = FilterAndSplit(text);
    if (pieces.isEmpty()) {
        return 0;
    }
    double key = 0;
    for (int i = 0; i < kUsedPieces; ++i) {
        if (pieces[i].isEmpty()) {
            continue;
        }
        // A piece too long for a number fails, and a failed step is passed over like an empty
        // piece: the key never becomes infinite.
        const double next = key * 1000 + PieceValue(pieces[i]);
        if (std::isfinite(next)) {
            key = next;
        }
    }
    return key;
}

QString NumberToIP(double key) {
    QString text;
    for (int i = 0; i < 3; ++i) {
        const double upper = std::floor(key / 1000);
        const double r = key - upper * 1000;
        text = QLatin1Char('.') + QString::number(r, 'g', 15) + text;
        key = upper;
    }
    // The top number goes through a 32-bit integer, rounded half to even.
    const double top = std::nearbyint(key);
    if (!(top >= std::numeric_limits<qint32>::min() && top <= std::numeric_limits<qint32>::max())) {
        throw std::overflow_error("NumberToIP: key out of range");
    }
    return QString::number(qint32(top) % 1000) + text;
}

QString IPToHex(const QString& text) {
    const QStringList pieces = FilterAndSplit(text);
    if (pieces.isEmpty()) {
        return QString();
    }
    QString hex;
    for (int i = 0; i < kUsedPieces; ++i) {
        const std::optional<qint32> v = PieceInt32(pieces[i]);
        if (!v) {
            continue; // too large for 32 bits: the piece contributes no digits
        }
        hex += (QLatin1String("00") + QString::number(*v, 16).toUpper()).right(2);
    }
    return hex;
}

QString HexToIP(const QString& hex) {
    const QString digits = (QLatin1String("00000000") + hex).right(8);
    QStringList numbers;
    for (int i = 0; i < 8; i += 2) {
        numbers << QString::number(digits.mid(i, 2).toUInt(nullptr, 16));
    }
    return numbers.join(QLatin1Char('.'));
}

qint32 IPToLong(const QString& text) {
    const QString hex = IPToHex(text);
    if (hex.isEmpty()) {
        return 0;
    }
    return qint32(hex.toUInt(nullptr, 16));
}

QString LongToIP(qint32 value) {
    return HexToIP(QString::number(quint32(value), 16).toUpper());
}

bool IsValidIP(const QString& text) {
    // Only blanks are trimmed; a tab around the address makes it invalid.
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first] == QLatin1Char(' ')) {
        ++first;
    }
    while (last > first && text[last - 1] == QLatin1Char(' ')) {
        --last;
    }
    return LongToIP(IPToLong(text)) == text.mid(first, last - first);
}

} // namespace IP_Functions
