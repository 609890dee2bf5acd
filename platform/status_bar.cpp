#include "platform/status_bar.h"

#include <QHBoxLayout>

#include <algorithm>

namespace platform {

StatusBarPanel::StatusBarPanel(const QString& key, QWidget* parent) : QLabel(parent), key_(key) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setTextFormat(Qt::PlainText);
    setMargin(1);
}

StatusBar::StatusBar(QWidget* parent) : QWidget(parent), layout_(new QHBoxLayout(this)) {
    layout_->setContentsMargins(1, 1, 1, 1);
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
}

} // namespace platform
