#pragma once

#include "platform/form.h"

#include <QLineEdit>
#include <QPushButton>
#include <QString>

#include <functional>

class QComboBox;
class QDialog;
class QGroupBox;
class QLabel;
class QListWidget;
class QRadioButton;

namespace platform {
class CommonDialog;
class DirListBox;
class DriveListBox;
class FileListBox;
class SSFrame;
class SSOption;
class TabControl;
} // namespace platform

// A text box that reports receiving the focus and each character typed (Enter as 13). A key
// handler that sets the character to 0 consumes the key.
class ConfigTextBox : public QLineEdit {
public:
    using QLineEdit::QLineEdit;

    std::function<void()> GotFocus;
    std::function<void(qint16& KeyAscii)> KeyPress;

protected:
    void focusInEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

// A command button whose caption wraps onto as many lines as its height holds.
class WrappingButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The controls of the dialog's face. They exist while the dialog is loaded (all null
// otherwise), and every load builds them afresh with their design values.
struct ConfigFormControls {
    QDialog* Window = nullptr;
    platform::TabControl* Tabs = nullptr;
    QPushButton* OK_Button = nullptr;
    QPushButton* Cancel_Button = nullptr;
    QPushButton* Help_Button = nullptr;
    platform::CommonDialog* cmd = nullptr;

    platform::DriveListBox* Drive1 = nullptr;
    platform::DirListBox* Dir1 = nullptr;
    platform::FileListBox* FileList = nullptr;

    QLabel* Label3 = nullptr;
    QGroupBox* Frame1 = nullptr;
    platform::SSOption* ReceiveOnly = nullptr;
    platform::SSOption* TransmitOnly = nullptr;
    platform::SSOption* Both = nullptr;

    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QListWidget* PermitList = nullptr;
    WrappingButton* Delete_Button = nullptr;
    platform::SSFrame* SSFrame1 = nullptr;
    QLabel* Label7 = nullptr;
    ConfigTextBox* FromIP = nullptr;
    QLabel* Label8 = nullptr;
    ConfigTextBox* ToIP = nullptr;
    QPushButton* Add_Range_Button = nullptr;

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* Inactivity = nullptr;

    QLabel* Label6 = nullptr;
    QRadioButton* LoggingOff = nullptr;
    QRadioButton* LoggingOn = nullptr;
    QLineEdit* LogFilename = nullptr;
    QPushButton* BrowseLogFile = nullptr;
};

// The configuration dialog: edits copies of the server settings and the permitted address
// ranges, and changes nothing until OK writes them all back and stores them. Cancel and the
// close box discard the edits.
class ConfigForm : public platform::Form, public ConfigFormControls {
    Q_OBJECT
public:
    static constexpr int kHelpContext = 2001;
    // The settings store holds this many ranges; the list takes no more.
    static constexpr int kMaxRanges = 100;

    explicit ConfigForm(QObject* parent = nullptr);
    ~ConfigForm() override;

    // Loads the dialog and shows it modally; returns once it is unloaded.
    void ShowModal();

    void Add_Range_Button_Click();
    void Delete_Button_Click();
    void BrowseLogFile_Click();
    void LoggingOn_Click();
    void LoggingOff_Click();
    void FromIP_GotFocus();
    void ToIP_GotFocus();
    void FromIP_KeyPress(qint16& KeyAscii);
    void ToIP_KeyPress(qint16& KeyAscii);
    void Drive1_Change();
    void Dir1_Click();
    void Dir1_Change();
    void FileList_Click();
    void Help_Button_Click();
    void Cancel_Button_Click();
    void OK_Button_Click();

    // The lines of PermitList, top to bottom.
    QStringList PermitLines() const;

protected:
    void Form_Load() override;
    void Form_Unload(int& cancel) override;

private:
    void BuildFace();
    void BuildRootDirectoryTab(QWidget* page);
    void BuildSecurityTab(QWidget* page);
    void BuildAdvancedSecurityTab(QWidget* page);
    void BuildAutoCloseTab(QWidget* page);
    void BuildLogTab(QWidget* page);
    void LoadRanges();
    void LoadInactivityChoices();
    void ApplyRanges();
    // Whether the showing that was open before a message box is still open after it.
    bool StillOpen(quint64 generation) const;
};

// The dialog's single default instance.
ConfigForm& DefaultConfigForm();

// Shows the configuration dialog modally; returns when it closes.
void ShowConfigForm();
