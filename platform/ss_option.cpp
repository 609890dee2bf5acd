#include "platform/ss_option.h"

namespace platform {

// Qt's automatic exclusivity works per parent widget: one container, one choice.
SSOption::SSOption(QWidget* parent) : QRadioButton(parent) {
    setAutoExclusive(true);
}

SSOption::SSOption(const QString& caption, QWidget* parent) : QRadioButton(caption, parent) {
    setAutoExclusive(true);
}

} // namespace platform
