#include "platform/shell.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QMimeDatabase>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QStringList>

#include <cstring>

#include <unistd.h>

namespace platform {

namespace {

constexpr const char* kOpenVerb = "open";
constexpr const char* kDefaultGroup = "Default Applications";
constexpr const char* kAddedGroup = "Added Associations";
constexpr const char* kRemovedGroup = "Removed Associations";
constexpr const char* kDesktopGroup = "Desktop Entry";
constexpr const char* kMimeAppsList = "mimeapps.list";
constexpr const char* kDesktopSuffix = "*.desktop";
// Lists and desktop entries are a few kilobytes; anything far larger is not one.
constexpr qint64 kMaxKeyFileSize = 1 << 20;

// The web page types are known here, so that finding the browser does not hinge on the MIME
// database being installed.
struct ExtensionType {
    const char* extension;
    const char* type;
};
constexpr ExtensionType kWebPageTypes[] = {
    {"htm", "text/html"},
    {"html", "text/html"},
    {"shtml", "text/html"},
    {"xhtml", "application/xhtml+xml"},
    {"xht", "application/xhtml+xml"},
};

using KeyGroup = QHash<QString, QString>;
using KeyFile = QHash<QString, KeyGroup>;

QString MimeTypeOf(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    for (const ExtensionType& known : kWebPageTypes) {
        if (suffix == QLatin1String(known.extension))
            return QLatin1String(known.type);
    }
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    return type.isValid() && !type.isDefault() ? type.name() : QString();
}

bool IsWebPageType(const QString& type) {
    for (const ExtensionType& known : kWebPageTypes) {
        if (type == QLatin1String(known.type))
            return true;
    }
    return false;
}

// The XDG base directories: a relative or empty setting counts as unset.
QString BaseHome(const char* variable, const char* underHome) {
    const QString set = qEnvironmentVariable(variable);
    if (QDir::isAbsolutePath(set))
        return set;
    const QString home = qEnvironmentVariable("HOME");
    return home.isEmpty() ? QString() : home + QLatin1Char('/') + QLatin1String(underHome);
}

QStringList BaseDirs(const char* variable, const char* fallback) {
    QStringList dirs;
    const QStringList set =
        qEnvironmentVariable(variable).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& dir : set) {
        if (QDir::isAbsolutePath(dir))
            dirs << dir;
    }
    return dirs.isEmpty() ? QString::fromLatin1(fallback).split(QLatin1Char(':')) : dirs;
}

QStringList ApplicationDirs() {
    QStringList dirs;
    const QString dataHome = BaseHome("XDG_DATA_HOME", ".local/share");
    if (!dataHome.isEmpty())
        dirs << dataHome;
    dirs << BaseDirs("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
    for (QString& dir : dirs)
        dir += QLatin1String("/applications");
    return dirs;
}

// The mimeapps.list files, most important first: the user's configuration, the system's
// configuration, then the applications folders; in each folder the current desktop's own list
// comes before the common one.
QStringList MimeAppsLists() {
    QStringList desktops;
    const QStringList current =
        qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& desktop : current)
        desktops << desktop.toLower();

    QStringList folders;
    const QString configHome = BaseHome("XDG_CONFIG_HOME", ".config");
    if (!configHome.isEmpty())
        folders << configHome;
    folders << BaseDirs("XDG_CONFIG_DIRS", "/etc/xdg") << ApplicationDirs();

    QStringList lists;
    for (const QString& folder : folders) {
        for (const QString& desktop : desktops)
            lists << folder + QLatin1Char('/') + desktop + QLatin1Char('-') +
                         QLatin1String(kMimeAppsList);
        lists << folder + QLatin1Char('/') + QLatin1String(kMimeAppsList);
    }
    return lists;
}

// A desktop-entry style file: groups of key=value lines. The first of repeated keys counts.
KeyFile ReadKeyFile(const QString& path) {
    KeyFile groups;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return groups;
    const QByteArray data = file.read(kMaxKeyFileSize);
    QString group;
    for (const QByteArray& raw : data.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            group = line.mid(1, line.size() - 2);
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (group.isEmpty() || equals <= 0)
            continue;
        KeyGroup& entries = groups[group];
        const QString key = line.left(equals).trimmed();
        if (!entries.contains(key))
            entries.insert(key, line.mid(equals + 1).trimmed());
    }
    return groups;
}

QStringList ListValue(const QString& value) {
    QStringList items;
    for (const QString& item : value.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString trimmed = item.trimmed();
        if (!trimmed.isEmpty())
            items << trimmed;
    }
    return items;
}

// The escapes that every string value may hold: \s \n \t \r and \\. Others stay for the
// quoting rules of the Exec key.
QString UnescapeString(const QString& value) {
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value.at(i + 1);
        switch (next.unicode()) {
        case 's':
            out += QLatin1Char(' ');
            break;
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        case '\\':
            out += QLatin1Char('\\');
            break;
        default:
            out += c;
            out += next;
            break;
        }
        ++i;
    }
    return out;
}

