// The plan mirror's layout: one directory per plan under the folder root, track directories
// inside it, and the plan files that are missing there. Plan and track directories carry an id
// prefix ("plan-12-", "track-3-"); when the service renames one, the directory is found by that
// prefix and moved, so its files are not downloaded again under the new name.

#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"

#include "ActivityLog/SyncLogger.h"
#include "FileServices/FileScan.h"
#include "Model/LaneQueries.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Background.h"
#include "Platform/Async/CancelledError.h"
#include "Platform/Files/SafeJoin.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <utility>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

namespace quillmere {

namespace {

using lane::logLine;

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

// What a parent directory holds for one id-prefixed name.
struct PrefixLook
{
    // parent/name below the root, and its absolute path; empty when SafeJoin refuses the name.
    QString relative;
    QString path;
    QString parentPath;
    // Something is at the path (a link counts), or a directory whose name equals it in NFC:
    // `existing` is then what is there, relative to the root.
    bool exists = false;
    QString existing;
    // A link, a file or another drive on the way: nothing is listed, moved or made below it.
    bool blocked = false;
    // Real directories of the parent whose names begin with the prefix, by name.
    QStringList candidates;
    // Made here: there was nothing to move.
    bool made = false;
};

// Blocking. Never follows a link below the root: entries are judged by fstatat without
// following, and the parent is opened with O_NOFOLLOW unless it is the root (which the user
// may have chosen through a link).
PrefixLook lookForPrefixed(const QString &root, const QString &parent, const QString &name,
                           const QString &prefix)
{
    PrefixLook look;
    const auto joined = SafeJoin(root, parent, name);
    if (!joined)
        return look;
    look.relative = parent.isEmpty() ? name : parent + u'/' + name;
    look.path = *joined;
    look.parentPath = joined->left(joined->size() - name.size() - 1);

    switch (localPresence(root, look.path)) {
    case LocalPresence::present:
        look.exists = true;
        look.existing = look.relative;
        return look;
    case LocalPresence::unknown:
        look.blocked = true;
        return look;
    case LocalPresence::absent:
        break;
    }

    struct stat rootStatus
    {
    };
    if (::stat(native(root).constData(), &rootStatus) != 0)
        return look;
    const bool parentIsRoot = QDir::cleanPath(look.parentPath) == QDir::cleanPath(root);
    const int fd = ::open(native(look.parentPath).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC | (parentIsRoot ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return look;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return look;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray raw(entry->d_name);
        if (raw.startsWith('.'))
            continue; // hidden, "." and ".."
        const QString entryName = QFile::decodeName(raw);
        if (QFile::encodeName(entryName) != raw)
            continue; // not UTF-8: a name we could not write back
        struct stat status
        {
        };
        if (::fstatat(fd, raw.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (lane::sameText(entryName, name)) {
            // The same name in another normalisation: that one is the directory, never a twin.
            look.exists = true;
            look.existing = parent.isEmpty() ? entryName : parent + u'/' + entryName;
            continue;
        }
        if (!entryName.startsWith(prefix) || !S_ISDIR(status.st_mode) || status.st_dev != rootStatus.st_dev)
            continue;
        look.candidates.append(entryName);
    }
    ::closedir(dir);
    std::sort(look.candidates.begin(), look.candidates.end());
    if (!look.exists && look.candidates.isEmpty())
        look.made = ::mkdir(native(look.path).constData(), 0777) == 0;
    return look;
}

// Blocking: makes the one directory when nothing is there (its parent was found a real
// directory). A failure is left to the files that would go there.
void makeDirectory(const QString &root, const QString &path)
{
    if (localPresence(root, path) == LocalPresence::absent)
        ::mkdir(native(path).constData(), 0777);
}

struct MoveOutcome
{
    int error = 0;
    // Which of the paths asked about hold something after the move.
    QSet<QString> onDisk;
};

// Blocking. Moves a real directory to a name where nothing is, never replacing anything.
MoveOutcome moveDirectory(const QString &root, const QString &from, const QString &to,
                          const QStringList &checkAfter)
{
    MoveOutcome outcome;
    struct stat status
    {
    };
    if (::lstat(native(from).constData(), &status) != 0) {
        outcome.error = errno;
        return outcome;
    }
    if (!S_ISDIR(status.st_mode)) {
        outcome.error = ENOTDIR;
        return outcome;
    }
    if (localPresence(root, to) != LocalPresence::absent) {
        outcome.error = EEXIST;
        return outcome;
    }
    if (::renameat2(AT_FDCWD, native(from).constData(), AT_FDCWD, native(to).constData(), RENAME_NOREPLACE) !=
        0) {
        outcome.error = errno;
        return outcome;
    }
    for (const QString &path : checkAfter) {
        struct stat there
        {
        };
        if (::lstat(native(path).constData(), &there) == 0)
            outcome.onDisk.insert(path);
    }
    return outcome;
}

struct FilePlace
{
    std::optional<QString> path;
    LocalPresence presence = LocalPresence::unknown;
};

// Blocking.
FilePlace placeFile(const QString &root, const QString &directory, const QString &filename)
{
    FilePlace place;
    place.path = SafeJoin(root, directory, filename);
    if (place.path)
        place.presence = localPresence(root, *place.path);
    return place;
}

QString shownPath(const QString &directory, const QString &name)
{
    return directory.isEmpty() ? name : directory + u'/' + name;
}

} // namespace

QCoro::Task<> SyncLane::hydratePlans(QString root, std::stop_token stop)
{
    const auto self = shared_from_this();
    const quint64 epoch = m_epoch;
    const auto api = m_apiClient;
    const QString name = syncFolder()->name();
    root = QDir::cleanPath(root);

    auto fetching = api->fetchPlans(stop);
    const QList<FileSyncAPI::PlanSummary> plans = co_await awaitStep(std::move(fetching), epoch, stop);

    PrefixResolutions resolved;
    QHash<qint64, QString> directories;
    bool queueOwed = false;
    for (const auto &plan : plans) {
        auto skipPlan = [&] {
            logLine(SyncLogger::Event::syncFailed,
                    QStringLiteral("Skipped plan %1 in %2: \"%3\" is not a usable folder name")
                        .arg(QString::number(plan.id), name, plan.folderName));
        };
        // A hidden or empty name would hold files the folder never syncs.
        if (!folderScope().includes(plan.folderName)) {
            skipPlan();
            continue;
        }
        auto resolving = detectIdPrefixRenames(
            root, QString(), plan.folderName, QStringLiteral("plan-%1-").arg(plan.id), resolved, epoch, stop);
        const std::optional<QString> planDirectory = co_await std::move(resolving);
        if (!planDirectory) {
            skipPlan();
            continue;
        }
        directories.insert(plan.id, root + u'/' + *planDirectory);
        m_planDirectories.insert(plan.id, root + u'/' + *planDirectory);
        for (const auto &file : plan.files) {
            auto placing = hydratePlanFile(root, *planDirectory, file, resolved, epoch, stop);
            const bool owed = co_await std::move(placing);
            queueOwed = queueOwed || owed;
        }
    }
    // Plans the service no longer lists have no place any more.
    m_planDirectories = std::move(directories);

    if (queueOwed && !m_isProcessingQueue) {
        // Outside a queue pass nobody else ends the transfer display or schedules the retries
        // of the downloads that failed (or of those that wait from an earlier run).
        setCurrentFile(std::nullopt);
        notifyStateChanged();
        scheduleQueuePassForRetries();
    }
}

QCoro::Task<bool> SyncLane::hydratePlanFile(QString root, QString planDirectory,
                                            FileSyncAPI::PlanFileSummary file, PrefixResolutions &resolved,
                                            quint64 epoch, std::stop_token stop)
{
    const QString drivePath = file.drivePath.value_or(QString());
    const QString wanted = drivePath.isEmpty() ? planDirectory : planDirectory + u'/' + drivePath;
    const QString shown = shownPath(wanted, file.filename);
    auto reject = [&] {
        logLine(SyncLogger::Event::syncFailed,
                QStringLiteral("Skipped %1 from %2: not a usable path in the folder")
                    .arg(shown, syncFolder()->name()));
    };

    // The whole path is checked before a track directory is looked for, so a name that can
    // never be placed moves and makes nothing.
    auto checking = [root, wanted, filename = file.filename] {
        return SafeJoin(root, wanted, filename).has_value();
    };
    auto check = runInBackground(std::move(checking));
    if (!co_await awaitStep(std::move(check), epoch, stop)) {
        reject();
        co_return false;
    }

    auto matching = matchTrackPrefix(root, planDirectory, drivePath, resolved, epoch, stop);
    const std::optional<QString> directory = co_await std::move(matching);
    if (!directory) {
        reject();
        co_return false;
    }
    auto placing = [root, directory = *directory, filename = file.filename] {
        return placeFile(root, directory, filename);
    };
    auto placement = runInBackground(std::move(placing));
    const FilePlace place = co_await awaitStep(std::move(placement), epoch, stop);
    if (!place.path) {
        reject();
        co_return false;
    }
    const QString path = *place.path;
    if (!folderScope().includes(root, path)) {
        if (!std::exchange(m_refusedEntriesLogged[file.id], true)) {
            logLine(SyncLogger::Event::fileSkipped,
                    QStringLiteral("Not downloading %1 to %2: the folder does not sync files there")
                        .arg(shown, syncFolder()->name()));
        }
        co_return false;
    }
    switch (place.presence) {
    case LocalPresence::present:
        co_return false; // what is there is left alone
    case LocalPresence::unknown:
        SyncLogger::shared().log(
            SyncLogger::Event::fileSkipped, SyncLogger::Direction::none, file.filename,
            QStringLiteral("Not downloaded to %1: a link, a file or another drive is in the way").arg(shown));
        co_return false;
    case LocalPresence::absent:
        break;
    }

    if (const auto known = fetchRecord(path)) {
        // A transfer of it is running, or a guard holds it: that one decides.
        if (known->syncStatus() == SyncFileStatus::syncing ||
            known->desiredState() == SyncFileDesiredState::downloadHeld)
            co_return false;
        // Owed already and waiting for its retry time: the queue's back-off decides.
        if (known->syncStatus() == SyncFileStatus::pending &&
            known->desiredState() == SyncFileDesiredState::downloadPending && waitsForRetry(*known))
            co_return true;
    }
    const auto record = fetchOrCreateRecord(path);
    record->setRemoteId(file.id);
    record->setRemoteChecksum(file.fileChecksum ? std::optional<QString>(file.fileChecksum->toLower()) : std::nullopt);
    noteListedSize(file.id, file.fileSize);
    record->setSyncDirection(SyncFileDirection::download);
    if (syncFolder()->policy().downloadsWaitForOpenApplications) {
        // Nothing is written into a project a running application has open: the file waits,
        // held, until the application quits.
        if (const QSet<QString> guards = runningGuardDAWs(); !guards.isEmpty()) {
            record->setDesiredState(SyncFileDesiredState::downloadHeld);
            record->setSyncStatus(SyncFileStatus::pending);
            setHeldDownloadNotice(heldNotice(file.filename, guards));
            saveQuietly();
            co_return false;
        }
    }
    record->setDesiredState(SyncFileDesiredState::downloadPending);
    record->setSyncStatus(SyncFileStatus::syncing);
    saveQuietly();

    // The queue's own run of one record: the download's checks, its completion, and on failure
    // the back-off that leaves the file owed.
    setFilesTotalThisPass(filesTotalThisPass() + 1);
    setFilesSyncing(filesSyncing() + 1);
    notifyStateChanged();
    auto running = syncRecord(record, stop);
    co_await std::move(running);
    setFilesSyncing(std::max<qint64>(filesSyncing() - 1, 0));
    notifyStateChanged();
    if (!isCurrent(epoch, stop))
        throw CancelledError();

    // A failure that set no retry time (a rate limit the slot already waited out) still owes
    // the file, due at once.
    if (const auto after = fetchRecord(path);
        after && after->syncStatus() == SyncFileStatus::pending &&
        after->desiredState() == SyncFileDesiredState::downloadPending && !after->nextRetryAt()) {
        after->setNextRetryAt(m_clock.currentDateTime());
        saveQuietly();
    }
    co_return true;
}

QCoro::Task<std::optional<QString>> SyncLane::matchTrackPrefix(QString root, QString planDirectory,
                                                               QString drivePath, PrefixResolutions &resolved,
                                                               quint64 epoch, std::stop_token stop)
{
    const QStringList components = drivePath.split(u'/', Qt::SkipEmptyParts);
    if (components.isEmpty())
        co_return planDirectory;
    static const QRegularExpression trackPrefix(QStringLiteral("^track-[0-9]+-"));
    const auto match = trackPrefix.match(components.first());
    // Only the first component can be a track directory; deeper ones are plain directories,
    // made just before a file is downloaded into them.
    if (!match.hasMatch())
        co_return planDirectory + u'/' + drivePath;
    auto resolving = detectIdPrefixRenames(root, planDirectory, components.first(), match.captured(0),
                                           resolved, epoch, stop);
    const std::optional<QString> track = co_await std::move(resolving);
    if (!track)
        co_return std::nullopt;
    co_return (QStringList{*track} + components.mid(1)).join(u'/');
}

QCoro::Task<std::optional<QString>> SyncLane::detectIdPrefixRenames(QString root, QString parent,
                                                                    QString name, QString idPrefix,
                                                                    PrefixResolutions &resolved,
                                                                    quint64 epoch, std::stop_token stop)
{
    // One answer per prefix and run: two names for one track in one reply must not move its
    // directory back and forth.
    const auto key = qMakePair(parent, idPrefix);
    if (const auto known = resolved.constFind(key); known != resolved.cend())
        co_return *known;

    auto looking = [root, parent, name, idPrefix] { return lookForPrefixed(root, parent, name, idPrefix); };
    auto lookup = runInBackground(std::move(looking));
    const PrefixLook look = co_await awaitStep(std::move(lookup), epoch, stop);
    if (look.relative.isEmpty())
        co_return std::nullopt;
    if (look.exists) {
        resolved.insert(key, look.existing);
        co_return look.existing;
    }
    if (look.blocked || look.made) {
        resolved.insert(key, look.relative);
        co_return look.relative;
    }

    // Only a directory this folder tracks files under is the renamed one; among several, the
    // one with the most of them.
    struct Candidate
    {
        QString name;
        QString path;
        std::vector<std::shared_ptr<SyncFile>> records;
    };
    std::vector<Candidate> candidates;
    for (const QString &candidate : look.candidates) {
        const QString path = look.parentPath + u'/' + candidate;
        auto records = fetchRecordsUnderDirectory(*m_modelContext, laneID(), path);
        if (!records.empty())
            candidates.push_back({candidate, path, std::move(records)});
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate &a, const Candidate &b) {
        return a.records.size() > b.records.size();
    });

    // A project open in a running application is not moved away under it: the directory
    // keeps its name for this run and is renamed by a later one.
    if (!candidates.empty() && syncFolder()->policy().downloadsWaitForOpenApplications) {
        if (const QSet<QString> guards = runningGuardDAWs(); !guards.isEmpty()) {
            const Candidate &kept = candidates.front();
            const QString oldRelative = parent.isEmpty() ? kept.name : parent + u'/' + kept.name;
            logLine(SyncLogger::Event::syncStarted,
                    QStringLiteral("Kept %1 for now: %2 is open (to be renamed %3)")
                        .arg(kept.name, *guards.cbegin(), name));
            resolved.insert(key, oldRelative);
            co_return oldRelative;
        }
    }

    for (const Candidate &candidate : candidates) {
        const QString oldRelative = parent.isEmpty() ? candidate.name : parent + u'/' + candidate.name;
        // A transfer under it writes to the path it was sent to: the directory keeps its name
        // for this run and is renamed by a later one.
        const bool inFlight =
            std::any_of(candidate.records.begin(), candidate.records.end(),
                        [](const auto &record) { return record->syncStatus() == SyncFileStatus::syncing; });
        if (inFlight) {
            logLine(SyncLogger::Event::syncStarted,
                    QStringLiteral("Kept %1 for now: a transfer in it is running (to be renamed %2)")
                        .arg(candidate.name, name));
            resolved.insert(key, oldRelative);
            co_return oldRelative;
        }

        QStringList newPaths;
        for (const auto &record : candidate.records)
            newPaths.append(look.path + record->localPath().mid(candidate.path.size()));
        auto moving = [root, from = candidate.path, to = look.path, newPaths] {
            return moveDirectory(root, from, to, newPaths);
        };
        auto move = runInBackground(std::move(moving));
        const MoveOutcome outcome = co_await awaitStep(std::move(move), epoch, stop);
        if (outcome.error != 0) {
            logLine(SyncLogger::Event::syncFailed,
                    QStringLiteral("Failed to rename %1 → %2: %3")
                        .arg(candidate.name, name,
                             QString::fromStdString(std::generic_category().message(outcome.error))));
            continue;
        }
        rewriteTrackedPaths(candidate.path + u'/', look.path + u'/', outcome.onDisk);
        logLine(SyncLogger::Event::syncStarted,
                QStringLiteral("Renamed %1 → %2 (id-prefix rename detection)").arg(candidate.name, name));
        resolved.insert(key, look.relative);
        co_return look.relative;
    }

    auto making = [root, path = look.path] { makeDirectory(root, path); };
    auto make = runInBackground(std::move(making));
    co_await awaitStep(std::move(make), epoch, stop);
    resolved.insert(key, look.relative);
    co_return look.relative;
}

void SyncLane::rewriteTrackedPaths(const QString &oldPrefix, const QString &newPrefix,
                                   const QSet<QString> &onDisk)
{
    const auto moving = fetchRecordsUnderDirectory(*m_modelContext, laneID(), oldPrefix.chopped(1));
    if (moving.empty())
        return;
    QHash<QString, std::shared_ptr<SyncFile>> atNewPaths;
    for (auto &record : fetchRecordsUnderDirectory(*m_modelContext, laneID(), newPrefix.chopped(1)))
        atNewPaths.insert(record->localPath(), std::move(record));

    for (const auto &record : moving) {
        // Its transfer writes to the path it was sent to; the record stays with it.
        if (record->syncStatus() == SyncFileStatus::syncing)
            continue;
        const QString to = newPrefix + record->localPath().mid(oldPrefix.size());
        if (const auto there = atNewPaths.value(to)) {
            // One record per path: the one whose file is there. A file at the new path came
            // with the moved directory, so it is this record's; without one, the record
            // already placed there stays.
            if (onDisk.contains(to) && there->syncStatus() != SyncFileStatus::syncing) {
                m_modelContext->remove(there);
            } else {
                m_modelContext->remove(record);
                continue;
            }
        }
        record->setLocalPath(to);
    }
    saveQuietly();
}

} // namespace quillmere
