#include "Platform/Workspace/DesktopEntries.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace quillmere {

namespace {

Q_LOGGING_CATEGORY(desktopEntriesLog, "app.quillmere.Quillmere.DesktopEntries")

constexpr qint64 maximumEntrySize = 256 * 1024;
// Deep enough for any menu layout, shallow enough to end a loop of linked folders.
constexpr int maximumFolderDepth = 8;
const QString desktopSuffix = QStringLiteral(".desktop");

QString canonicalPath(const QString &path)
{
    char resolved[PATH_MAX];
    if (!::realpath(QFile::encodeName(path).constData(), resolved))
        return {};
    return QFile::decodeName(resolved);
}

bool isExecutableFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    return ::stat(native.constData(), &info) == 0 && S_ISREG(info.st_mode) && ::access(native.constData(), X_OK) == 0;
}

// The escapes a string value of a desktop entry may hold.
QString unescapeValue(QStringView value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c != u'\\' || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value[++i];
        switch (next.unicode()) {
        case 's': out += u' '; break;
        case 'n': out += u'\n'; break;
        case 't': out += u'\t'; break;
        case 'r': out += u'\r'; break;
        default: out += next; break;
        }
    }
    return out;
}

// The words of an Exec line: double quotes group, and inside them a backslash takes the next
// character literally.
QStringList execWords(const QString &exec)
{
    QStringList words;
    QString word;
    bool inWord = false;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted) {
            if (c == u'\\' && i + 1 < exec.size())
                word += exec[++i];
            else if (c == u'"')
                quoted = false;
            else
                word += c;
        } else if (c == u'"') {
            quoted = true;
            inWord = true;
        } else if (c == u' ' || c == u'\t') {
            if (inWord)
                words.append(std::exchange(word, QString()));
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.append(word);
    return words;
}

// Name keys to try, most specific first, for a locale such as "de_AT.UTF-8@euro".
QStringList nameKeys(const QString &locale)
{
    QString rest = locale;
    QString modifier;
    if (const qsizetype at = rest.indexOf(u'@'); at >= 0) {
        modifier = rest.mid(at + 1);
        rest.truncate(at);
    }
    if (const qsizetype dot = rest.indexOf(u'.'); dot >= 0)
        rest.truncate(dot);
    QString language = rest;
    QString country;
    if (const qsizetype underscore = rest.indexOf(u'_'); underscore >= 0) {
        language = rest.left(underscore);
        country = rest.mid(underscore + 1);
    }

    QStringList keys;
    if (!language.isEmpty() && language != u"C" && language != u"POSIX") {
        const auto key = [](const QString &suffix) { return QStringLiteral("Name[%1]").arg(suffix); };
        if (!country.isEmpty() && !modifier.isEmpty())
            keys << key(language + u'_' + country + u'@' + modifier);
        if (!country.isEmpty())
            keys << key(language + u'_' + country);
        if (!modifier.isEmpty())
            keys << key(language + u'@' + modifier);
        keys << key(language);
    }
    keys << QStringLiteral("Name");
    return keys;
}

} // namespace

QStringList defaultDataDirs()
{
    QStringList dirs;
    QString home = qEnvironmentVariable("XDG_DATA_HOME");
    if (home.isEmpty())
        home = QDir::homePath() + QStringLiteral("/.local/share");
    dirs << home;
    QString system = qEnvironmentVariable("XDG_DATA_DIRS");
    if (system.isEmpty())
        system = QStringLiteral("/usr/local/share/:/usr/share/");
    for (const QString &dir : system.split(u':', Qt::SkipEmptyParts))
        dirs << dir;
    return dirs;
}

QString defaultMessagesLocale()
{
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString value = qEnvironmentVariable(name);
        if (!value.isEmpty())
            return value;
    }
    return {};
}

std::optional<QString> desktopFileId(const QString &filePath, const QStringList &dataDirs)
{
    const QString fileName = QFileInfo(filePath).fileName();
    if (!fileName.endsWith(desktopSuffix) || fileName.size() == desktopSuffix.size())
        return std::nullopt;
    const QString path = QDir::cleanPath(QDir(filePath).absolutePath());
    for (const QString &dir : dataDirs) {
        const QString applications = QDir::cleanPath(dir + QStringLiteral("/applications")) + u'/';
        if (path.startsWith(applications))
            return path.mid(applications.size()).chopped(desktopSuffix.size()).replace(u'/', u'-');
    }
    return fileName.chopped(desktopSuffix.size());
}

