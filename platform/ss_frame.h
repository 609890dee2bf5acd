#pragma once

#include <QGroupBox>

namespace platform {

// A three-dimensional frame: a captioned container for other controls.
class SSFrame : public QGroupBox {
    Q_OBJECT
public:
    explicit SSFrame(QWidget* parent = nullptr);
    explicit SSFrame(const QString& caption, QWidget* parent = nullptr);

    QString Caption() const { return title(); }
    void SetCaption(const QString& caption) { setTitle(caption); }
};

} // namespace platform
