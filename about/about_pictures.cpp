#include "about/about_pictures.h"

#include <QFont>
#include <QFontMetrics>
#include <QHash>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

namespace Kelvaring {

namespace {

constexpr const char* kWordmark = "Quorvane.Net";
constexpr const char* kProductFamily = "Network Tools";
constexpr int kBackgroundSize = 600;
constexpr int kBannerHeight = 50;
const QColor kBannerColour(24, 36, 66);
const QColor kGold(226, 182, 74);
const QColor kField(238, 241, 246);
const QColor kFieldLine(214, 222, 236);

// A palette of at most 256 colours cut to the picture (median cut over its distinct colours,
// each weighted by how often it occurs), so that gradients keep their many close shades.
QList<QRgb> paletteFor(const QImage& image) {
    struct Entry {
        QRgb colour;
        qint64 count;
    };
    QHash<QRgb, qint64> counts;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            ++counts[line[x] | 0xff000000u];
        }
    }
    std::vector<Entry> entries;
    entries.reserve(size_t(counts.size()));
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        entries.push_back({it.key(), it.value()});
    }
    using Box = std::pair<size_t, size_t>; // [first, last) of entries
    const auto channel = [](QRgb c, int which) {
        return which == 0 ? qRed(c) : which == 1 ? qGreen(c) : qBlue(c);
    };
    // The widest channel of a box and its spread.
    const auto widest = [&](const Box& box) {
        int best = 0, spread = -1;
        for (int which = 0; which < 3; ++which) {
            int low = 255, high = 0;
            for (size_t i = box.first; i < box.second; ++i) {
                const int v = channel(entries[i].colour, which);
                low = std::min(low, v);
                high = std::max(high, v);
            }
            if (high - low > spread) {
                spread = high - low;
                best = which;
            }
        }
        return std::pair{best, spread};
    };
    std::vector<Box> boxes{{0, entries.size()}};
    while (boxes.size() < 256) {
        size_t pick = boxes.size();
        int pickSpread = 0, pickChannel = 0;
        for (size_t b = 0; b < boxes.size(); ++b) {
            if (boxes[b].second - boxes[b].first < 2) {
                continue;
            }
            const auto [which, spread] = widest(boxes[b]);
            if (spread > pickSpread) {
                pick = b;
                pickSpread = spread;
                pickChannel = which;
            }
        }
        if (pick == boxes.size()) {
            break; // every box holds one colour, or colours that are all alike
        }
        const Box box = boxes[pick];
        const auto first = entries.begin() + qsizetype(box.first);
        const auto last = entries.begin() + qsizetype(box.second);
        std::sort(first, last, [&](const Entry& a, const Entry& b) {
            return channel(a.colour, pickChannel) < channel(b.colour, pickChannel);
        });
        // Split where half of the box's pixels lie on either side.
        qint64 total = 0;
        for (auto it = first; it != last; ++it) {
            total += it->count;
        }
        qint64 running = 0;
        size_t cut = box.first;
        while (cut + 1 < box.second && running + entries[cut].count <= total / 2) {
            running += entries[cut].count;
            ++cut;
        }
        cut = std::max(cut, box.first + 1);
        boxes[pick] = {box.first, cut};
        boxes.push_back({cut, box.second});
    }
    QList<QRgb> palette;
    for (const Box& box : boxes) {
        qint64 r = 0, g = 0, b = 0, n = 0;
        for (size_t i = box.first; i < box.second; ++i) {
            r += qRed(entries[i].colour) * entries[i].count;
            g += qGreen(entries[i].colour) * entries[i].count;
            b += qBlue(entries[i].colour) * entries[i].count;
            n += entries[i].count;
        }
        if (n > 0) {
            palette.append(qRgb(int(r / n), int(g / n), int(b / n)));
        }
    }
    return palette;
}

} // namespace

