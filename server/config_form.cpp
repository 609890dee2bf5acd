// The configuration dialog: its loading from the settings, its handlers, and OK and Cancel.
#include "server/config_form.h"

#include "engine/globals.h"
#include "platform/common_dialog.h"
#include "platform/dir_list_box.h"
#include "platform/drive_list_box.h"
#include "platform/file_list_box.h"
#include "platform/msg_box.h"
#include "platform/ss_option.h"
#include "server/tftp_server_window.h"
#include "toolkit/help_menu_functions.h"
#include "toolkit/registry_support.h"

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <array>

namespace {

// The settings of "TFTP Server"/"Config", each stored as it is applied.
constexpr const char* kAppName = "TFTP Server";
constexpr const char* kConfigSection = "Config";
void store(const char* name, const QVariant& setting) {
    RegistrySupport::SaveRegSetting(QLatin1String(kAppName), QLatin1String(kConfigSection),
                                    QLatin1String(name), setting);
}

} // namespace

ConfigForm::ConfigForm(QObject* parent) : platform::Form(QStringLiteral("ConfigForm"), parent) {}

ConfigForm::~ConfigForm() {
    delete Window;
}

ConfigForm& DefaultConfigForm() {
    // Lives as long as the process, as the runtime's default instance does.
    static ConfigForm* form = new ConfigForm;
    return *form;
}

void ShowConfigForm() {
    DefaultConfigForm().ShowModal();
}

bool ConfigForm::StillOpen(quint64 generation) const {
    return IsLoaded() && LoadGeneration() == generation && Window;
}

void ConfigForm::Form_Load() {
    static constexpr const char* kRootMissing = "TFTP root directory was set to ";
    static constexpr const char* kRootMissingEnd = " but it does not exist.";
    static constexpr const char* kSelectAnother = "You will need to select a different directory.";

    const quint64 generation = LoadGeneration();
    BuildFace();
    LoadRanges();

    // From here on a step that fails is passed over; only a missing root directory is told.
    if (!Dir1->SetPath(Globals::RootDir)) {
        platform::MsgBox(QLatin1String(kRootMissing) + Globals::RootDir +
                             QLatin1String(kRootMissingEnd) + QLatin1Char('\r') +
                             QLatin1String(kSelectAnother),
                         platform::vbExclamation | platform::vbOKOnly);
        if (!StillOpen(generation)) {
            return;
        }
    }
    // The drive of the directory the list shows: RootDir's own when it was found, else the
    // one the list opened on, which then stays where it is.
    Drive1->SetDrive(Dir1->Path());

    LoadInactivityChoices();

    if (Globals::ReceiveOnly) {
        ReceiveOnly->SetValue(true);
    } else if (Globals::TransmitOnly) {
        TransmitOnly->SetValue(true);
    } else {
        Both->SetValue(true);
    }

    LoggingOn->setChecked(Globals::Logging);
    LoggingOff->setChecked(!Globals::Logging);
    LogFilename->setEnabled(Globals::Logging);
    BrowseLogFile->setEnabled(Globals::Logging);
    LogFilename->setText(Globals::LogFile);
    // A path longer than the box shows where it begins.
    LogFilename->setCursorPosition(0);
}

void ConfigForm::LoadInactivityChoices() {
    struct Choice {
        const char* text;
        qint32 minutes;
    };
    static constexpr std::array<Choice, 6> kChoices{{
        {"Never", 9900000},
        {"5 minutes", 5},
        {"10 minutes", 10},
        {"30 minutes", 30},
        {"1 hour", 60},
        {"4 hours", 240},
    }};
    for (const Choice& choice : kChoices) {
        Inactivity->addItem(QLatin1String(choice.text), choice.minutes);
    }
    // "5 minutes" unless a choice holds exactly the configured time.
    Inactivity->setCurrentIndex(1);
    for (int i = 0; i < Inactivity->count(); ++i) {
        if (Inactivity->itemData(i).toInt() == Globals::InactivityMinutes) {
            Inactivity->setCurrentIndex(i);
            break;
        }
    }
}

