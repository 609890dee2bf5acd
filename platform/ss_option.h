#pragma once

#include <QRadioButton>

namespace platform {

// A three-dimensional option button. Its value is its default member; within one container
// exactly one option is on once any is, and choosing one turns the others off.
class SSOption : public QRadioButton {
    Q_OBJECT
    Q_PROPERTY(bool Value READ Value WRITE SetValue)
public:
    explicit SSOption(QWidget* parent = nullptr);
    explicit SSOption(const QString& caption, QWidget* parent = nullptr);

    bool Value() const { return isChecked(); }
    // Turning one option on turns the others of its container off; the option that is on stays
    // on until another is chosen.
    void SetValue(bool value) { setChecked(value); }

    QString Caption() const { return text(); }
    void SetCaption(const QString& caption) { setText(caption); }
};

} // namespace platform