// The program of an Exec line: its first argument, plain or in double quotes (where a backslash
// escapes " ` $ and itself). The remaining arguments and field codes are not ours to pass.
QString ExecProgram(const QString& exec) {
    const QString line = UnescapeString(exec);
    qsizetype i = 0;
    while (i < line.size() && line.at(i) == QLatin1Char(' '))
        ++i;
    QString program;
    if (i < line.size() && line.at(i) == QLatin1Char('"')) {
        for (++i; i < line.size() && line.at(i) != QLatin1Char('"'); ++i) {
            if (line.at(i) == QLatin1Char('\\') && i + 1 < line.size() &&
                QStringView(u"\"`$\\").contains(line.at(i + 1)))
                ++i;
            program += line.at(i);
        }
        if (i == line.size())
            return QString(); // no closing quote
    } else {
        for (; i < line.size() && line.at(i) != QLatin1Char(' '); ++i)
            program += line.at(i);
    }
    return program.contains(QLatin1Char('%')) ? QString() : program;
}

// An absolute program path as the caller will see it, or nothing: an absolute name must exist,
// a bare one is looked for in PATH, and an answer that would not fit the caller's buffer is no
// answer.
QString ResolveProgram(const QString& program) {
    QString path;
    if (QDir::isAbsolutePath(program)) {
        const QFileInfo info(program);
        if (info.exists() && !info.isDir())
            path = QDir::cleanPath(program);
    } else if (!program.isEmpty() && !program.contains(QLatin1Char('/'))) {
        path = QStandardPaths::findExecutable(program);
    }
    return QFile::encodeName(path).size() < MAX_PATH ? path : QString();
}

// The program of an installed, visible application entry.
QString EntryProgram(const KeyGroup& entry) {
    if (entry.value(QStringLiteral("Hidden")) == QLatin1String("true"))
        return QString();
    const QString type = entry.value(QStringLiteral("Type"));
    if (!type.isEmpty() && type != QLatin1String("Application"))
        return QString();
    const QString tryExec = entry.value(QStringLiteral("TryExec"));
    if (!tryExec.isEmpty() && ResolveProgram(UnescapeString(tryExec)).isEmpty())
        return QString();
    return ResolveProgram(ExecProgram(entry.value(QStringLiteral("Exec"))));
}

// Desktop file IDs and their files; an ID in an earlier applications folder hides later ones.
// `order` gets the IDs in that precedence, sorted within each folder.
QHash<QString, QString> InstalledEntries(QStringList& order) {
    QHash<QString, QString> installed;
    for (const QString& dir : ApplicationDirs()) {
        QStringList relative;
        QDirIterator it(dir, {QLatin1String(kDesktopSuffix)}, QDir::Files,
                        QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        const QDir base(dir);
        while (it.hasNext())
            relative << base.relativeFilePath(it.next());
        relative.sort();
        for (const QString& file : relative) {
            QString id = file;
            id.replace(QLatin1Char('/'), QLatin1Char('-'));
            if (installed.contains(id))
                continue;
            installed.insert(id, dir + QLatin1Char('/') + file);
            order << id;
        }
    }
    return installed;
}

QString BrowserVariableProgram() {
    const QStringList commands =
        qEnvironmentVariable("BROWSER").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& command : commands) {
        const QString path = ResolveProgram(
            command.trimmed().section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty));
        if (!path.isEmpty())
            return path;
    }
    return QString();
}