void ConfigForm::LoggingOn_Click() {
    LogFilename->setEnabled(true);
    BrowseLogFile->setEnabled(true);
}

void ConfigForm::LoggingOff_Click() {
    LogFilename->setEnabled(false);
    BrowseLogFile->setEnabled(false);
}

void ConfigForm::BrowseLogFile_Click() {
    static constexpr const char* kTitle = "TFTP Server Log File ...";
    static constexpr const char* kFilter = "Log file (*.log)|*.log|All Files (*.*)|*.*";

    cmd->SetCancelError(false);
    cmd->SetFileName(LogFilename->text());
    cmd->SetDialogTitle(QLatin1String(kTitle));
    cmd->SetFilter(QLatin1String(kFilter));
    const quint64 generation = LoadGeneration();
    cmd->ShowSave();
    if (!StillOpen(generation)) {
        return;
    }
    // Confirmed or cancelled, the text becomes what the file dialog reports.
    LogFilename->setText(cmd->FileName());
    LogFilename->setCursorPosition(0);
}

void ConfigForm::Drive1_Change() {
    // A drive keeps the directory the list shows when that lies on it, as each drive keeps
    // its own current directory.
    if (Drive1->DriveOf(Dir1->Path()) == Drive1->Drive()) {
        return;
    }
    // A drive whose root cannot be opened is not taken: back to the drive of the list.
    if (!Dir1->SetPath(Drive1->Drive())) {
        Drive1->SetDrive(Dir1->Path());
    }
}

void ConfigForm::Dir1_Click() {
    // A directory that has gone since it was listed is dropped from the list.
    if (!Dir1->SetPath(Dir1->List(Dir1->ListIndex()))) {
        Dir1->Refresh();
    }
}

void ConfigForm::Dir1_Change() {
    FileList->SetPath(Dir1->Path());
}

void ConfigForm::FileList_Click() {
    FileList->SetListIndex(-1);
}

void ConfigForm::Help_Button_Click() {
    HelpMenuFunctions::ShowHelpTopic(kHelpContext);
}

void ConfigForm::Cancel_Button_Click() {
    Unload();
}

void ConfigForm::OK_Button_Click() {
    static constexpr const char* kStatusPanel = "Status";

    // Everything is read before anything is applied, so the settings change all together.
    const QString rootDir = Dir1->Path();
    const qint32 minutes = Inactivity->currentData().toInt();
    const bool receiveOnly = ReceiveOnly->Value();
    const bool transmitOnly = !receiveOnly && TransmitOnly->Value();
    const bool logging = LoggingOn->isChecked();
    const QString logFile = logging ? LogFilename->text() : Globals::LogFile;

    {
        // Stored as one, in a single commit: every value or, should the store fail, none.
        // Nothing from here to its end waits for the user: the store is locked meanwhile.
        const RegistrySupport::SaveBatch batch;

        Globals::RootDir = rootDir;
        store("RootDir", Globals::RootDir);
        if (TFTPServerLoaded()) {
            if (auto* main = qobject_cast<TFTPServerWindow*>(TFTPServerInstance())) {
                main->StatusBar->Panels(QLatin1String(kStatusPanel))->SetText(Globals::RootDir);
            }
        }

        Globals::InactivityMinutes = minutes;
        Globals::ResetInactivity();
        store("InactivityTimer", Globals::InactivityMinutes);

        Globals::ReceiveOnly = receiveOnly;
        Globals::TransmitOnly = transmitOnly;
        store("TransmitOnly", Globals::TransmitOnly);
        store("ReceiveOnly", Globals::ReceiveOnly);

        // With logging off an edited file name is dropped and the old one stored again.
        Globals::Logging = logging;
        Globals::LogFile = logFile;
        store("Logging", Globals::Logging);
        store("LogFile", Globals::LogFile);

        ApplyRanges();
    }
    Unload();
}