QImage To256Colours(const QImage& source) {
    const QImage image = source.convertToFormat(QImage::Format_RGB32);
    const QList<QRgb> palette = paletteFor(image);
    QImage out(image.size(), QImage::Format_Indexed8);
    out.setColorTable(palette);
    QHash<QRgb, uchar> nearest;
    const auto nearestIndex = [&](int r, int g, int b) {
        const QRgb key = qRgb(r, g, b);
        const auto found = nearest.constFind(key);
        if (found != nearest.cend()) {
            return *found;
        }
        int best = 0, bestDistance = INT_MAX;
        for (int i = 0; i < palette.size(); ++i) {
            const int dr = qRed(palette[i]) - r, dg = qGreen(palette[i]) - g,
                      db = qBlue(palette[i]) - b;
            const int distance = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
            if (distance < bestDistance) {
                best = i;
                bestDistance = distance;
            }
        }
        nearest.insert(key, uchar(best));
        return uchar(best);
    };
    const int width = image.width();
    // The error carried to this row and the next, per channel, in sixteenths.
    std::vector<int> here(size_t(width + 2) * 3, 0), next(size_t(width + 2) * 3, 0);
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        uchar* target = out.scanLine(y);
        std::fill(next.begin(), next.end(), 0);
        for (int x = 0; x < width; ++x) {
            int want[3] = {qRed(line[x]), qGreen(line[x]), qBlue(line[x])};
            for (int c = 0; c < 3; ++c) {
                want[c] = std::clamp(want[c] + here[size_t(x + 1) * 3 + c] / 16, 0, 255);
            }
            const uchar index = nearestIndex(want[0], want[1], want[2]);
            target[x] = index;
            const QRgb got = palette[index];
            const int error[3] = {want[0] - qRed(got), want[1] - qGreen(got), want[2] - qBlue(got)};
            for (int c = 0; c < 3; ++c) {
                here[size_t(x + 2) * 3 + c] += error[c] * 7;
                next[size_t(x) * 3 + c] += error[c] * 3;
                next[size_t(x + 1) * 3 + c] += error[c] * 5;
                next[size_t(x + 2) * 3 + c] += error[c];
            }
        }
        std::swap(here, next);
    }
    return out;
}

namespace {

// The emblem: a gold ring around a stylised Q.
void drawEmblem(QPainter& p, const QRectF& box) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF ring = box.adjusted(2, 2, -2, -2);
    p.setPen(QPen(kGold, ring.width() / 9));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(ring);
    p.setPen(QPen(kGold, ring.width() / 7, Qt::SolidLine, Qt::RoundCap));
    const QPointF c = ring.center();
    p.drawLine(c,
               QPointF(ring.right() - ring.width() * 0.05, ring.bottom() - ring.height() * 0.05));
    p.setBrush(kGold);
    p.setPen(Qt::NoPen);
    p.drawEllipse(c, ring.width() / 8, ring.height() / 8);
    p.restore();
}

QFont fittedFont(const QString& text, int maxWidth, int pixelSize) {
    QFont font;
    font.setBold(true);
    for (; pixelSize > 6; --pixelSize) {
        font.setPixelSize(pixelSize);
        if (QFontMetrics(font).horizontalAdvance(text) <= maxWidth) {
            break;
        }
    }
    return font;
}

QImage drawBackground() {
    QImage image(kBackgroundSize, kBackgroundSize, QImage::Format_RGB32);
    image.fill(kField);
    QPainter p(&image);
    // The pale field: a quiet lattice of diagonal lines.
    p.setPen(QPen(kFieldLine, 1));
    for (int d = -kBackgroundSize; d < kBackgroundSize; d += 18) {
        p.drawLine(d, kBackgroundSize, d + kBackgroundSize, 0);
    }
    // The banner, with a gold rule beneath it.
    QLinearGradient banner(0, 0, 0, kBannerHeight);
    banner.setColorAt(0, kBannerColour.lighter(130));
    banner.setColorAt(1, kBannerColour);
    p.fillRect(0, 0, kBackgroundSize, kBannerHeight, banner);
    p.fillRect(0, kBannerHeight, kBackgroundSize, 2, kGold);
    drawEmblem(p, QRectF(12, 5, 37, 37));
    // The wordmark lies under the link's hot spot (52, 8, 185 x 37).
    const QString wordmark = QLatin1String(kWordmark);
    p.setPen(Qt::white);
    p.setFont(fittedFont(wordmark, 180, 26));
    p.drawText(QRect(56, 8, 181, 37), Qt::AlignLeft | Qt::AlignVCenter, wordmark);
    p.setPen(kGold.lighter(115));
    QFont family;
    family.setPixelSize(12);
    family.setItalic(true);
    p.setFont(family);
    p.drawText(QRect(244, 8, 190, 37), Qt::AlignLeft | Qt::AlignVCenter,
               QLatin1String(kProductFamily));
    p.end();
    return To256Colours(image);
}

