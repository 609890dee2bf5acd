#include "platform/tipdialog/tip_dialog.h"

#include <QApplication>
#include <QDate>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QVBoxLayout>
#include <QWidget>

namespace {

constexpr const char* kWindowName = "TipOfTheDay";
constexpr const char* kWindowTitle = "Tip of the Day";
constexpr const char* kHeading = "Did you know ...";
constexpr const char* kNextTip = "&Next Tip";
constexpr const char* kClose = "&Close";
constexpr const char* kServerSection = "TFTPServer";

QStringList tipsFor(const QString& section) {
    if (section.compare(QLatin1String(kServerSection), Qt::CaseInsensitive) == 0) {
        return {
            QStringLiteral("Clients reach only the files beneath the TFTP root directory. Choose "
                           "it on the \"TFTP Root Directory\" tab of Configure."),
            QStringLiteral("You can let clients only fetch files, or only send them: see the "
                           "\"Security\" tab of Configure."),
            QStringLiteral("Only clients whose addresses lie in a permitted range are served "
                           "once you add a range on the \"Advanced Security\" tab."),
            QStringLiteral("The server can shut itself down after a time without transfers: "
                           "see the \"Auto-Close\" tab of Configure."),
            QStringLiteral("Every request can be written to a log file of your choice: see the "
                           "\"Log\" tab of Configure."),
            QStringLiteral("Press F1 in the server's window or in the configuration dialog for "
                           "help on it."),
        };
    }
    return {QStringLiteral("Press F1 for help on the window in front of you.")};
}

// The one tip window of the process; showing tips again brings it forward.
class TipWindow : public QWidget {
public:
    TipWindow() {
        setObjectName(QLatin1String(kWindowName));
        setAttribute(Qt::WA_DeleteOnClose);
        setWindowTitle(QLatin1String(kWindowTitle));
        program_ = new QLabel;
        auto* heading = new QLabel(QLatin1String(kHeading));
        QFont bold = heading->font();
        bold.setBold(true);
        heading->setFont(bold);
        tip_ = new QLabel;
        tip_->setWordWrap(true);
        tip_->setMinimumHeight(80);
        tip_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        auto* next = new QPushButton(QLatin1String(kNextTip));
        auto* close = new QPushButton(QLatin1String(kClose));
        close->setDefault(true);
        auto* buttons = new QHBoxLayout;
        buttons->addStretch();
        buttons->addWidget(next);
        buttons->addWidget(close);
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(program_);
        layout->addWidget(heading);
        layout->addWidget(tip_, 1);
        layout->addLayout(buttons);
        resize(420, 220);
        connect(next, &QPushButton::clicked, this, [this] { showTip(index_ + 1); });
        connect(close, &QPushButton::clicked, this, &QWidget::close);
    }

    void setSection(const QString& programName, const QString& path, const QString& section) {
        // What the caller handed over stays readable on the window.
        setProperty("ProgramName", programName);
        setProperty("Path", path);
        setProperty("Section", section);
        program_->setText(programName);
        program_->setVisible(!programName.isEmpty());
        tips_ = tipsFor(section);
        // A different tip each day, starting from the day of the year.
        showTip(QDate::currentDate().dayOfYear());
    }

private:
    void showTip(int index) {
        index_ = index % int(tips_.size());
        tip_->setText(tips_[index_]);
        setProperty("Tip", tips_[index_]);
    }

    QLabel* program_ = nullptr;
    QLabel* tip_ = nullptr;
    QStringList tips_;
    int index_ = 0;
};

QPointer<TipWindow>& tipWindow() {
    static QPointer<TipWindow> w;
    return w;
}

// The program's main window while it is shown: the active one, else the first to be found.
QWidget* shownMainWindow() {
    QWidget* active = QApplication::activeWindow();
    if (qobject_cast<QMainWindow*>(active) && !active->isMinimized()) {
        return active;
    }
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMainWindow*>(w) && w->isVisible() && !w->isMinimized()) {
            return w;
        }
    }
    return nullptr;
}

// As a dialog of the program opens: centred over its main window, else on the screen. Not yet
// shown, the window has no frame; it will get one like the main window's.
void placeCentred(QWidget* window) {
    QRect area;
    QSize decorations(0, 0);
    if (const QWidget* main = shownMainWindow()) {
        area = main->frameGeometry();
        decorations = main->frameGeometry().size() - main->size();
    } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        area = screen->availableGeometry();
    }
    if (area.isValid()) {
        QRect frame(QPoint(), window->size().expandedTo(window->minimumSizeHint()) + decorations);
        frame.moveCenter(area.center());
        window->move(frame.topLeft());
    }
}

} // namespace

void TipDialog::Show(const QString& section) {
    const bool opening = !tipWindow();
    if (opening) {
        tipWindow() = new TipWindow;
    }
    tipWindow()->setSection(programName_, path_, section);
    // An open window stays where the user has it.
    if (opening) {
        placeCentred(tipWindow());
    }
    tipWindow()->show();
    tipWindow()->raise();
    tipWindow()->activateWindow();
}
