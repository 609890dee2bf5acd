#include "platform/html_help.h"

#include "platform/msg_box.h"

#include <QFile>
#include <QHBoxLayout>
#include <QList>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>

#include <optional>

namespace platform {

namespace {

constexpr const char* kBundleMagic = "QUORVANE HELP 1";
constexpr const char* kTitleHeader = "title:";
constexpr const char* kTopicMarker = "@topic";
constexpr const char* kNoContext = "-";
constexpr const char* kViewerTitle = "HTML Help";
constexpr const char* kViewerName = "HtmlHelpViewer";
constexpr const char* kCannotOpen = "Cannot open the file: %1.";
constexpr const char* kPageMissing =
    "<html><body><h2>The page cannot be displayed</h2>"
    "<p>This help file holds no topic for the link or context number asked for.</p>"
    "</body></html>";
constexpr const char* kBack = "&Back";
constexpr const char* kForward = "&Forward";
constexpr const char* kContents = "&Contents";
// A help file is a few pages of text; anything far larger is not one of ours.
constexpr qint64 kMaxBundleBytes = 16 * 1024 * 1024;
constexpr DWORD_PTR kContentsContext = 1;

struct Topic {
    std::optional<DWORD_PTR> context;
    QString name;
    QString title;
    QString html;
};

struct Bundle {
    QString title;
    QList<Topic> topics;

    const Topic* byContext(DWORD_PTR context) const {
        for (const Topic& t : topics) {
            if (t.context == context) {
                return &t;
            }
        }
        return nullptr;
    }
    const Topic* byName(const QString& name) const {
        for (const Topic& t : topics) {
            if (t.name.compare(name, Qt::CaseInsensitive) == 0) {
                return &t;
            }
        }
        return nullptr;
    }
};

// "@topic <context or -> <name> <title>"; a header that does not parse starts no topic, and its
// lines are dropped up to the next topic.
std::optional<Topic> parseTopicLine(const QString& line) {
    const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() < 3 || parts[0] != QLatin1String(kTopicMarker)) {
        return std::nullopt;
    }
    Topic topic;
    if (parts[1] != QLatin1String(kNoContext)) {
        bool ok = false;
        const qulonglong number = parts[1].toULongLong(&ok);
        if (!ok || number > 0xFFFFFFFFu) {
            return std::nullopt;
        }
        topic.context = static_cast<DWORD_PTR>(number);
    }
    topic.name = parts[2];
    topic.title = parts.mid(3).join(QLatin1Char(' '));
    return topic;
}

std::optional<Bundle> readBundle(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxBundleBytes) {
        return std::nullopt;
    }
    const QByteArray bytes = file.read(kMaxBundleBytes + 1);
    if (bytes.size() > kMaxBundleBytes) {
        return std::nullopt;
    }
    QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    for (QString& line : lines) {
        if (line.endsWith(QLatin1Char('\r'))) {
            line.chop(1);
        }
    }
    if (!lines.isEmpty() && lines[0].startsWith(QChar(0xFEFF))) {
        lines[0].remove(0, 1);
    }
    if (lines.isEmpty() || lines[0].trimmed() != QLatin1String(kBundleMagic)) {
        return std::nullopt;
    }
    Bundle bundle;
    Topic* current = nullptr;
    bool skipping = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString& line = lines[i];
        if (line.startsWith(QLatin1String(kTopicMarker))) {
            const std::optional<Topic> topic = parseTopicLine(line);
            skipping = !topic.has_value();
            current = nullptr;
            if (topic) {
                bundle.topics.append(*topic);
                current = &bundle.topics.last();
            }
        } else if (current) {
            current->html += line + QLatin1Char('\n');
        } else if (!skipping && line.startsWith(QLatin1String(kTitleHeader), Qt::CaseInsensitive)) {
            bundle.title = line.mid(qsizetype(qstrlen(kTitleHeader))).trimmed();
        }
    }
    return bundle;
}

