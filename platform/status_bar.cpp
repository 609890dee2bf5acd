#include "platform/status_bar.h"

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QHBoxLayout>

#include <algorithm>

namespace platform {

namespace {

// The bar's edge around its panels, a panel's bevel, and its inset of its text from the left.
constexpr int kBarEdge = 1;
constexpr int kBevel = 1;
constexpr int kTextIndent = 2;
// Below this the text could not be read at all; a bar that low cuts it instead.
constexpr int kSmallestPixelSize = 6;

} // namespace

StatusBarPanel::StatusBarPanel(const QString& key, QWidget* parent) : QLabel(parent), key_(key) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(kBevel);
    setTextFormat(Qt::PlainText);
    // The text takes the whole height inside the bevel, so that its descenders show in a low
    // bar; it keeps its distance from the bevel at the side only.
    setMargin(0);
    setIndent(kTextIndent);
}

StatusBar::StatusBar(QWidget* parent) : QWidget(parent), layout_(new QHBoxLayout(this)) {
    layout_->setContentsMargins(kBarEdge, kBarEdge, kBarEdge, kBarEdge);
    layout_->setSpacing(2);
    SetHeight(kDefaultHeightTwips);
}

StatusBarPanel* StatusBar::AddPanel(const QString& key, const QString& text,
                                    StatusBarPanel::AutoSize autoSize, int minWidthTwips) {
    if (key.isEmpty() || Panels(key) != nullptr)
        return nullptr;
    auto* panel = new StatusBarPanel(key, this);
    panel->SetText(text);
    const int minWidth = std::max(0, minWidthTwips / kTwipsPerPixel);
    panel->setMinimumWidth(minWidth);
    QSizePolicy::Policy horizontal = QSizePolicy::Fixed;
    if (autoSize == StatusBarPanel::sbrSpring)
        horizontal = QSizePolicy::Expanding;
    else if (autoSize == StatusBarPanel::sbrContents)
        horizontal = QSizePolicy::Preferred;
    else
        panel->setFixedWidth(minWidth);
    panel->setSizePolicy(horizontal, QSizePolicy::Preferred);
    layout_->addWidget(panel, autoSize == StatusBarPanel::sbrSpring ? 1 : 0);
    panels_.append(panel);
    return panel;
}

StatusBarPanel* StatusBar::Panels(const QString& key) const {
    for (StatusBarPanel* panel : panels_) {
        if (panel->Key().compare(key, Qt::CaseInsensitive) == 0)
            return panel;
    }
    return nullptr;
}

StatusBarPanel* StatusBar::Panels(int index) const {
    return index >= 1 && index <= panels_.size() ? panels_.at(index - 1) : nullptr;
}

int StatusBar::Height() const {
    return height() * kTwipsPerPixel;
}

void StatusBar::SetHeight(int twips) {
    setFixedHeight(std::max(1, twips / kTwipsPerPixel));
    fitFont();
}

int StatusBar::TextRoom() const {
    return height() - 2 * kBarEdge - 2 * kBevel;
}

void StatusBar::fitFont() {
    // The desktop's font may stand taller than the bar: take it smaller until a whole line,
    // descenders included, stands in a panel.
    QFont font = QApplication::font(this);
    if (font.pixelSize() <= 0) {
        font.setPixelSize(QFontInfo(font).pixelSize());
    }
    while (font.pixelSize() > kSmallestPixelSize && QFontMetrics(font).height() > TextRoom()) {
        font.setPixelSize(font.pixelSize() - 1);
    }
    setFont(font);
}

} // namespace platform