QString AssociatedProgram(const QString& mimeType) {
    QStringList order;
    const QHash<QString, QString> installed = InstalledEntries(order);
    const auto programOf = [&](const QString& id) {
        const auto it = installed.constFind(id);
        return it == installed.constEnd()
                   ? QString()
                   : EntryProgram(ReadKeyFile(*it).value(QLatin1String(kDesktopGroup)));
    };

    QList<KeyFile> lists;
    for (const QString& list : MimeAppsLists())
        lists << ReadKeyFile(list);

    for (const KeyFile& list : lists) {
        for (const QString& id :
             ListValue(list.value(QLatin1String(kDefaultGroup)).value(mimeType))) {
            const QString program = programOf(id);
            if (!program.isEmpty())
                return program;
        }
    }

    // No usable default: the first association that a more important list has not removed.
    QSet<QString> removed;
    for (const KeyFile& list : lists) {
        for (const QString& id :
             ListValue(list.value(QLatin1String(kAddedGroup)).value(mimeType))) {
            if (removed.contains(id))
                continue;
            const QString program = programOf(id);
            if (!program.isEmpty())
                return program;
        }
        for (const QString& id :
             ListValue(list.value(QLatin1String(kRemovedGroup)).value(mimeType)))
            removed.insert(id);
    }
    for (const QString& id : order) {
        if (removed.contains(id))
            continue;
        const KeyGroup entry = ReadKeyFile(installed.value(id)).value(QLatin1String(kDesktopGroup));
        if (!ListValue(entry.value(QStringLiteral("MimeType"))).contains(mimeType))
            continue;
        const QString program = EntryProgram(entry);
        if (!program.isEmpty())
            return program;
    }
    return IsWebPageType(mimeType) ? BrowserVariableProgram() : QString();
}

// The code for a path that does not exist: its folder is missing too, or only the file.
long MissingCode(const QFileInfo& info) {
    return QFileInfo(info.absolutePath()).isDir() ? SE_ERR_FNF : SE_ERR_PNF;
}

} // namespace

long FindExecutableA(const char* file, const char* directory, char* result) {
    if (!file || !*file)
        return SE_ERR_FNF;
    if (!result)
        return SE_ERR_OOM;
    QString path = QFile::decodeName(file);
    if (!QDir::isAbsolutePath(path) && directory && *directory)
        path = QFile::decodeName(directory) + QLatin1Char('/') + path;
    const QFileInfo info(path);
    if (!info.exists())
        return MissingCode(info);

    const QString type = MimeTypeOf(path);
    const QString program = type.isEmpty() ? QString() : AssociatedProgram(type);
    if (program.isEmpty())
        return SE_ERR_NOASSOC;
    const QByteArray bytes = QFile::encodeName(program);
    std::memcpy(result, bytes.constData(), static_cast<size_t>(bytes.size()) + 1);
    return SE_SUCCESS;
}

long ShellExecuteA(HWND owner, const char* verb, const char* file, const char* parameters,
                   const char* directory, int showCommand) {
    Q_UNUSED(owner);
    Q_UNUSED(showCommand);
    if (verb && *verb && qstricmp(verb, kOpenVerb) != 0)
        return SE_ERR_NOASSOC;
    if (!file || !*file)
        return SE_ERR_FNF;

    const QString name = QFile::decodeName(file);
    QString program;
    if (name.contains(QLatin1Char('/'))) {
        program = QFileInfo(name).absoluteFilePath();
    } else {
        program = QStandardPaths::findExecutable(name);
        if (program.isEmpty())
            return SE_ERR_FNF;
    }
    QString workingDirectory;
    if (directory && *directory) {
        workingDirectory = QFile::decodeName(directory);
        if (!QFileInfo(workingDirectory).isDir())
            return SE_ERR_PNF;
    }

    const QFileInfo info(program);
    if (!info.exists())
        return MissingCode(info);
    if (info.isDir() || ::access(QFile::encodeName(program).constData(), X_OK) != 0)
        return SE_ERR_ACCESSDENIED;

    // The parameter text is one argument: an address is passed on exactly as it came.
    QStringList arguments;
    if (parameters && *parameters)
        arguments << QString::fromLocal8Bit(parameters);
    if (!QProcess::startDetached(program, arguments, workingDirectory))
        return SE_ERR_BAD_FORMAT;
    return SE_SUCCESS;
}

} // namespace platform
