// The configuration dialog's face: its window, tabs and controls in their design places, and
// showing it modally on the main window.
#include "server/config_form.h"

#include "platform/common_dialog.h"
#include "platform/dir_list_box.h"
#include "platform/drive_list_box.h"
#include "platform/file_list_box.h"
#include "platform/ss_frame.h"
#include "platform/ss_option.h"
#include "platform/tab_control.h"
#include "platform/twips.h"
#include "server/program_icon.h"
#include "server/tftp_server_window.h"
#include "toolkit/help_menu_functions.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QStyleOptionButton>
#include <QWindow>

#include <array>

namespace {

constexpr const char* kCaption = "TFTP Server Configuration";

using platform::kTwipsPerPixel;
// The face was laid out for an 8-point font; this keeps its captions inside their places.
constexpr int kFacePixelSize = 11;

// A control's place in twips: left, top, width, height within its container.
struct Place {
    int left, top, width, height;
};

constexpr int px(int twips) {
    return platform::TwipsToPixels(twips);
}

void place(QWidget* control, const Place& at) {
    control->setGeometry(px(at.left), px(at.top), px(at.width), px(at.height));
}

constexpr int kClientWidth = 5910;
constexpr int kClientHeight = 4860;
constexpr Place kTabsPlace{60, 60, 5805, 4215};
constexpr Place kOKPlace{1140, 4380, 1155, 375};
constexpr Place kCancelPlace{2400, 4380, 1155, 375};
constexpr Place kHelpPlace{3660, 4380, 1155, 375};

QLabel* label(const char* caption, QWidget* container, const Place& at) {
    auto* control = new QLabel(QLatin1String(caption), container);
    control->setWordWrap(true);
    control->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(control, at);
    return control;
}

// Where the system's font runs wider than the one the face was laid out for, a caption that
// would not fit its place is narrowed rather than cut off.
constexpr int kMinStretch = 70;

bool fits(const QLabel* control, const QFont& font) {
    const QRect need = QFontMetrics(font).boundingRect(QRect(0, 0, control->width(), 100000),
                                                       Qt::TextWordWrap, control->text());
    return need.width() <= control->width() && need.height() <= control->height();
}

void fitCaptions(QWidget* face) {
    for (QLabel* control : face->findChildren<QLabel*>()) {
        QFont font = control->font();
        for (int stretch = 99; stretch >= kMinStretch && !fits(control, font); --stretch) {
            font.setStretch(stretch);
        }
        control->setFont(font);
    }
}

// As list boxes on the system the face was designed for, a list shows whole rows only: it gives
// up the part of its place that would show a row cut through.
void showWholeRows(QListWidget* list) {
    const bool empty = list->count() == 0;
    if (empty) {
        list->addItem(QStringLiteral("X"));
    }
    const int row = list->sizeHintForRow(0);
    if (empty) {
        delete list->takeItem(0);
    }
    const int frame = 2 * list->frameWidth();
    if (row > 0 && list->height() > frame + row) {
        list->resize(list->width(), frame + (list->height() - frame) / row * row);
    }
}

// Only an unload closes the window: Esc does nothing, the close box cancels.
class ConfigDialog : public QDialog {
public:
    std::function<void()> CloseBox;

    void reject() override {}

protected:
    void closeEvent(QCloseEvent* event) override {
        event->accept();
        if (CloseBox) {
            CloseBox();
        }
    }
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
            event->accept();
            return;
        }
        QDialog::keyPressEvent(event);
    }
};

// No button is the default one: Enter presses nothing unless a handler says otherwise.
QPushButton* button(QPushButton* control, QWidget* container, const Place& at) {
    control->setParent(container);
    control->setAutoDefault(false);
    control->setDefault(false);
    place(control, at);
    return control;
}

// The main window, when it is loaded; the dialog is centred on it and stays above it.
QMainWindow* ownerWindow() {
    if (!TFTPServerLoaded()) {
        return nullptr;
    }
    auto* main = qobject_cast<TFTPServerWindow*>(TFTPServerInstance());
    return main && main->Window->isVisible() ? main->Window : nullptr;
}

