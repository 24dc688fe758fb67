#include "Engine/SyncEngine.h"

#include "Accounts/KeychainVault.h"
#include "ActivityLog/SyncLogger.h"
#include "Engine/BookmarkManager.h"
#include "FileServices/FileChecksum.h"
#include "FileServices/FileScan.h"
#include "Model/DAWConfiguration.h"
#include "Model/ModelContext.h"
#include "Model/MultipartUploadState.h"
#include "Model/StoreFiles.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Model/SyncRule.h"
#include "Model/SyncSettings.h"
#include "Platform/Async/Background.h"
#include "Platform/Async/TaskGroup.h"
#include "Platform/Files/FileStamp.h"
#include "ServiceAPI/HarborlyAPIError.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "ServiceAPI/StagedCopy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QScopeGuard>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <set>

namespace quillmere {

namespace {

Q_LOGGING_CATEGORY(lcFolderOps, "app.quillmere.Quillmere.SyncEngine")

void logProgress(SyncLogger::Event event, const std::optional<QString> &detail)
{
    SyncLogger::shared().log(event, SyncLogger::Direction::none, QString(), detail);
}

// A location as this machine resolves it (links followed), for comparing folders.
QString resolvedLocation(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? normalizedPath(path) : canonical;
}

// What a reset may remove, taken from the records before they are forgotten: the files the
// service holds exactly as they are here.
struct LocalCopyReset
{
    QString root; // as the bookmark resolved it
    FolderScope scope;
    // Relative path -> the content last synced (lower-case SHA-256).
    QHash<QString, QString> synced;
};

struct ClearedCopy
{
    int removed = 0;
    int kept = 0;
};

// Blocking. Why a folder's local copy must not be cleared, or nothing when it may. The
// refusals guard what the user could not mean to empty, whatever the records say.
std::optional<QString> resetRefusal(const QString &root, const QStringList &otherFolders)
{
    const QString path = resolvedLocation(root);
    if (path == QLatin1String("/"))
        return QStringLiteral("it is the root of the file system");
    if (path == resolvedLocation(QDir::homePath()))
        return QStringLiteral("it is the home folder");
    struct stat self{};
    struct stat parent{};
    if (::stat(QFile::encodeName(path).constData(), &self) != 0 || !S_ISDIR(self.st_mode)
        || ::stat(QFile::encodeName(path + QStringLiteral("/..")).constData(), &parent) != 0)
        return QStringLiteral("it cannot be read");
    if (self.st_dev != parent.st_dev || self.st_ino == parent.st_ino)
        return QStringLiteral("it is the root of a mounted drive");
    for (const QString &other : otherFolders) {
        const QString otherPath = resolvedLocation(other);
        if (otherPath == path || otherPath.startsWith(path + u'/'))
            return QStringLiteral("it holds the sync folder at %1").arg(otherPath);
    }
    return std::nullopt;
}

QCoro::Task<std::optional<QString>> judgeReset(QString root, QStringList otherFolders)
{
    auto judging = [root = std::move(root), otherFolders = std::move(otherFolders)] {
        return resetRefusal(root, otherFolders);
    };
    return runInBackground(std::move(judging));
}

// Blocking. Unlinks the file only while it is a regular file reached through real folders on
// the root's file system and its content is still `expected`.
bool removeIfSynced(const QString &root, const QString &path, const QString &expected, dev_t device)
{
    if (localPresence(root, path) != LocalPresence::present)
        return false;
    const QByteArray native = QFile::encodeName(path);
    struct stat before{};
    if (::lstat(native.constData(), &before) != 0 || !S_ISREG(before.st_mode) || before.st_dev != device)
        return false;
    QString checksum;
    try {
        checksum = computeFileChecksumSync(path);
    } catch (const std::exception &) {
        return false;
    }
    if (checksum.compare(expected, Qt::CaseInsensitive) != 0)
        return false;
    // A save while the file was read keeps it.
    struct stat after{};
    if (::lstat(native.constData(), &after) != 0 || !(FileStamp::of(before) == FileStamp::of(after)))
        return false;
    return ::unlink(native.constData()) == 0;
}

// Blocking. Removes, one by one, the folder's files that the service holds as they are here,
// then the folders that emptied; everything else stays and is counted as kept. The listing is
// the full sync's: it follows no link and enters no other file system.
ClearedCopy clearLocalCopy(const LocalCopyReset &job)
{
    ClearedCopy cleared;
    const QString root = normalizedPath(job.root);
    struct stat rootStatus{};
    if (::stat(QFile::encodeName(root).constData(), &rootStatus) != 0)
        return cleared;
    QStringList files;
    QStringList unreadable;
    if (job.scope.isFlat())
        files = listFilesWithExtensions(root, job.scope.extensions(), &unreadable);
    else
        scanDirectoryRecursively(root, files, unreadable);

    const QString prefix = root + u'/';
    std::set<QString> emptied;
    for (const QString &path : files) {
        if (!path.startsWith(prefix))
            continue;
        const QString relative = path.mid(prefix.size());
        if (!job.scope.includes(QStringView(relative)))
            continue;
        const auto synced = job.synced.constFind(relative);
        if (synced == job.synced.cend() || !removeIfSynced(root, path, *synced, rootStatus.st_dev)) {
            ++cleared.kept;
            continue;
        }
        ++cleared.removed;
        for (qsizetype slash = relative.lastIndexOf(u'/'); slash > 0; slash = relative.lastIndexOf(u'/', slash - 1))
            emptied.insert(relative.left(slash));
    }
    // Deepest first, so a parent is tried after its children; rmdir leaves a folder that
    // still holds anything.
    std::vector<QString> folders(emptied.begin(), emptied.end());
    std::sort(folders.begin(), folders.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &folder : folders) {
        const QByteArray native = QFile::encodeName(prefix + folder);
        struct stat status{};
        if (::lstat(native.constData(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_dev == rootStatus.st_dev)
            ::rmdir(native.constData());
    }
    return cleared;
}

// The wipe's file and vault work, after it returned: the staged copies of the interrupted
// uploads, then the vault removals queued by the wipe.
QCoro::Task<> finishWipe(std::vector<QCoro::Task<>> vaultRemovals, QStringList stagedCopies)
{
    // Only files inside the staging folder go, and none a running upload still sends from.
    auto removing = [stagedCopies = std::move(stagedCopies), folder = LibraryAPIClient::stagingFolder(),
                     inUse = StagedCopy::inUse()] {
        for (const QString &path : stagedCopies)
            if (!inUse.count(path))
                removeStagedFile(folder, path);
    };
    auto staging = runInBackground(std::move(removing));
    co_await std::move(staging);
    for (auto &removal : vaultRemovals)
        co_await std::move(removal);
}

// Ends a folder's hold once: at end() or, on any other way out of the operation, when it goes.
class FolderHold
{
public:
    explicit FolderHold(std::function<void()> release) : m_release(std::move(release)) {}
    ~FolderHold() { end(); }
    FolderHold(const FolderHold &) = delete;
    FolderHold &operator=(const FolderHold &) = delete;
    void end()
    {
        if (auto release = std::exchange(m_release, nullptr))
            release();
    }

private:
    std::function<void()> m_release;
};

QCoro::Task<> runDeltaPassOf(std::shared_ptr<SyncLaneInterface> lane,
                             std::shared_ptr<std::optional<QString>> failure)
{
    lane->resetDeltaFailureCount();
    lane->retryFailedFiles();
    auto passing = lane->performDeltaSync();
    *failure = co_await std::move(passing);
}

} // namespace

// --- Manual sync, pause and resume

void SyncEngine::requestManualSync()
{
    if (m_isPaused || m_lanes.empty())
        return;
    setIsSyncingNow(true);
    logProgress(SyncLogger::Event::deltaSync, QStringLiteral("Manual sync requested"));
    std::erase_if(m_manualSyncTasks, [](const TaskHandle &task) { return !task.isRunning(); });
    auto body = [engine = QPointer<SyncEngine>(this), epoch = m_folderOpsEpoch](std::stop_token) {
        return runManualSync(engine, epoch);
    };
    m_manualSyncTasks.push_back(TaskHandle::startSoon(std::move(body)));
}

void SyncEngine::conflictAcknowledged(const QUuid &folderID, const QString &localPath, bool editOwed)
{
    const auto owner = lane(folderID);
    if (!owner)
        return;
    owner->conflictAcknowledged(localPath, editOwed);
    // While paused, resuming starts every lane, and its pass finds the edit owed.
    if (editOwed && !m_isPaused)
        owner->refreshPriority();
}

QCoro::Task<> SyncEngine::runManualSync(QPointer<SyncEngine> engine, quint64 epoch)
{
    if (!engine)
        co_return;
    // Each pass holds its lane: a lane disabled meanwhile lives until its pass has ended (a
    // stopped lane's pass ends at once).
    const auto current = engine->lanes();
    TaskGroup passes(int(std::max<std::size_t>(current.size(), 1)));
    // Each pass's answer, in table order.
    std::vector<std::shared_ptr<std::optional<QString>>> failures;
    for (const auto &lane : current) {
        auto failure = failures.emplace_back(std::make_shared<std::optional<QString>>());
        auto pass = [lane, failure](std::stop_token) { return runDeltaPassOf(lane, failure); };
        co_await passes.spawn(std::move(pass));
    }
    co_await passes.waitForAll();
    if (!engine)
        co_return;
    engine->setIsSyncingNow(false);
    // After a stop (a wipe, a sign-out, a hibernation that stopped the lanes) the passes
    // ended early: nothing to report. Hibernation logs its own cause.
    if (engine->m_folderOpsEpoch != epoch || engine->m_isHibernating)
        co_return;
    // A pass that could not read its feed synced nothing: the sync did not complete. What
    // the lanes show (their lastError) stays as they left it.
    const auto failed =
        std::find_if(failures.begin(), failures.end(), [](const auto &failure) { return failure->has_value(); });
    if (failed != failures.end())
        logProgress(SyncLogger::Event::syncFailed, QStringLiteral("Manual sync failed: %1").arg((*failed)->value()));
    else
        logProgress(SyncLogger::Event::syncCompleted, QStringLiteral("Manual sync complete"));
    engine->refreshAggregateStatus();
}

void SyncEngine::pauseAll()
{
    setIsPaused(true);
    for (const auto &lane : lanes())
        lane->pause();
    refreshAggregateStatus();
}

void SyncEngine::resumeAll()
{
    setIsPaused(false);
    for (const auto &lane : lanes()) {
        lane->setIsPaused(false);
        lane->setSyncState(SyncEngineState::idle());
        // A lane whose folder is being reset is started by the reset itself.
        if (!isFolderHeld(lane->laneID()))
            lane->start();
    }
    refreshAggregateStatus();
}

// --- Folder changes from the settings window

QCoro::Task<> SyncEngine::folderLocationChanged(std::shared_ptr<SyncFolder> requested)
{
    if (!requested)
        co_return;
    const QUuid id = requested->stableID();
    const QPointer<SyncEngine> self(this);
    const quint64 epoch = m_folderOpsEpoch;
    auto folder = storedFolder(id);
    if (!folder)
        co_return;
    if (!folder->isEnabled()) {
        deleteTrackedFiles(id);
        folder->setNeedsResync(true);
        saveQuietly();
        logProgress(SyncLogger::Event::syncStarted,
                    folder->name() + QStringLiteral(" disabled — resync deferred until enabled"));
        co_return;
    }

    // A location on, inside or around another lane's folder is refused as createLane refuses
    // it, or two lanes would sync the same files: the folder keeps no lane and shows the
    // overlap, and its records go (they name the old place), so nothing is sent for them.
    const auto refusedForOverlap = [this, id](const SyncFolder &moved) {
        const auto holder = overlappingLaneFolder(moved);
        if (!holder)
            return false;
        if (const auto dropped = takeLane(id)) {
            dropped->stop();
            releaseLater(dropped);
        }
        deleteTrackedFiles(id);
        refuse(moved, *holder);
        refreshAggregateStatus();
        return true;
    };
    if (refusedForOverlap(*folder))
        co_return;

    holdFolder(id);
    FolderHold hold([self, id] {
        if (self)
            self->releaseFolder(id);
    });
    // The old lane ends before the service forgets the files: its delta pass would otherwise
    // apply the reset's deletions to the old location.
    if (const auto old = lane(id))
        old->stop();
    auto resetting = resetFolderOnServer(folder);
    co_await std::move(resetting);
    if (!self)
        co_return;
    folder = storedFolder(id);
    if (!folder)
        co_return; // wiped meanwhile
    if (const auto existing = lane(id)) {
        // Another lane may have begun at an overlapping place while the service answered.
        if (refusedForOverlap(*folder))
            co_return;
        // The lane forgets the records and starts again from the new location.
        auto resettingLane = existing->reset();
        co_await std::move(resettingLane);
        if (!self)
            co_return;
    } else {
        deleteTrackedFiles(id);
        hold.end();
        if (folder->isEnabled() && mayCreateLanesSince(epoch))
            createLane(folder);
    }
    refreshAggregateStatus();
}

void SyncEngine::folderSettingsChanged(const std::shared_ptr<SyncFolder> &requested)
{
    if (!requested)
        return;
    const QUuid id = requested->stableID();
    if (const auto existing = lane(id)) {
        existing->refreshPriority();
    } else if (const auto folder = storedFolder(id); folder && folder->isEnabled()) {
        createLane(folder);
    }
    refreshAggregateStatus();
}

QCoro::Task<> SyncEngine::folderEnabled(std::shared_ptr<SyncFolder> requested)
{
    if (!requested)
        co_return;
    const QUuid id = requested->stableID();
    const QPointer<SyncEngine> self(this);
    const quint64 epoch = m_folderOpsEpoch;
    auto folder = storedFolder(id);
    if (!folder || !folder->isEnabled())
        co_return;
    if (folder->needsResync()) {
        folder->setNeedsResync(false);
        saveQuietly();
        holdFolder(id);
        FolderHold hold([self, id] {
            if (self)
                self->releaseFolder(id);
        });
        // A lane kept from before the move works on the old location: it ends first.
        if (const auto old = takeLane(id)) {
            old->stop();
            releaseLater(old);
        }
        auto resetting = resetFolderOnServer(folder);
        co_await std::move(resetting);
        if (!self)
            co_return;
        folder = storedFolder(id);
        if (!folder)
            co_return;
        deleteTrackedFiles(id);
        hold.end();
        if (!folder->isEnabled() || !mayCreateLanesSince(epoch)) {
            refreshAggregateStatus();
            co_return;
        }
    }
    createLane(folder);
    refreshAggregateStatus();
}

void SyncEngine::folderDisabled(const std::shared_ptr<SyncFolder> &requested)
{
    if (!requested)
        return;
    const QUuid id = requested->stableID();
    if (const auto stopped = takeLane(id)) {
        stopped->stop();
        logProgress(SyncLogger::Event::syncStarted,
                    stopped->syncFolder()->name() + QStringLiteral(" disabled — lane stopped"));
        releaseLater(stopped);
    }
    // A folder refused for overlapping another is no longer an error once it is off.
    forgetRefusal(id);
    refreshAggregateStatus();
}

QCoro::Task<> SyncEngine::resetFolderOnServer(std::shared_ptr<SyncFolder> folder)
{
    // A folder that never received a cursor has nothing at the service to forget.
    if (!folder || !folder->deltaCursor())
        co_return;
    const QString name = folder->name();
    const QUuid id = folder->stableID();
    const SyncFolderType kind = folder->folderType();
    // The plan mirror's files are the plans' own: forgetting them would clear every plan.
    if (folder->policy().mirrorsPlanLayout)
        co_return;
    folder.reset();
    const QPointer<SyncEngine> self(this);
    const auto api = m_apiClient;
    const auto skip = [&name](const QString &why) {
        logProgress(SyncLogger::Event::syncStarted, QStringLiteral("Server reset skipped for %1: %2").arg(name, why));
    };

    // The reset names the kind alone, and the service clears every file of that kind: another
    // folder of the kind, here or on any other device of the account, would lose its files
    // (and its devices their synced copies). Unless the account's registry says this folder
    // is the only one, nothing is sent; the new lane's full sync then matches what is there.
    QList<LibraryAPIClient::RemoteSyncFolder> registry;
    try {
        auto listing = api->listSyncFolders();
        registry = co_await std::move(listing);
    } catch (...) {
        if (self)
            skip(QStringLiteral("the account's sync folders could not be read (%1)")
                     .arg(describeError(std::current_exception())));
        co_return;
    }
    // A folder wiped meanwhile has nothing left to forget.
    if (!self || !storedFolder(id))
        co_return;
    for (const auto &registered : std::as_const(registry)) {
        const QUuid registeredID = QUuid::fromString(registered.uuid);
        if (registeredID == id || registeredFolderType(registered.folderType) != kind)
            continue;
        skip(QStringLiteral("the account also syncs %1 of its kind").arg(registered.name));
        co_return;
    }
    for (const auto &other : fetchAllFolders()) {
        if (other->stableID() != id && other->folderType() == kind) {
            skip(QStringLiteral("another folder of its kind (%1) syncs with the same records").arg(other->name()));
            co_return;
        }
    }
    try {
        auto resetting = api->resetFolder(kind);
        const qint64 deleted = co_await std::move(resetting);
        logProgress(SyncLogger::Event::syncStarted,
                    QStringLiteral("Server cleared %1 records for %2").arg(QString::number(deleted), name));
    } catch (...) {
        logProgress(SyncLogger::Event::syncFailed,
                    QStringLiteral("Server reset failed for %1: %2").arg(name, describeError(std::current_exception())));
    }
}

// --- Reset and re-download

QCoro::Task<> SyncEngine::resetAndRedownload(std::shared_ptr<SyncFolder> requested)
{
    if (!requested)
        co_return;
    const QUuid id = requested->stableID();
    const QPointer<SyncEngine> self(this);
    const quint64 epoch = m_folderOpsEpoch;
    auto folder = storedFolder(id);
    if (!folder || !folder->folderPath())
        co_return;

    auto reading = m_vault.entryAsync(KeychainVault::folderBookmarkKey(id));
    const KeychainVault::Entry bookmark = co_await std::move(reading);
    if (!self)
        co_return;
    folder = storedFolder(id);
    if (!folder || !folder->folderPath())
        co_return;
    if (bookmark.unreadable) {
        logProgress(SyncLogger::Event::syncFailed,
                    QStringLiteral("Reset failed for %1: the keyring could not be read").arg(folder->name()));
        co_return;
    }
    if (!bookmark.value)
        co_return;

    const auto otherLocations = [this, id] {
        QStringList paths;
        for (const auto &other : fetchAllFolders())
            if (other->stableID() != id && other->folderPath())
                paths.append(*other->folderPath());
        return paths;
    };
    // Judged before anything changes, on the recorded location; again below on the one the
    // bookmark resolves to.
    auto judging = judgeReset(*folder->folderPath(), otherLocations());
    std::optional<QString> refusal = co_await std::move(judging);
    if (!self)
        co_return;
    folder = storedFolder(id);
    if (!folder || !folder->folderPath())
        co_return;
    if (refusal) {
        logProgress(SyncLogger::Event::syncFailed,
                    QStringLiteral("Reset refused for %1: %2").arg(folder->name(), *refusal));
        co_return;
    }

    // No lane works on the folder until the reset has made its own.
    holdFolder(id);
    FolderHold hold([self, id] {
        if (self)
            self->releaseFolder(id);
    });
    if (const auto old = takeLane(id)) {
        old->stop();
        releaseLater(old);
    }
    const auto bookmarks = m_bookmarkManager;
    QString root;
    try {
        auto accessing = bookmarks->startAccessing(*bookmark.value);
        root = co_await std::move(accessing);
    } catch (...) {
        if (!self)
            co_return;
        folder = storedFolder(id);
        if (!folder)
            co_return;
        logProgress(SyncLogger::Event::syncFailed,
                    QStringLiteral("Reset failed for %1: could not access folder").arg(folder->name()));
        // Nothing changed. The lane comes back and shows its own "access lost" (and tries
        // again when the drive returns), rather than the folder left without one while the
        // engine shows idle.
        hold.end();
        if (folder->isEnabled() && mayCreateLanesSince(epoch))
            createLane(folder);
        refreshAggregateStatus();
        co_return;
    }
    const auto endAccess = qScopeGuard([bookmarks, root] { bookmarks->stopAccessing(root); });
    if (!self)
        co_return;

    auto judgingResolved = judgeReset(root, otherLocations());
    refusal = co_await std::move(judgingResolved);
    if (!self)
        co_return;
    folder = storedFolder(id);
    if (!folder)
        co_return;
    const QString name = folder->name();
    if (refusal) {
        logProgress(SyncLogger::Event::syncFailed, QStringLiteral("Reset refused for %1: %2").arg(name, *refusal));
        // Nothing changed: the folder syncs on as before.
        hold.end();
        if (folder->isEnabled() && mayCreateLanesSince(epoch))
            createLane(folder);
        refreshAggregateStatus();
        co_return;
    }

    // The records go before the files: should the run end half-way, a file still on disk
    // without a record is found again by the next full sync, while a record whose file went
    // would be taken for a deletion to send to the service.
    LocalCopyReset job;
    job.root = root;
    job.scope = folder->scope();
    const bool forgetOnly = !folder->policy().appliesRemoteInFullSync;
    if (!forgetOnly) {
        const QString recordedRoot = normalizedPath(*folder->folderPath()) + u'/';
        try {
            for (const auto &record : m_storedModelContext->fetch(SyncFile::inFolder(id))) {
                const auto desired = record->desiredState();
                const auto local = record->localChecksum();
                const auto remote = record->remoteChecksum();
                if (record->syncStatus() != SyncFileStatus::synced
                    || (desired && *desired != SyncFileDesiredState::syncedLocal) || !local || local->isEmpty()
                    || (remote && !remote->isEmpty() && remote->compare(*local, Qt::CaseInsensitive) != 0)
                    || !record->localPath().startsWith(recordedRoot))
                    continue;
                job.synced.insert(record->localPath().mid(recordedRoot.size()), local->toLower());
            }
        } catch (const std::exception &error) {
            // Nothing is known to be at the service: every file stays.
            qCWarning(lcFolderOps) << "Tracked files could not be read:" << error.what();
        }
    }
    deleteTrackedFiles(id);
    folder->setDeltaCursor(std::nullopt);
    folder->setHeadCommitSha(std::nullopt);
    saveQuietly();

    if (!forgetOnly) {
        auto clearing = [job = std::move(job)] { return clearLocalCopy(job); };
        auto clearance = runInBackground(std::move(clearing));
        const ClearedCopy cleared = co_await std::move(clearance);
        if (!self)
            co_return;
        if (cleared.kept > 0)
            logProgress(SyncLogger::Event::syncStarted,
                        QStringLiteral("%1: kept %2 files the service does not hold").arg(name, QString::number(cleared.kept)));
        folder = storedFolder(id);
        if (!folder)
            co_return;
    }
    logProgress(SyncLogger::Event::syncStarted, name + QStringLiteral(": reset complete, restarting lane"));
    hold.end();
    if (folder->isEnabled() && mayCreateLanesSince(epoch))
        createLane(folder);
    refreshAggregateStatus();
}

// --- The wipe at sign-out

void SyncEngine::wipeLocalState()
{
    stop();
    logProgress(SyncLogger::Event::folderCleared, std::nullopt);
    if (!m_storedModelContext)
        return;
    const auto context = m_storedModelContext;
    const auto folders = fetchAllFolders();

    // Queued on the vault's thread now, in this order, ahead of the sign-out's own writes.
    std::vector<QCoro::Task<>> vaultRemovals;
    for (const auto &folder : folders)
        vaultRemovals.push_back(m_vault.removeValueAsync(KeychainVault::folderBookmarkKey(folder->stableID())));
    vaultRemovals.push_back(m_vault.removeValueAsync(KeychainVault::folderBookmarkKey()));

    const auto removeAll = [&context](auto descriptor) {
        try {
            for (const auto &record : context->fetch(descriptor))
                context->remove(record);
        } catch (const std::exception &error) {
            qCWarning(lcFolderOps) << "Records could not be read for the wipe:" << error.what();
        }
    };
    removeAll(FetchDescriptor<SyncFile>());
    for (const auto &folder : folders)
        context->remove(folder);
    removeAll(FetchDescriptor<SyncRule>());
    removeAll(FetchDescriptor<DAWConfiguration>());
    QStringList stagedCopies;
    try {
        for (const auto &state : context->fetch(FetchDescriptor<MultipartUploadState>())) {
            stagedCopies.append(state->stagedPath());
            context->remove(state);
        }
    } catch (const std::exception &error) {
        qCWarning(lcFolderOps) << "Interrupted uploads could not be read for the wipe:" << error.what();
    }
    if (const auto settings = fetchOrCreateSettings())
        settings->setLastDeltaSyncCursor(std::nullopt);

    assign(m_lastSyncAt, std::optional<QDateTime>(), &SyncEngine::lastSyncAtChanged);
    assign(m_lastError, std::optional<QString>(), &SyncEngine::lastErrorChanged);
    assign(m_recentSyncedFiles, QList<RecentFile>(), &SyncEngine::recentSyncedFilesChanged);
    assign(m_filesPending, qint64(0), &SyncEngine::filesPendingChanged);
    assign(m_filesSyncing, qint64(0), &SyncEngine::filesSyncingChanged);
    assign(m_filesInError, qint64(0), &SyncEngine::filesInErrorChanged);
    assign(m_conflictsToReview, qint64(0), &SyncEngine::conflictsToReviewChanged);
    assign(m_currentFileName, std::optional<QString>(), &SyncEngine::currentFileNameChanged);
    assign(m_syncErrors, QList<RecentFile>(), &SyncEngine::syncErrorsChanged);
    assign(m_foldersWithChanges, QSet<QUuid>(), &SyncEngine::foldersWithChangesChanged);
    setHasHydratedThisSession(false);
    saveQuietly();

    auto cleanup = [vaultRemovals = std::move(vaultRemovals), stagedCopies](std::stop_token) mutable {
        return finishWipe(std::move(vaultRemovals), std::move(stagedCopies));
    };
    m_wipeCleanupTask = TaskHandle::start(std::move(cleanup));
}

// --- Shared helpers

std::shared_ptr<SyncSettings> SyncEngine::fetchOrCreateSettings()
{
    if (!m_storedModelContext)
        return nullptr;
    try {
        const auto found = m_storedModelContext->fetch(SyncSettings::all());
        if (!found.empty())
            return found.front();
    } catch (const std::exception &error) {
        qCWarning(lcFolderOps) << "Settings could not be read:" << error.what();
    }
    auto created = m_storedModelContext->insert(std::make_shared<SyncSettings>());
    saveQuietly();
    return created;
}

void SyncEngine::deleteTrackedFiles(const QUuid &folderID)
{
    if (!m_storedModelContext)
        return;
    std::vector<std::shared_ptr<SyncFile>> records;
    try {
        records = m_storedModelContext->fetch(SyncFile::inFolder(folderID));
    } catch (const std::exception &error) {
        qCWarning(lcFolderOps) << "Tracked files could not be read:" << error.what();
        return;
    }
    for (const auto &record : records)
        m_storedModelContext->remove(record);
    saveQuietly();
}

std::shared_ptr<SyncFolder> SyncEngine::storedFolder(const QUuid &id) const
{
    return currentFolder(id, nullptr);
}

std::shared_ptr<SyncLaneInterface> SyncEngine::takeLane(const QUuid &id)
{
    const auto found = std::find_if(m_lanes.begin(), m_lanes.end(), [&](const LaneEntry &entry) { return entry.id == id; });
    if (found == m_lanes.end())
        return nullptr;
    auto taken = std::move(found->lane);
    m_lanes.erase(found);
    return taken;
}

void SyncEngine::saveQuietly()
{
    if (!m_storedModelContext)
        return;
    try {
        m_storedModelContext->save();
    } catch (const std::exception &error) {
        // The changes stay pending in the context and go with its next save.
        qCWarning(lcFolderOps) << "Saving failed:" << error.what();
    }
}

void SyncEngine::holdFolder(const QUuid &id)
{
    ++m_heldFolders[id];
}

void SyncEngine::releaseFolder(const QUuid &id)
{
    const auto found = m_heldFolders.find(id);
    if (found != m_heldFolders.end() && --found.value() <= 0)
        m_heldFolders.erase(found);
}

bool SyncEngine::mayCreateLanesSince(quint64 epoch) const
{
    // start() installs the workspace observers and stop() removes them: an engine stopped
    // since and started again runs lanes, one still stopped does not.
    return epoch == m_folderOpsEpoch || hasWorkspaceObservers();
}

} // namespace quillmere
