#include "Platform/Workspace/RunningApplications.h"

#include "Platform/Async/Background.h"
#include "Platform/Workspace/DesktopEntries.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace quillmere {

Q_LOGGING_CATEGORY(runningApplicationsLog, "app.quillmere.Quillmere.RunningApplications")

namespace {

// PF_KTHREAD in the flags field of /proc/<pid>/stat.
constexpr unsigned long kernelThreadFlag = 0x00200000;
// An environment past this is not read further: the launcher's variables sit near its start.
constexpr std::size_t maximumEnvironmentRead = 256 * 1024;
// A command line past this is not read further: the program and its script come first.
constexpr std::size_t maximumCommandLineRead = 64 * 1024;
const QByteArray launchedDesktopFileKey = QByteArrayLiteral("GIO_LAUNCHED_DESKTOP_FILE=");
const QByteArray launchedDesktopFilePidKey = QByteArrayLiteral("GIO_LAUNCHED_DESKTOP_FILE_PID=");
// What sandboxes and launchers leave in the environment of the application they run: the
// flatpak application id (its desktop-file id), the desktop file of a snap, the AppImage file.
const QByteArray flatpakIdKey = QByteArrayLiteral("FLATPAK_ID=");
const QByteArray snapDesktopFileKey = QByteArrayLiteral("BAMF_DESKTOP_FILE_HINT=");
const QByteArray appImageKey = QByteArrayLiteral("APPIMAGE=");
const QByteArray winePrefixKey = QByteArrayLiteral("WINEPREFIX=");
const QByteArray homeKey = QByteArrayLiteral("HOME=");

enum class ReadStatus { ok, gone, unreadable };

// A process that ended between the listing and the read is gone, not unreadable.
ReadStatus statusOf(int error)
{
    return (error == ENOENT || error == ESRCH) ? ReadStatus::gone : ReadStatus::unreadable;
}

ReadStatus readAt(int folder, const QByteArray &relative, std::size_t ceiling, QByteArray &out)
{
    const int fd = ::openat(folder, relative.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return statusOf(errno);
    out.resize(qsizetype(ceiling));
    std::size_t filled = 0;
    while (filled < ceiling) {
        const ssize_t got = ::read(fd, out.data() + filled, ceiling - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return statusOf(error);
        }
        if (got == 0)
            break;
        filled += std::size_t(got);
    }
    ::close(fd);
    out.truncate(qsizetype(filled));
    return ReadStatus::ok;
}

struct StatFields
{
    char state = '?';
    unsigned long flags = 0;
    quint64 startTime = 0;
};

// "<pid> (<comm>) <state> <ppid> ...": the command may hold spaces and parentheses, so the
// fields start after the last ')'.
std::optional<StatFields> parseStat(const QByteArray &stat)
{
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
    if (fields.isEmpty() || fields.front().isEmpty())
        return std::nullopt;
    StatFields parsed;
    parsed.state = fields[0][0];
    // The fields after the command are numbered from 3: flags is 9, starttime 22.
    if (fields.size() > 6)
        parsed.flags = fields[6].toULong();
    if (fields.size() > 19)
        parsed.startTime = fields[19].toULongLong();
    return parsed;
}

QString canonicalPath(const QByteArray &path)
{
    char resolved[PATH_MAX];
    if (!::realpath(path.constData(), resolved))
        return {};
    return QFile::decodeName(resolved);
}

// The file a wine process runs: wine gives it its Windows path ("C:\\...\\x.exe") as argv[0],
// which lies below the prefix's dosdevices folder. Empty when it is not such a path or no file.
QString wineProgramPath(const QString &argument, const QString &prefix)
{
    static const QRegularExpression dosPath(QStringLiteral("^([A-Za-z]):\\\\(.+)$"));
    const QRegularExpressionMatch match = dosPath.match(argument);
    if (!match.hasMatch() || prefix.isEmpty())
        return {};
    QString rest = match.captured(2);
    rest.replace(u'\\', u'/');
    return canonicalPath(QFile::encodeName(prefix + QStringLiteral("/dosdevices/") + match.captured(1).toLower()
                                           + QStringLiteral(":/") + rest));
}

} // namespace

struct ProcessScan
{
    quint64 generation = 0;
    bool failed = false;
    QString failure;
    // The user's processes left out because their stat or executable could not be read.
    int unreadable = 0;
    QList<RunningApplication> applications;
    // By bundle identifier: the other profile identifiers the application's processes answer to.
    QHash<QString, QStringList> identifiers;
};

// Reads /proc on a worker thread. The identity of a process is worked out once, when its
// (pid, start time, executable) is first seen; later scans read only stat and exe. One scan
// at a time.
class ProcessScanner
{
public:
    explicit ProcessScanner(ProcessRoots roots) : m_roots(std::move(roots)) {}