void centreOnOwner(QDialog* dialog) {
    QRect area;
    dialog->winId();
    if (QMainWindow* owner = ownerWindow()) {
        area = owner->frameGeometry();
        if (owner->windowHandle() && dialog->windowHandle()) {
            dialog->windowHandle()->setTransientParent(owner->windowHandle());
        }
    } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        area = screen->availableGeometry();
    }
    if (area.isValid()) {
        QRect frame(QPoint(), dialog->frameGeometry().size());
        frame.moveCenter(area.center());
        dialog->move(frame.topLeft());
    }
}

} // namespace

void ConfigTextBox::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    // A copy: the handler may close the dialog, which lets go of the original.
    if (const std::function<void()> handler = GotFocus) {
        handler();
    }
}

void ConfigTextBox::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!KeyPress || (!enter && event->text().isEmpty())) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    const qint16 typed = enter ? qint16(13) : qint16(event->text().at(0).unicode());
    qint16 key = typed;
    const std::function<void(qint16&)> handler = KeyPress;
    handler(key);
    if (key == 0) {
        event->accept();
    } else if (key == typed) {
        QLineEdit::keyPressEvent(event);
    } else {
        insert(QString(QChar(key)));
    }
}

void WrappingButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear();
    style()->drawControl(QStyle::CE_PushButton, &option, &painter, this);
    const QRect room = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    style()->drawItemText(&painter, room, Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic,
                          option.palette, isEnabled(), caption, QPalette::ButtonText);
}

void ConfigForm::ShowModal() {
    if (IsLoaded()) {
        if (Window) {
            Window->raise();
            Window->activateWindow();
        }
        return;
    }
    Load();
    if (!IsLoaded() || !Window) {
        return;
    }
    const quint64 generation = LoadGeneration();
    centreOnOwner(Window);
    // Modal to the main window only, so that the help the dialog opens beside it, or that was
    // open before, takes input while the dialog stays open. Without a main window to hold, it
    // holds the whole program.
    Window->setWindowModality(ownerWindow() ? Qt::WindowModal : Qt::ApplicationModal);
    Window->exec();
    // Only an unload ends a showing; whatever else ended the modal loop ends it too.
    if (StillOpen(generation)) {
        Unload(platform::vbFormCode);
    }
}

void ConfigForm::BuildFace() {
    static constexpr const char* kOK = "OK";
    static constexpr const char* kCancel = "Cancel";
    static constexpr const char* kHelp = "Help";
    static constexpr std::array<const char*, 5> kTabCaptions{
        "&TFTP Root Directory", "Security", "Advanced Security", "Auto-Close", "Log"};

    auto* dialog = new ConfigDialog;
    Window = dialog;
    Window->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    Window->setWindowTitle(QLatin1String(kCaption));
    Window->setWindowIcon(ProgramIcon());
    QFont font = Window->font();
    font.setPixelSize(kFacePixelSize);
    Window->setFont(font);
    Window->setFixedSize(px(kClientWidth), px(kClientHeight));
    dialog->CloseBox = [this] { Unload(platform::vbFormControlMenu); };

    OK_Button = button(new QPushButton(QLatin1String(kOK)), Window, kOKPlace);
    Cancel_Button = button(new QPushButton(QLatin1String(kCancel)), Window, kCancelPlace);
    Tabs = new platform::TabControl(int(kTabCaptions.size()), Window);
    place(Tabs, kTabsPlace);
    for (int i = 0; i < int(kTabCaptions.size()); ++i) {
        Tabs->SetTabCaption(i, QLatin1String(kTabCaptions[std::size_t(i)]));
    }
    Help_Button = button(new QPushButton(QLatin1String(kHelp)), Window, kHelpPlace);
    cmd = new platform::CommonDialog(Window);

    BuildRootDirectoryTab(Tabs->Page(0));
    BuildSecurityTab(Tabs->Page(1));
    BuildAdvancedSecurityTab(Tabs->Page(2));
    BuildAutoCloseTab(Tabs->Page(3));
    BuildLogTab(Tabs->Page(4));

    // OK, Cancel, the tabs, then Help and each tab's controls as they stand.
    QList<QWidget*> order{OK_Button,  Cancel_Button, Tabs,        Help_Button,  Drive1,
                          Dir1,       FileList,      ReceiveOnly, TransmitOnly, Both,
                          PermitList, Delete_Button, FromIP,      ToIP,         Add_Range_Button,
                          Inactivity, LoggingOff,    LoggingOn,   LogFilename,  BrowseLogFile};
    for (qsizetype i = 0; i + 1 < order.size(); ++i) {
        QWidget::setTabOrder(order[i], order[i + 1]);
    }
    fitCaptions(Window);
    OK_Button->setFocus();

    connect(OK_Button, &QPushButton::clicked, this, [this] { OK_Button_Click(); });
    connect(Cancel_Button, &QPushButton::clicked, this, [this] { Cancel_Button_Click(); });
    connect(Help_Button, &QPushButton::clicked, this, [this] { Help_Button_Click(); });
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), Window);
    connect(help, &QShortcut::activated, this,
            [] { HelpMenuFunctions::ShowHelpTopic(ConfigForm::kHelpContext); });
}