namespace {

// The word of an Exec line that names its program: past a leading "env VAR=value ...".
qsizetype programWord(const QStringList &words)
{
    static const QRegularExpression assignment(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*="));
    qsizetype first = 0;
    if (!words.isEmpty() && QFileInfo(words.front()).fileName() == u"env") {
        first = 1;
        while (first < words.size() && assignment.match(words[first]).hasMatch())
            ++first;
    }
    return first;
}

QString programKey(const QString &program, const QString &script)
{
    return script.isEmpty() ? program : program + QChar(0) + script;
}

} // namespace

QString programOfExec(const QString &exec, const QStringList &searchPath)
{
    const QStringList words = execWords(exec);
    const qsizetype first = programWord(words);
    if (first >= words.size() || words[first].isEmpty())
        return {};
    const QString &program = words[first];
    if (program.contains(u'/'))
        return program.startsWith(u'/') ? canonicalPath(program) : QString();
    for (const QString &dir : searchPath) {
        const QString candidate = dir + u'/' + program;
        if (isExecutableFile(candidate))
            return canonicalPath(candidate);
    }
    return {};
}

QString scriptOfArguments(const QStringList &arguments, const QString &workingFolder)
{
    for (const QString &argument : arguments) {
        if (argument.isEmpty() || argument.startsWith(u'-') || argument.startsWith(u'%'))
            continue;
        QString path = argument;
        if (!path.startsWith(u'/')) {
            if (workingFolder.isEmpty())
                return {};
            path = workingFolder + u'/' + path;
        }
        struct stat info {};
        if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
            return {};
        return canonicalPath(path);
    }
    return {};
}

QString scriptOfExec(const QString &exec)
{
    const QStringList words = execWords(exec);
    const qsizetype first = programWord(words);
    if (first >= words.size())
        return {};
    return scriptOfArguments(words.mid(first + 1), QString());
}

std::optional<DesktopEntry> readDesktopEntry(const QString &filePath, const QString &locale,
                                             const QStringList &searchPath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.read(maximumEntrySize + 1);
    if (bytes.size() > maximumEntrySize)
        return std::nullopt;

    QHash<QString, QString> values;
    bool inMainGroup = false;
    bool sawMainGroup = false;
    for (const QByteArray &rawLine : bytes.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            // Keys of later groups (actions) must not override the entry's own.
            inMainGroup = line == u"[Desktop Entry]" && !sawMainGroup;
            sawMainGroup = sawMainGroup || inMainGroup;
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (!inMainGroup || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (!values.contains(key))
            values.insert(key, unescapeValue(QStringView(line).mid(equals + 1).trimmed()));
    }
    if (!sawMainGroup)
        return std::nullopt;

    DesktopEntry entry;
    entry.filePath = filePath;
    entry.application = values.value(QStringLiteral("Type")) == u"Application";
    entry.hidden = values.value(QStringLiteral("Hidden")) == u"true";
    for (const QString &key : nameKeys(locale)) {
        entry.name = values.value(key);
        if (!entry.name.isEmpty())
            break;
    }
    if (entry.application && !entry.hidden) {
        const QString exec = values.value(QStringLiteral("Exec"));
        entry.program = programOfExec(exec, searchPath);
        if (!entry.program.isEmpty())
            entry.script = scriptOfExec(exec);
    }
    return entry;
}

DesktopEntryIndex::FolderStamp DesktopEntryIndex::stampOf(const QString &path)
{
    FolderStamp stamp;
    stamp.path = path;
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode)) {
        stamp.exists = true;
        stamp.seconds = info.st_mtim.tv_sec;
        stamp.nanoseconds = info.st_mtim.tv_nsec;
    }
    return stamp;
}

std::shared_ptr<const DesktopEntryIndex> DesktopEntryIndex::build(const QStringList &dataDirs, const QString &locale,
                                                                  const QStringList &searchPath)
{
    auto index = std::make_shared<DesktopEntryIndex>();
    QStringList unreadable;
    // Folders are read most important first, so the first entry of an id or a program wins.
    const auto collect = [&](const auto &self, const QString &folder, const QString &idPrefix, int depth) -> void {
        index->m_stamps.push_back(stampOf(folder));
        if (!index->m_stamps.back().exists || depth > maximumFolderDepth)
            return;
        const QFileInfoList children =
            QDir(folder).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo &child : children) {
            if (child.isDir()) {
                self(self, child.filePath(), idPrefix + child.fileName() + u'-', depth + 1);
                continue;
            }
            if (!child.fileName().endsWith(desktopSuffix))
                continue;
            const QString id = idPrefix + child.fileName().chopped(desktopSuffix.size());
            if (id.isEmpty() || index->m_byId.contains(id))
                continue;
            std::optional<DesktopEntry> entry = readDesktopEntry(child.filePath(), locale, searchPath);
            if (!entry) {
                unreadable << child.filePath();
                continue;
            }
            entry->id = id;
            const QString key = programKey(entry->program, entry->script);
            if (!entry->program.isEmpty() && !index->m_idByProgram.contains(key))
                index->m_idByProgram.insert(key, id);
            index->m_byId.insert(id, std::move(*entry));
        }
    };
    for (const QString &dir : dataDirs)
        collect(collect, QDir::cleanPath(dir + QStringLiteral("/applications")), QString(), 0);
    if (!unreadable.isEmpty())
        qCInfo(desktopEntriesLog) << "desktop entries left out (unreadable, too large or without an entry group):"
                                  << unreadable;
    return index;
}

bool DesktopEntryIndex::isCurrent() const
{
    for (const FolderStamp &stamp : m_stamps) {
        if (!(stampOf(stamp.path) == stamp))
            return false;
    }
    return true;
}

const DesktopEntry *DesktopEntryIndex::entryWithId(const QString &id) const
{
    const auto found = m_byId.constFind(id);
    return found == m_byId.cend() ? nullptr : &found.value();
}

const DesktopEntry *DesktopEntryIndex::entryForProgram(const QString &canonicalProgram,
                                                       const QString &canonicalScript) const
{
    if (canonicalProgram.isEmpty())
        return nullptr;
    const auto found = m_idByProgram.constFind(programKey(canonicalProgram, canonicalScript));
    return found == m_idByProgram.cend() ? nullptr : entryWithId(found.value());
}

} // namespace quillmere