    ProcessScan scan();

private:
    struct Identity
    {
        quint64 startTime = 0;
        QByteArray exeLink;
        QString executablePath;
        QString bundleIdentifier;
        QString name;
        // The profile identifiers the process answers to besides its bundle identifier.
        QStringList identifiers;
    };
    struct Found
    {
        pid_t pid = 0;
        quint64 startTime = 0;
        QByteArray exeLink;
    };

    Identity identify(int procFolder, const Found &process, const std::map<pid_t, QString> &executables) const;
    QString executableOf(const Found &process) const;

    std::mutex m_mutex;
    const ProcessRoots m_roots;
    std::shared_ptr<const DesktopEntryIndex> m_index;
    std::unordered_map<pid_t, Identity> m_known;
    quint64 m_generation = 0;
};

QString ProcessScanner::executableOf(const Found &process) const
{
    const QByteArray link = QFile::encodeName(m_roots.procRoot) + '/' + QByteArray::number(process.pid) + "/exe";
    QString path = canonicalPath(link);
    if (path.isEmpty()) {
        // A replaced or deleted executable still names the path the process started from.
        QByteArray text = process.exeLink;
        if (text.endsWith(" (deleted)"))
            text.chop(qsizetype(sizeof(" (deleted)") - 1));
        path = QFile::decodeName(text);
    }
    return path;
}

ProcessScanner::Identity ProcessScanner::identify(int procFolder, const Found &process,
                                                  const std::map<pid_t, QString> &executables) const
{
    Identity identity;
    identity.startTime = process.startTime;
    identity.exeLink = process.exeLink;
    identity.executablePath = executables.at(process.pid);

    QByteArray environment;
    const QByteArray pidText = QByteArray::number(process.pid);
    QString desktopFile;
    pid_t launcher = 0;
    QString flatpakId;
    QString snapDesktopFile;
    QString appImage;
    QString winePrefix;
    QString home;
    if (readAt(procFolder, pidText + "/environ", maximumEnvironmentRead, environment) == ReadStatus::ok) {
        const std::pair<const QByteArray &, QString &> wanted[] = {
            {launchedDesktopFileKey, desktopFile}, {flatpakIdKey, flatpakId}, {snapDesktopFileKey, snapDesktopFile},
            {appImageKey, appImage},               {winePrefixKey, winePrefix}, {homeKey, home},
        };
        for (const QByteArray &variable : environment.split('\0')) {
            if (variable.startsWith(launchedDesktopFilePidKey)) {
                launcher = pid_t(variable.mid(launchedDesktopFilePidKey.size()).toInt());
                continue;
            }
            for (const auto &[key, value] : wanted) {
                if (variable.startsWith(key)) {
                    value = QFile::decodeName(variable.mid(key.size()));
                    break;
                }
            }
        }
    }
    QStringList arguments;
    QByteArray commandLine;
    if (readAt(procFolder, pidText + "/cmdline", maximumCommandLineRead, commandLine) == ReadStatus::ok) {
        for (const QByteArray &argument : commandLine.split('\0'))
            arguments << QFile::decodeName(argument);
        // The line ends with a NUL: the split leaves an empty last word.
        if (commandLine.endsWith('\0'))
            arguments.removeLast();
    }
    const QString workingFolder = canonicalPath(QFile::encodeName(m_roots.procRoot) + '/' + pidText + "/cwd");
    // An interpreter's script, a jar, a shell script run by its shell.
    const QString script = arguments.size() > 1 ? scriptOfArguments(arguments.mid(1), workingFolder) : QString();

    const auto addIdentifier = [&identity](const QString &identifier) {
        if (!identifier.isEmpty() && !identity.identifiers.contains(identifier))
            identity.identifiers << identifier;
    };
    addIdentifier(identity.executablePath);
    addIdentifier(script);
    if (!arguments.isEmpty()) {
        if (arguments.front().startsWith(u'/'))
            addIdentifier(canonicalPath(QFile::encodeName(arguments.front())));
        if (winePrefix.isEmpty() && !home.isEmpty())
            winePrefix = home + QStringLiteral("/.wine");
        addIdentifier(wineProgramPath(arguments.front(), winePrefix));
    }
    if (!appImage.isEmpty())
        addIdentifier(canonicalPath(QFile::encodeName(appImage)));
    // A sandboxed application's id is the id of the desktop entry it exports.
    QString sandboxId = flatpakId;
    if (sandboxId.isEmpty() && !snapDesktopFile.isEmpty())
        sandboxId = desktopFileId(snapDesktopFile, m_roots.dataDirs).value_or(QString());
    addIdentifier(sandboxId);

    // Children inherit the launcher's variables: a shell inside a launched terminal is not the
    // terminal. The launched process itself, and helpers running its own executable, are.
    const auto launcherExecutable = executables.find(launcher);
    const bool launchedAsEntry =
        !desktopFile.isEmpty()
        && (launcher == 0 || launcher == process.pid
            || (launcherExecutable != executables.end() && launcherExecutable->second == identity.executablePath));
    if (launchedAsEntry && QFileInfo(desktopFile).isFile()) {
        if (const std::optional<QString> id = desktopFileId(desktopFile, m_roots.dataDirs)) {
            identity.bundleIdentifier = *id;
            if (const DesktopEntry *entry = m_index->entryWithId(*id))
                identity.name = entry->name;
            else if (const auto entry = readDesktopEntry(desktopFile, m_roots.locale, {}))
                identity.name = entry->name;
        }
    }
    if (identity.bundleIdentifier.isEmpty()) {
        // The sandbox's own entry; then the entry that runs this program with this script, the
        // entry whose program the script is (a script started by its interpreter), and the
        // entry of the program alone.
        const DesktopEntry *entry = sandboxId.isEmpty() ? nullptr : m_index->entryWithId(sandboxId);
        if (!entry && !script.isEmpty())
            entry = m_index->entryForProgram(identity.executablePath, script);
        if (!entry && !script.isEmpty())
            entry = m_index->entryForProgram(script);
        if (!entry)
            entry = m_index->entryForProgram(identity.executablePath);
        if (entry) {
            identity.bundleIdentifier = entry->id;
            identity.name = entry->name;
        }
    }
    if (identity.bundleIdentifier.isEmpty())
        identity.bundleIdentifier = identity.executablePath;
    if (identity.name.isEmpty())
        identity.name = QFileInfo(identity.executablePath).fileName();
    return identity;
}

ProcessScan ProcessScanner::scan()
{
    const std::lock_guard lock(m_mutex);
    ProcessScan result;
    result.generation = ++m_generation;

    if (!m_index || !m_index->isCurrent()) {
        m_index = DesktopEntryIndex::build(m_roots.dataDirs, m_roots.locale, m_roots.searchPath);
        // Exec matches may have changed with the entries.
        m_known.clear();
    }

    const int procFolder = ::open(QFile::encodeName(m_roots.procRoot).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFolder < 0) {
        result.failed = true;
        result.failure = QString::fromLocal8Bit(std::strerror(errno));
        return result;
    }
    DIR *listing = ::fdopendir(::dup(procFolder));
    if (!listing) {
        result.failed = true;
        result.failure = QString::fromLocal8Bit(std::strerror(errno));
        ::close(procFolder);
        return result;
    }

    std::vector<Found> processes;
    while (const dirent *child = ::readdir(listing)) {
        char *end = nullptr;
        const long pid = std::strtol(child->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || child->d_name[0] < '0' || child->d_name[0] > '9')
            continue;
        // The folder's owner is the process's effective user.
        struct stat owner {};
        if (::fstatat(procFolder, child->d_name, &owner, 0) != 0 || owner.st_uid != m_roots.uid)
            continue;

        // The link first: kernel threads and zombies have none, and it costs less than stat.
        const QByteArray name(child->d_name);
        char target[PATH_MAX];
        const ssize_t length = ::readlinkat(procFolder, (name + "/exe").constData(), target, sizeof target);
        if (length < 0) {
            result.unreadable += statusOf(errno) == ReadStatus::gone ? 0 : 1;
            continue;
        }
        QByteArray stat;
        const ReadStatus statRead = readAt(procFolder, name + "/stat", 4096, stat);
        const std::optional<StatFields> fields = statRead == ReadStatus::ok ? parseStat(stat) : std::nullopt;
        if (!fields) {
            result.unreadable += statRead == ReadStatus::gone ? 0 : 1;
            continue;
        }
        if (fields->state == 'Z' || fields->state == 'X' || (fields->flags & kernelThreadFlag))
            continue;
        processes.push_back({pid_t(pid), fields->startTime, QByteArray(target, qsizetype(length))});
    }
    ::closedir(listing);

    std::sort(processes.begin(), processes.end(), [](const Found &a, const Found &b) { return a.pid < b.pid; });

    // Executables first, so that a process can be compared with the one that launched it.
    std::map<pid_t, QString> executables;
    for (const Found &process : processes) {
        const auto known = m_known.find(process.pid);
        const bool same = known != m_known.end() && known->second.startTime == process.startTime
                          && known->second.exeLink == process.exeLink;
        if (!same)
            m_known.erase(process.pid);
        executables[process.pid] = same ? known->second.executablePath : executableOf(process);
    }

    std::unordered_map<pid_t, Identity> seen;
    QSet<QString> listed;
    for (const Found &process : processes) {
        const auto known = m_known.find(process.pid);
        Identity identity = known != m_known.end() ? known->second : identify(procFolder, process, executables);
        // The lowest-numbered process stands for its application.
        if (!listed.contains(identity.bundleIdentifier)) {
            listed.insert(identity.bundleIdentifier);
            result.applications.append({identity.bundleIdentifier, identity.name, identity.executablePath});
        }
        QStringList &identifiers = result.identifiers[identity.bundleIdentifier];
        for (const QString &identifier : std::as_const(identity.identifiers)) {
            if (!identifiers.contains(identifier))
                identifiers << identifier;
        }
        seen.emplace(process.pid, std::move(identity));
    }
    ::close(procFolder);
    m_known = std::move(seen);

    std::sort(result.applications.begin(), result.applications.end(),
              [](const RunningApplication &a, const RunningApplication &b) { return a.bundleIdentifier < b.bundleIdentifier; });
    return result;
}

ProcessRoots ProcessRoots::currentUser()
{
    ProcessRoots roots;
    roots.dataDirs = defaultDataDirs();
    roots.uid = ::geteuid();
    roots.locale = defaultMessagesLocale();
    roots.searchPath = qEnvironmentVariable("PATH").split(u':', Qt::SkipEmptyParts);
    return roots;
}

RunningApplications::RunningApplications(Clock &clock, ProcessRoots roots, QObject *parent)
    : ApplicationEvents(parent), m_clock(clock), m_scanner(std::make_shared<ProcessScanner>(std::move(roots)))
{}

RunningApplications::~RunningApplications() = default;

void RunningApplications::start()
{
    if (m_started)
        return;
    m_started = true;
    m_reporting = false;
    m_poll = TaskHandle::start([this](std::stop_token stop) { return pollLoop(stop); });
}

void RunningApplications::stop()
{
    m_started = false;
    m_reporting = false;
    m_poll.cancel();
}

bool RunningApplications::isRunning(const QString &bundleIdentifier) const
{
    return std::any_of(m_snapshot.cbegin(), m_snapshot.cend(),
                       [&](const RunningApplication &app) { return app.bundleIdentifier == bundleIdentifier; });
}

std::optional<QList<RunningApplication>> RunningApplications::runningApplicationsFor(const QString &profileIdentifier) const
{
    if (!m_hasScanned || m_lastScanFailed)
        return std::nullopt;
    QList<RunningApplication> found;
    for (const qsizetype index : m_byIdentifier.value(profileIdentifier))
        found << m_snapshot.at(index);
    return found;
}

bool RunningApplications::isRunningNamed(const QString &name) const
{
    return std::any_of(m_snapshot.cbegin(), m_snapshot.cend(),
                       [&](const RunningApplication &app) { return app.name == name; });
}

QCoro::Task<> RunningApplications::refreshNow(std::stop_token stop)
{
    return scanAndApply(std::move(stop));
}

QCoro::Task<> RunningApplications::pollLoop(std::stop_token stop)
{
    QPointer<RunningApplications> self(this);
    Clock &clock = m_clock;
    for (;;) {
        auto scanning = scanAndApply(stop);
        co_await std::move(scanning);
        if (!self || stop.stop_requested())
            co_return;
        auto sleeping = clock.sleepFor(pollInterval, stop);
        if (!co_await std::move(sleeping) || !self)
            co_return;
    }
}

QCoro::Task<> RunningApplications::scanAndApply(std::stop_token stop)
{
    QPointer<RunningApplications> self(this);
    std::shared_ptr<ProcessScanner> scanner = m_scanner;
    auto work = [scanner] { return scanner->scan(); };
    auto scanning = runInBackground(std::move(work));
    const ProcessScan scan = co_await std::move(scanning);
    // A stopped poll applies nothing: stop() promises no further signal.
    if (!self || stop.stop_requested())
        co_return;
    self->apply(scan);
}

void RunningApplications::apply(const ProcessScan &scan)
{
    if (scan.generation <= m_appliedGeneration)
        return;
    m_appliedGeneration = scan.generation;
    if (scan.failed) {
        if (!m_lastScanFailed)
            qCWarning(runningApplicationsLog) << "cannot list processes, keeping the last snapshot:" << scan.failure;
        m_lastScanFailed = true;
        return;
    }
    m_lastScanFailed = false;
    if (scan.unreadable != m_lastUnreadable) {
        // Processes of other sandboxes are unreadable on most desktops: worth a word only when
        // looking for why an application is not seen.
        qCDebug(runningApplicationsLog) << scan.unreadable << "of the user's processes could not be read and are left out";
        m_lastUnreadable = scan.unreadable;
    }

    const QList<RunningApplication> before = std::exchange(m_snapshot, scan.applications);
    m_hasScanned = true;
    m_byIdentifier.clear();
    for (qsizetype index = 0; index < m_snapshot.size(); ++index) {
        const QString &bundleIdentifier = m_snapshot.at(index).bundleIdentifier;
        m_byIdentifier[bundleIdentifier] << index;
        for (const QString &identifier : scan.identifiers.value(bundleIdentifier)) {
            QList<qsizetype> &applications = m_byIdentifier[identifier];
            if (applications.isEmpty() || applications.back() != index)
                applications << index;
        }
    }
    if (!m_started)
        return;
    if (!m_reporting) {
        m_reporting = true;
        return;
    }

    QSet<QString> previous;
    for (const RunningApplication &app : before)
        previous.insert(app.bundleIdentifier);
    QSet<QString> current;
    for (const RunningApplication &app : scan.applications)
        current.insert(app.bundleIdentifier);

    // A receiver may stop the poll, or destroy this object, from its slot.
    const QPointer<RunningApplications> self(this);
    for (const RunningApplication &app : scan.applications) {
        if (previous.contains(app.bundleIdentifier))
            continue;
        Q_EMIT applicationLaunched(app.bundleIdentifier);
        if (!self || !m_reporting)
            return;
    }
    for (const RunningApplication &app : before) {
        if (current.contains(app.bundleIdentifier))
            continue;
        Q_EMIT applicationTerminated(app.bundleIdentifier);
        if (!self || !m_reporting)
            return;
    }
}

} // namespace quillmere