void ConfigForm::BuildRootDirectoryTab(QWidget* page) {
    static constexpr Place kDrive1{120, 480, 5535, 315};
    static constexpr Place kDir1{120, 840, 5535, 1890};
    static constexpr Place kFileList{120, 2760, 5535, 1260};

    Drive1 = new platform::DriveListBox(page);
    place(Drive1, kDrive1);
    Dir1 = new platform::DirListBox(page);
    place(Dir1, kDir1);
    FileList = new platform::FileListBox(page);
    place(FileList, kFileList);
    showWholeRows(Dir1);
    showWholeRows(FileList);

    connect(Drive1, &platform::DriveListBox::Change, this, [this] { Drive1_Change(); });
    connect(Dir1, &platform::DirListBox::Click, this, [this] { Dir1_Click(); });
    connect(Dir1, &platform::DirListBox::Change, this, [this] { Dir1_Change(); });
    connect(FileList, &platform::FileListBox::Click, this, [this] { FileList_Click(); });
}

void ConfigForm::BuildSecurityTab(QWidget* page) {
    static constexpr const char* kLabel3 =
        "The TFTP Server can be configured to allow receiving of files only, transmitting of "
        "files only, or allow both, transmitting and receiving.";
    static constexpr const char* kReceiveOnly = "Receive only";
    static constexpr const char* kTransmitOnly = "Transmit only";
    static constexpr const char* kBoth = "Transmit and Receive files";

    Label3 = label(kLabel3, page, {720, 960, 4395, 735});
    Frame1 = new QGroupBox(page);
    place(Frame1, {720, 1860, 4395, 1755});
    ReceiveOnly = new platform::SSOption(QLatin1String(kReceiveOnly), Frame1);
    place(ReceiveOnly, {480, 420, 3135, 315});
    TransmitOnly = new platform::SSOption(QLatin1String(kTransmitOnly), Frame1);
    place(TransmitOnly, {480, 720, 3135, 315});
    Both = new platform::SSOption(QLatin1String(kBoth), Frame1);
    place(Both, {480, 1020, 3195, 315});
}