// Serves the pages from the bundle, so links between topics work and nothing is read from disk.
class HelpBrowser : public QTextBrowser {
public:
    using QTextBrowser::QTextBrowser;

    Bundle bundle;

    QVariant loadResource(int type, const QUrl& name) override {
        if (type != QTextDocument::HtmlResource) {
            return QVariant();
        }
        const Topic* topic = bundle.byName(name.path());
        return topic ? topic->html : QString::fromLatin1(kPageMissing);
    }
};

class HelpViewer : public QWidget {
public:
    explicit HelpViewer(HWND handle) : handle_(handle) {
        setObjectName(QLatin1String(kViewerName));
        setAttribute(Qt::WA_DeleteOnClose);
        auto* buttons = new QHBoxLayout;
        auto* back = new QPushButton(QLatin1String(kBack));
        auto* forward = new QPushButton(QLatin1String(kForward));
        auto* contents = new QPushButton(QLatin1String(kContents));
        buttons->addWidget(back);
        buttons->addWidget(forward);
        buttons->addWidget(contents);
        buttons->addStretch();
        browser_ = new HelpBrowser;
        browser_->setOpenExternalLinks(false);
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(buttons);
        layout->addWidget(browser_);
        resize(640, 480);
        connect(back, &QPushButton::clicked, browser_, &QTextBrowser::backward);
        connect(forward, &QPushButton::clicked, browser_, &QTextBrowser::forward);
        connect(browser_, &QTextBrowser::backwardAvailable, back, &QWidget::setEnabled);
        connect(browser_, &QTextBrowser::forwardAvailable, forward, &QWidget::setEnabled);
        connect(contents, &QPushButton::clicked, this, [this] { showContext(kContentsContext); });
        back->setEnabled(false);
        forward->setEnabled(false);
    }

    HWND handle() const { return handle_; }
    QTextBrowser* browser() const { return browser_; }

    void setBundle(const QString& path, Bundle bundle) {
        if (path != path_) {
            browser_->clearHistory();
        }
        path_ = path;
        browser_->bundle = std::move(bundle);
        setWindowTitle(browser_->bundle.title.isEmpty() ? QLatin1String(kViewerTitle)
                                                        : browser_->bundle.title);
    }

    void showContext(DWORD_PTR context) {
        if (const Topic* topic = browser_->bundle.byContext(context)) {
            browser_->setSource(QUrl(topic->name), QTextDocument::HtmlResource);
        } else {
            browser_->setHtml(QLatin1String(kPageMissing));
        }
    }

private:
    HWND handle_;
    QString path_;
    HelpBrowser* browser_ = nullptr;
};

QPointer<HelpViewer>& viewer() {
    static QPointer<HelpViewer> v;
    return v;
}

// Handles of their own, well away from the window layer's small numbers.
HWND nextHandle() {
    static HWND next = 0x48480000;
    return ++next;
}

} // namespace

HWND HtmlHelpA(HWND owner, const char* file, uint32_t command, DWORD_PTR data) {
    Q_UNUSED(owner);
    if (command == HH_CLOSE_ALL) {
        if (viewer()) {
            viewer()->close();
        }
        return 0;
    }
    if (command != HH_HELP_CONTEXT || file == nullptr || *file == '\0') {
        return 0;
    }
    const QString path = QString::fromLocal8Bit(file);
    std::optional<Bundle> bundle = readBundle(path);
    if (!bundle) {
        MsgBox(QString::fromLatin1(kCannotOpen).arg(path), vbExclamation,
               QLatin1String(kViewerTitle));
        return 0;
    }
    if (!viewer()) {
        viewer() = new HelpViewer(nextHandle());
    }
    viewer()->setBundle(path, std::move(*bundle));
    viewer()->showContext(data);
    viewer()->show();
    viewer()->raise();
    viewer()->activateWindow();
    return viewer()->handle();
}

QWidget* HtmlHelpViewer() {
    return viewer().data();
}

QString HtmlHelpViewerText() {
    return viewer() ? viewer()->browser()->toPlainText() : QString();
}

} // namespace platform