struct PortraitStyle {
    QSize size;
    int shownHeight; // what the window's client area shows of it
    QColor top;
    QColor bottom;
    QColor figure;
    bool trueColour;
};

PortraitStyle styleOf(CreditsPortrait which) {
    switch (which) {
    case CreditsPortrait::Vardle:
        return {QSize(462, 421),       325, QColor(40, 78, 120), QColor(10, 20, 40),
                QColor(120, 170, 210), true};
    case CreditsPortrait::Tembrin:
        return {QSize(462, 295),       290,  QColor(96, 44, 90), QColor(24, 10, 30),
                QColor(210, 150, 200), false};
    case CreditsPortrait::Murrask:
        break;
    }
    return {QSize(462, 293),       266,  QColor(46, 92, 60), QColor(10, 30, 16),
            QColor(150, 210, 160), false};
}

// A portrait placeholder: a lit silhouette of head and shoulders before a dark backdrop, set
// in the part of the picture that the window shows.
QImage drawPortrait(CreditsPortrait which) {
    const PortraitStyle style = styleOf(which);
    QImage image(style.size, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient back(0, 0, 0, style.shownHeight);
    back.setColorAt(0, style.top);
    back.setColorAt(1, style.bottom);
    p.fillRect(image.rect(), back);
    const qreal w = style.size.width();
    const qreal h = style.shownHeight;
    const QPointF head(w * 0.30, h * 0.36);
    const qreal r = h * 0.14;
    QRadialGradient light(head - QPointF(r / 2, r / 2), r * 4);
    light.setColorAt(0, style.figure.lighter(130));
    light.setColorAt(1, style.figure.darker(220));
    p.setBrush(light);
    p.setPen(Qt::NoPen);
    QPainterPath figure;
    figure.moveTo(head.x() - r * 2.6, h);
    figure.cubicTo(head.x() - r * 2.6, head.y() + r * 0.9, head.x() + r * 2.6, head.y() + r * 0.9,
                   head.x() + r * 2.6, h);
    figure.closeSubpath();
    figure.addRect(QRectF(head.x() - r * 2.6, h - 1, r * 5.2, style.size.height() - h + 1));
    figure.addRect(QRectF(head.x() - r * 0.45, head.y() + r * 0.5, r * 0.9, r * 1.6));
    figure.addEllipse(head, r * 0.85, r);
    figure.setFillRule(Qt::WindingFill);
    p.drawPath(figure);
    // The emblem again, small, in the upper right.
    drawEmblem(p, QRectF(w * 0.62, h * 0.10, h * 0.14, h * 0.14));
    p.end();
    return style.trueColour ? image.convertToFormat(QImage::Format_RGB888) : To256Colours(image);
}

QImage drawIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(kBannerColour);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(0, 0, size, size), size / 6.0, size / 6.0);
    drawEmblem(p, QRectF(size * 0.1, size * 0.1, size * 0.8, size * 0.8));
    p.end();
    return image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
}

} // namespace

const QImage& AboutBackground() {
    static const QImage image = drawBackground();
    return image;
}

const QImage& CreditsPicture(CreditsPortrait which) {
    static const QImage vardle = drawPortrait(CreditsPortrait::Vardle);
    static const QImage tembrin = drawPortrait(CreditsPortrait::Tembrin);
    static const QImage murrask = drawPortrait(CreditsPortrait::Murrask);
    switch (which) {
    case CreditsPortrait::Vardle:
        return vardle;
    case CreditsPortrait::Tembrin:
        return tembrin;
    case CreditsPortrait::Murrask:
        break;
    }
    return murrask;
}

QIcon CreditsIcon() {
    // Kept as images: pixmaps must not outlive the application object.
    static const QImage small = drawIconImage(16);
    static const QImage large = drawIconImage(32);
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(small));
    icon.addPixmap(QPixmap::fromImage(large));
    return icon;
}

} // namespace Kelvaring