void ConfigForm::BuildAdvancedSecurityTab(QWidget* page) {
    static constexpr const char* kLabel4 = "The TFTP Server can be configured to only allow "
                                           "certain IP Address ranges to send/receive files.";
    static constexpr const char* kLabel5 = "Permitted IP Addresses";
    static constexpr const char* kDelete = "Delete Selected Range";
    static constexpr const char* kAddFrame = "Add new Address Range";
    static constexpr const char* kFrom = "From";
    static constexpr const char* kTo = "To";
    static constexpr const char* kDesignAddress = "0.0.0.0";
    static constexpr const char* kAdd = "Add Range";

    Label4 = label(kLabel4, page, {240, 540, 5415, 495});
    Label5 = label(kLabel5, page, {240, 1080, 2415, 195});
    PermitList = new QListWidget(page);
    PermitList->setSelectionMode(QAbstractItemView::SingleSelection);
    place(PermitList, {240, 1320, 4155, 1620});
    showWholeRows(PermitList);
    Delete_Button = new WrappingButton(QLatin1String(kDelete));
    button(Delete_Button, page, {4560, 2220, 915, 735});
    SSFrame1 = new platform::SSFrame(QLatin1String(kAddFrame), page);
    place(SSFrame1, {240, 3000, 5235, 1035});
    Label7 = label(kFrom, SSFrame1, {180, 360, 345, 195});
    FromIP = new ConfigTextBox(QLatin1String(kDesignAddress), SSFrame1);
    place(FromIP, {600, 300, 1395, 285});
    Label8 = label(kTo, SSFrame1, {2100, 360, 195, 195});
    ToIP = new ConfigTextBox(QLatin1String(kDesignAddress), SSFrame1);
    place(ToIP, {2400, 300, 1395, 285});
    Add_Range_Button =
        button(new QPushButton(QLatin1String(kAdd)), SSFrame1, {180, 660, 1455, 255});

    connect(Delete_Button, &QPushButton::clicked, this, [this] { Delete_Button_Click(); });
    connect(Add_Range_Button, &QPushButton::clicked, this, [this] { Add_Range_Button_Click(); });
    FromIP->GotFocus = [this] { FromIP_GotFocus(); };
    ToIP->GotFocus = [this] { ToIP_GotFocus(); };
    FromIP->KeyPress = [this](qint16& KeyAscii) { FromIP_KeyPress(KeyAscii); };
    ToIP->KeyPress = [this](qint16& KeyAscii) { ToIP_KeyPress(KeyAscii); };
}

void ConfigForm::BuildAutoCloseTab(QWidget* page) {
    // The trailing blank belongs to the caption.
    static constexpr const char* kLabel1 = "The TFTP Server can be configured to automatically "
                                           "shutdown after a specified period of time. ";
    static constexpr const char* kLabel2 = "Exit after a period of inactivity";

    Label1 = label(kLabel1, page, {900, 840, 3435, 735});
    Label2 = label(kLabel2, page, {900, 1740, 2415, 255});
    Inactivity = new QComboBox(page);
    Inactivity->setEditable(false);
    place(Inactivity, {900, 1980, 3375, 315});
}

void ConfigForm::BuildLogTab(QWidget* page) {
    static constexpr const char* kLabel6 = "The TFTP Server can save a running log of all "
                                           "requests into a file of your choice.";
    static constexpr const char* kLoggingOff = "Do not log requests";
    static constexpr const char* kLoggingOn = "Log requests into the following file";
    static constexpr const char* kDesignLogFile = "Drovemoor.log";
    static constexpr const char* kBrowse = "...";

    Label6 = label(kLabel6, page, {480, 840, 4815, 495});
    LoggingOff = new QRadioButton(QLatin1String(kLoggingOff), page);
    place(LoggingOff, {600, 1740, 3855, 255});
    LoggingOn = new QRadioButton(QLatin1String(kLoggingOn), page);
    place(LoggingOn, {600, 2160, 3855, 255});
    LogFilename = new QLineEdit(QLatin1String(kDesignLogFile), page);
    place(LogFilename, {600, 2580, 4515, 285});
    BrowseLogFile = button(new QPushButton(QLatin1String(kBrowse)), page, {5220, 2580, 315, 280});

    connect(LoggingOn, &QRadioButton::toggled, this, [this](bool on) {
        if (on) {
            LoggingOn_Click();
        }
    });
    connect(LoggingOff, &QRadioButton::toggled, this, [this](bool on) {
        if (on) {
            LoggingOff_Click();
        }
    });
    connect(BrowseLogFile, &QPushButton::clicked, this, [this] { BrowseLogFile_Click(); });
}

void ConfigForm::Form_Unload(int& cancel) {
    Q_UNUSED(cancel);
    QDialog* face = Window;
    if (!face) {
        return;
    }
    // Nothing of the old face may call back once it is going.
    for (QObject* child : face->findChildren<QObject*>()) {
        disconnect(child, nullptr, this, nullptr);
    }
    FromIP->GotFocus = {};
    FromIP->KeyPress = {};
    ToIP->GotFocus = {};
    ToIP->KeyPress = {};
    static_cast<ConfigDialog*>(face)->CloseBox = {};
    static_cast<ConfigFormControls&>(*this) = ConfigFormControls{};
    face->done(QDialog::Rejected);
    face->hide();
    face->deleteLater();
}
