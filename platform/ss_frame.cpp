#include "platform/ss_frame.h"

namespace platform {

SSFrame::SSFrame(QWidget* parent) : QGroupBox(parent) {}

SSFrame::SSFrame(const QString& caption, QWidget* parent) : QGroupBox(caption, parent) {}

} // namespace platform
