#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"

#include "Accounts/KeychainVault.h"
#include "ActivityLog/SyncLogger.h"
#include "FileServices/FileChecksum.h"
#include "Model/LaneQueries.h"
#include "Model/ModelContext.h"
#include "Model/OperationResolution.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Background.h"
#include "Platform/Async/CancelledError.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/Files/FolderBookmark.h"
#include "Platform/Files/SafeJoin.h"
#include "Platform/Http/LocalFileError.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace quillmere {

namespace {

// A tracked path that does not lie inside the folder (a link on the way leads out, a ".."
// part): nothing is written or removed there.
class PathOutsideFolderError : public std::runtime_error
{
public:
    PathOutsideFolderError() : std::runtime_error("The file's path leads outside the sync folder.") {}
};

// What is at a path now, as far as replacing or removing it is concerned.
struct LocalItem
{
    enum class Kind { absent, regularFile, other } kind = Kind::absent;
    std::optional<QString> checksum; // of a regular file that could be read
    struct stat status{};
};

bool sameFileVersion(const struct stat &a, const struct stat &b)
{
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size
           && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Blocking. The item itself, never what a link points to; a regular file is hashed, and a
// file that changed while it was hashed has no checksum (it matches nothing).
LocalItem inspect(const QString &path, const std::stop_token &stop)
{
    LocalItem item;
    const QByteArray native = QFile::encodeName(path);
    if (::lstat(native.constData(), &item.status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return item;
        throw LocalFileError(errno);
    }
    if (!S_ISREG(item.status.st_mode)) {
        item.kind = LocalItem::Kind::other;
        return item;
    }
    item.kind = LocalItem::Kind::regularFile;
    try {
        const QString checksum = computeFileChecksumSync(path, stop);
        struct stat after{};
        if (::lstat(native.constData(), &after) == 0 && sameFileVersion(item.status, after))
            item.checksum = checksum;
    } catch (const FileChecksumError &) {
        // Unreadable now: the item carries no checksum, and nothing is proven by it.
    }
    return item;
}

// Blocking. Whether the path is what SafeJoin makes of its parts below the root.
bool liesInside(const QString &root, const QString &path)
{
    const QString cleanRoot = QDir::cleanPath(root);
    const QString cleanPath = QDir::cleanPath(path);
    if (!cleanPath.startsWith(cleanRoot + u'/'))
        return false;
    const QString relative = cleanPath.mid(cleanRoot.size() + 1);
    const qsizetype slash = relative.lastIndexOf(u'/');
    const QString dir = slash < 0 ? QString() : relative.left(slash);
    const QString name = relative.mid(slash + 1);
    const auto joined = SafeJoin(cleanRoot, dir, name);
    return joined && QDir::cleanPath(*joined) == cleanPath;
}

struct DownloadTarget
{
    bool inside = false;
    std::optional<QString> twin; // see nameTwin
    LocalItem existing;
};

// Blocking: checks the path, looks at what is there and makes the folders that will hold it.
DownloadTarget prepareDownloadTarget(const QString &root, const QString &path, const std::stop_token &stop)
{
    DownloadTarget target;
    target.inside = liesInside(root, path);
    if (!target.inside)
        return target;
    target.twin = lane::nameTwin(path);
    if (target.twin)
        return target;
    target.existing = inspect(path, stop);
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(QFileInfo(path).path()).toStdString(), error);
    if (error)
        throw LocalFileError(error.value());
    return target;
}

enum class LocalDeleteOutcome { removed, alreadyGone, notAFile, keptEdited };

// Blocking: removes one regular file, and only one whose content is `expected` unless any
// content may go. Never a folder, never through a link.
LocalDeleteOutcome removeLocalFile(const QString &root, const QString &path,
                                   const std::optional<QString> &expected, bool anyContent,
                                   const std::stop_token &stop)
{
    if (!liesInside(root, path))
        throw PathOutsideFolderError();
    const LocalItem item = inspect(path, stop);
    throwIfStopped(stop);
    switch (item.kind) {
    case LocalItem::Kind::absent:
        return LocalDeleteOutcome::alreadyGone;
    case LocalItem::Kind::other:
        return LocalDeleteOutcome::notAFile;
    case LocalItem::Kind::regularFile:
        break;
    }
    if (!anyContent && (!item.checksum || item.checksum != expected))
        return LocalDeleteOutcome::keptEdited;
    const QByteArray native = QFile::encodeName(path);
    // The version that was judged is the one removed: a save since then keeps the file.
    struct stat now{};
    if (::lstat(native.constData(), &now) == 0 && !anyContent && !sameFileVersion(now, item.status))
        return LocalDeleteOutcome::keptEdited;
    if (::unlink(native.constData()) != 0) {
        if (errno == ENOENT)
            return LocalDeleteOutcome::alreadyGone;
        throw LocalFileError(errno);
    }
    return LocalDeleteOutcome::removed;
}

enum class DeletionProof { gone, present, unproven };

// Blocking. A file is deleted here only when the folder is the one its bookmark records, at
// the path the records carry, and nothing at all is at the file's path below it.
DeletionProof proveDeletion(const QByteArray &bookmark, const QString &root, const QString &path)
{
    if (bookmark.isEmpty() || root.isEmpty())
        return DeletionProof::unproven;
    try {
        const auto resolved = FolderBookmark::resolve(bookmark);
        if (resolved.stale || !lane::sameText(QDir::cleanPath(resolved.path), QDir::cleanPath(root)))
            return DeletionProof::unproven;
    } catch (const std::exception &) {
        return DeletionProof::unproven;
    }
    switch (localPresence(root, path)) {
    case LocalPresence::absent:
        return DeletionProof::gone;
    case LocalPresence::present:
        return DeletionProof::present;
    case LocalPresence::unknown:
        break;
    }
    return DeletionProof::unproven;
}

bool isGoneAtService(const HarborlyAPIError &error)
{
    return error.code() == HarborlyAPIError::Code::serverError
           && (error.statusCode() == 404 || error.statusCode() == 410);
}

} // namespace

QCoro::Task<> SyncLane::downloadRecord(qint64 fileID, QString localPath, std::stop_token stop)
{
    const auto self = shared_from_this();
    const quint64 epoch = m_epoch;
    const auto api = m_apiClient;
    const auto folder = syncFolder();
    const QDateTime attemptedAt = m_clock.currentDateTime();
    const bool downloadOnly = !folder->policy().localEditsSurviveDownload;
    const QString root = folder->folderPath().value_or(QString());

    std::optional<QString> beforeChecksum;
    std::optional<QString> syncedHere;
    std::optional<QString> expectedChecksum;
    if (const auto record = fetchRecord(localPath)) {
        beforeChecksum = record->localChecksum();
        // A file moved here and not sent yet has no synced version here: it is never replaced.
        syncedHere = lastSyncedContent(*record);
        expectedChecksum = nonEmpty(record->remoteChecksum());
    }
    const bool planMirror = folder->policy().mirrorsPlanLayout;

    auto preparing = [root, localPath, stop] { return prepareDownloadTarget(root, localPath, stop); };
    auto preparation = runInBackground(std::move(preparing));
    const DownloadTarget target = co_await awaitStep(std::move(preparation), epoch, stop);
    if (!target.inside)
        throw PathOutsideFolderError();
    if (target.twin) {
        // Whatever the drive, the user's file is never at stake: the record waits in error.
        throw lane::LocalRefusal(QStringLiteral("Not downloaded: “%1” is already in this folder (the names differ "
                                                "only in case or accents); rename one of them")
                                     .arg(*target.twin));
    }

    std::optional<QString> checksum;
    std::optional<FileStamp> written;
    const LocalItem &existing = target.existing;
    if (existing.kind == LocalItem::Kind::other)
        throw LocalFileError(EEXIST); // a folder or a link is never replaced by a file
    if (existing.kind == LocalItem::Kind::regularFile) {
        if (existing.checksum && existing.checksum == expectedChecksum) {
            checksum = existing.checksum; // already the service's content
        } else if (!downloadOnly && (!existing.checksum || existing.checksum != syncedHere)) {
            // Not what this record last synced, but maybe a version the service held at this
            // very place (its listing says so): that is replaced, never sent back over the
            // newer one.
            if (!existing.checksum || planMirror || !listedHere(localPath, *existing.checksum)) {
                keepUnsyncedContent(localPath, QStringLiteral("Kept local changes instead of downloading id:%1")
                                                   .arg(fileID));
                co_return;
            }
        }
    }

    if (!checksum) {
        // The download replaces only what was judged here: nothing, or the last synced version.
        // A save in the meantime is the user's (a download-only folder takes the service's
        // version whatever is there).
        std::optional<JudgedDestination> judged;
        if (!downloadOnly)
            judged = JudgedDestination{existing.kind == LocalItem::Kind::regularFile
                                           ? std::optional<quillmere::FileStamp>(quillmere::FileStamp::of(existing.status))
                                           : std::nullopt};
        // The listed size bounds the body: a reply that runs past it ends at its first byte over.
        std::optional<qint64> expectedSize;
        if (const auto size = m_listedSizes.constFind(fileID); size != m_listedSizes.cend())
            expectedSize = *size;
        auto downloading = api->downloadFile(fileID, localPath, expectedSize, expectedChecksum, judged, stop);
        bool changedMeanwhile = false;
        bool goneAtService = false;
        try {
            co_await awaitStep(std::move(downloading), epoch, stop);
        } catch (const DestinationChangedError &) {
            changedMeanwhile = true;
        } catch (const HarborlyAPIError &error) {
            if (!isGoneAtService(error))
                throw;
            goneAtService = true;
        }
        if (changedMeanwhile) {
            keepUnsyncedContent(localPath,
                                QStringLiteral("Kept a local save made during the download of id:%1").arg(fileID));
            co_return;
        }
        if (goneAtService) {
            co_await settleGoneAtService(fileID, localPath, stop);
            co_return;
        }
        // What the lane itself just wrote there: the watcher's word on it, however late it
        // comes, is no change of the user's.
        auto stamping = runInBackground([localPath] { return fileStamp(localPath); });
        written = co_await awaitStep(std::move(stamping), epoch, stop);
        // The client checked the bytes against the listed checksum before the rename.
        checksum = expectedChecksum;
        if (!checksum) {
            try {
                auto hashing = computeFileChecksum(localPath, stop);
                checksum = co_await std::move(hashing);
            } catch (const std::exception &) {
                // Downloaded all the same; the checksum stays unknown (a stop is told just below).
            }
            if (!isCurrent(epoch, stop))
                throw CancelledError();
        }
    }

    m_listedSizes.remove(fileID);
    const auto record = fetchOrCreateRecord(localPath);
    record->setRemoteId(fileID);
    record->setLocalChecksum(checksum);
    forgetStaleBase(*record);
    record->setLastSyncedAt(m_clock.currentDateTime());
    stampSettled(*record);
    record->setSyncStatus(SyncFileStatus::synced);
    record->setSyncDirection(SyncFileDirection::download);

    OperationResolutionData row;
    row.id = QUuid::createUuid();
    row.fileUUID = record->fileUUID();
    row.operationType = QStringLiteral("download");
    row.beforePath = localPath;
    row.beforeChecksum = beforeChecksum;
    row.afterPath = localPath;
    row.afterChecksum = checksum;
    row.serverFileID = fileID;
    row.attemptedAt = attemptedAt;
    row.resolvedAt = m_clock.currentDateTime();
    row.outcome = QStringLiteral("succeeded");
    // The file is in place: its outcome rides with the group (a kill before the commit leaves
    // it owed, and its next download finds the service's content already there).
    groupOutcome(record, std::make_shared<OperationResolution>(std::move(row)));
    if (written && checksum)
        m_verifiedStamps.insert(localPath, *written);

    const QString name = QFileInfo(localPath).fileName();
    recordRecentFile(name, SyncFileDirection::download, RecentFile::Kind::transferred);
    SyncLogger::shared().log(SyncLogger::Event::fileDownloaded, SyncLogger::Direction::download, name,
                             QStringLiteral("id:%1").arg(fileID));
}

QCoro::Task<> SyncLane::settleGoneAtService(qint64 fileID, QString localPath, std::stop_token stop)
{
    const auto record = fetchRecord(localPath);
    // Changed or given another service file meanwhile: that version decides, not this answer.
    if (!record || record->remoteId() != fileID || record->desiredState() != SyncFileDesiredState::downloadPending)
        throw CancelledError();
    SyncLogger::shared().log(SyncLogger::Event::syncStarted, SyncLogger::Direction::none,
                             QFileInfo(localPath).fileName(),
                             QStringLiteral("Deleted at Harborly before it was downloaded (id:%1)").arg(fileID));
    // As a delete from the change feed: the copy here goes only while it holds the last
    // synced content (any content in a download-only folder); a local edit is kept and sent.
    record->oweLocalDelete();
    saveJournaled(nullptr, record);
    co_await deleteLocalRecord(record, std::move(stop));
}

void SyncLane::endDeletionProof()
{
    if (--m_deletesProving == 0)
        m_proofsEnded.resumeAll();
}

QCoro::Task<> SyncLane::awaitOtherProofs(quint64 epoch, std::stop_token stop)
{
    const auto self = shared_from_this();
    if (m_deletesProving == 0)
        co_return;
    const Clock::Duration until = m_clock.now() + otherProofsWait;
    // Wakes the waiters at the bound or at a stop, whichever comes first; each looks again. It
    // ends with the wait (its handle is this frame's), so a lane left alone keeps no sleeper.
    auto waking = [weak = weak_from_this(), &clock = m_clock, stop](std::stop_token ended) -> QCoro::Task<> {
        std::stop_source sleep;
        const std::stop_callback onEnd(ended, [sleep]() mutable { sleep.request_stop(); });
        const std::stop_callback onStop(stop, [sleep]() mutable { sleep.request_stop(); });
        co_await clock.sleepFor(otherProofsWait, sleep.get_token());
        if (ended.stop_requested())
            co_return;
        if (const auto lane = weak.lock())
            lane->m_proofsEnded.resumeAll();
    };
    const TaskHandle bound = TaskHandle::start(std::move(waking));
    while (m_deletesProving > 0 && m_clock.now() < until) {
        co_await m_proofsEnded.wait();
        if (!isCurrent(epoch, stop))
            throw CancelledError();
    }
}

QCoro::Task<> SyncLane::deleteRemoteRecord(std::shared_ptr<SyncFile> dispatched, std::stop_token stop)
{
    const auto self = shared_from_this();
    const quint64 epoch = m_epoch;
    const auto api = m_apiClient;
    const QString localPath = dispatched->localPath();
    const std::optional<QString> fileUUID = dispatched->fileUUID();
    const std::optional<qint64> remoteId = dispatched->remoteId();
    const qint64 generation = dispatched->generation();
    const auto desiredState = dispatched->desiredState();
    dispatched.reset(); // never written after the wait
    const QDateTime attemptedAt = m_clock.currentDateTime();
    const QString root = syncFolder()->folderPath().value_or(QString());

    // The mark was made earlier, from a scan: the deletion is proven again on the spot.
    QByteArray bookmark;
    if (m_vault) {
        auto reading = m_vault->entryAsync(KeychainVault::folderBookmarkKey(laneID()));
        bookmark = (co_await awaitStep(std::move(reading), epoch, stop)).value.value_or(QByteArray());
    }
    auto proving = [bookmark, root, localPath, hook = m_deletionProofHook] {
        if (hook)
            hook(localPath);
        return proveDeletion(bookmark, root, localPath);
    };
    auto proof = runInBackground(std::move(proving));
    ++m_deletesProving;
    auto proven = qScopeGuard([this] { endDeletionProof(); });
    const DeletionProof found = co_await awaitStep(std::move(proof), epoch, stop);
    // What the service holds is asked after the file was found gone here: a read asked before
    // that (however fresh) may predate another device's save the DELETE would destroy. The
    // deletes dispatched with this one finish their proofs first, so one read serves them all
    // (taken before the waiting deletes are woken, which may ask it at once).
    const quint64 proved = m_learnings;
    proven.dismiss();
    endDeletionProof();
    co_await awaitOtherProofs(epoch, stop);
    auto record = fetchRecord(localPath);
    if (!record || record->generation() != generation || record->desiredState() != desiredState)
        throw CancelledError(); // changed since it was marked: it waits for the next pass as it is now
    const QString name = QFileInfo(localPath).fileName();
    if (found == DeletionProof::present) {
        keepLocalEdit(localPath, QStringLiteral("Kept at Harborly: the file is in the folder again"));
        co_return;
    }
    bool unnamed = false;
    if (remoteId && found == DeletionProof::gone) {
        // What the last listing or change said may be old: the service is asked what it holds
        // now, and a newer version it tells of is judged below.
        auto hearing = hearServiceFirst(localPath, generation, epoch, stop, false, proved);
        unnamed = (co_await std::move(hearing)).has_value();
        record = fetchRecord(localPath);
        if (!record || record->desiredState() != desiredState)
            throw CancelledError();
    }
    // A newer version whose content the service did not name is newer all the same.
    unnamed = unnamed || (remoteId && m_unnamedVersions.contains(*remoteId));
    if (unnamed || hasNewerServiceVersion(*record)) {
        if (unnamed) {
            record->setRemoteChecksum(std::nullopt); // whatever it holds comes down
            m_unnamedVersions.remove(*remoteId);
        }
        // A delete carries no precondition: sent now, it would destroy a version no device has
        // synced here. The edit wins; the newer version comes down instead.
        record->oweDownload();
        record->setSyncStatus(SyncFileStatus::pending);
        record->setGeneration(record->generation() + 1);
        saveJournaled(nullptr, record);
        SyncLogger::shared().log(SyncLogger::Event::fileSkipped, SyncLogger::Direction::none, name,
                                 QStringLiteral("Not deleted at Harborly: it holds a newer version from another "
                                                "device, which comes down instead"));
        throw CancelledError();
    }
    if (found == DeletionProof::unproven) {
        // Behind a link, on another drive, or the folder is not where its records say: back
        // to its synced state, and the next full sync looks again.
        record->setDesiredState(SyncFileDesiredState::syncedLocal);
        record->setSyncStatus(SyncFileStatus::synced);
        record->setGeneration(record->generation() + 1);
        saveJournaled(nullptr, record);
        SyncLogger::shared().log(SyncLogger::Event::fileSkipped, SyncLogger::Direction::none, name,
                                 QStringLiteral("Kept at Harborly: could not confirm it was deleted here"));
        // Not a failure and nothing more to do: the queue only lets go of the record.
        throw CancelledError();
    }

    bool heldElsewhere = false;
    if (remoteId) {
        // The service file lives on under another record (moved there): it is not deleted.
        for (const auto &holder : fetchRecordsHoldingIds(*m_modelContext, laneID(), {*remoteId}))
            heldElsewhere = heldElsewhere
                            || (holder->localPath() != localPath
                                && holder->desiredState() != SyncFileDesiredState::deletedRemote);
        if (heldElsewhere)
            SyncLogger::shared().log(SyncLogger::Event::fileSkipped, SyncLogger::Direction::none, name,
                                     QStringLiteral("Kept at Harborly: another file of the folder is that file now"));
    }
    if (remoteId && !heldElsewhere) {
        // A delete at the service cannot be taken back: what this pass stored so far (the
        // uploads a moved file's delete waited for among it) reaches the store before it goes.
        // Refused, the delete waits for the back-off like the outcomes set back with it.
        if (!flushCommitGroup()) {
            if (const auto owed = fetchRecord(localPath);
                owed && owed->generation() == generation && owed->desiredState() == desiredState)
                retryOnBackOff(*owed, owed->retryCount() + 1);
            throw CancelledError();
        }
        try {
            auto deleting = api->deleteFile(*remoteId, stop);
            co_await std::move(deleting);
        } catch (const HarborlyAPIError &error) {
            if (!isCurrent(epoch, stop))
                throw CancelledError();
            if (!isGoneAtService(error))
                throw;
        } catch (...) {
            if (!isCurrent(epoch, stop))
                throw CancelledError();
            throw;
        }
        // Gone at the service: the full sync's listing no longer says where it is.
        if (m_listed)
            m_listed->forgetDeleted(*remoteId);
        if (!isCurrent(epoch, stop))
            throw CancelledError();
    }

    // Shown among the recent files as the deletion it was, not as a transfer.
    if (finishDeletion(QStringLiteral("deleteRemote"), localPath, fileUUID, generation, desiredState, remoteId,
                       attemptedAt))
        recordRecentFile(name, SyncFileDirection::upload, RecentFile::Kind::deleted);
}

QCoro::Task<> SyncLane::deleteLocalRecord(std::shared_ptr<SyncFile> dispatched, std::stop_token stop)
{
    const auto self = shared_from_this();
    const quint64 epoch = m_epoch;
    const QString localPath = dispatched->localPath();
    const std::optional<QString> fileUUID = dispatched->fileUUID();
    const std::optional<QString> expected = dispatched->localChecksum();
    const qint64 generation = dispatched->generation();
    const auto desiredState = dispatched->desiredState();
    dispatched.reset();
    const auto folder = syncFolder();
    const bool anyContent = !folder->policy().localEditsSurviveDownload;
    const QString root = folder->folderPath().value_or(QString());
    const QDateTime attemptedAt = m_clock.currentDateTime();

    auto removing = [root, localPath, expected, anyContent, stop] {
        return removeLocalFile(root, localPath, expected, anyContent, stop);
    };
    auto removal = runInBackground(std::move(removing));
    const LocalDeleteOutcome outcome = co_await awaitStep(std::move(removal), epoch, stop);

    const QString name = QFileInfo(localPath).fileName();
    if (outcome == LocalDeleteOutcome::keptEdited) {
        // The service file it held is gone (or let go): the edit goes up as a file of its own,
        // never held back by a version that no longer exists.
        if (const auto record = fetchRecord(localPath);
            record && record->desiredState() == SyncFileDesiredState::deletedLocal)
            forgetServiceFile(*record);
        keepLocalEdit(localPath, QStringLiteral("Kept local changes of a file deleted at Harborly"));
        co_return;
    }
    if (outcome == LocalDeleteOutcome::notAFile)
        SyncLogger::shared().log(SyncLogger::Event::fileSkipped, SyncLogger::Direction::none, name,
                                 QStringLiteral("Not a regular file: left in place"));

    if (finishDeletion(QStringLiteral("deleteLocal"), localPath, fileUUID, generation, desiredState, std::nullopt,
                       attemptedAt)
        && outcome == LocalDeleteOutcome::removed)
        recordRecentFile(name, SyncFileDirection::download, RecentFile::Kind::deleted);
}

bool SyncLane::finishDeletion(const QString &operationType, const QString &localPath,
                              const std::optional<QString> &fileUUID, qint64 generation,
                              const std::optional<SyncFileDesiredState> &desiredState,
                              const std::optional<qint64> &serverFileID, const QDateTime &attemptedAt)
{
    // The user may have made the file again meanwhile: that record is owed an upload now.
    auto record = fetchRecord(localPath);
    if (record && record->generation() == generation && record->desiredState() == desiredState) {
        if (const auto id = record->remoteId())
            m_unnamedVersions.remove(*id);
        m_modelContext->remove(record);
    } else {
        record = nullptr;
    }

    OperationResolutionData row;
    row.id = QUuid::createUuid();
    row.fileUUID = fileUUID;
    row.operationType = operationType;
    row.beforePath = localPath;
    row.serverFileID = serverFileID;
    row.attemptedAt = attemptedAt;
    row.resolvedAt = m_clock.currentDateTime();
    row.outcome = QStringLiteral("succeeded");
    // Done at the service or on disk already: a kill before the group's commit leaves the
    // record owed, and its next attempt finds the file gone ("not found" counts as done).
    groupOutcome(record, std::make_shared<OperationResolution>(std::move(row)));
    return record != nullptr;
}

} // namespace quillmere
