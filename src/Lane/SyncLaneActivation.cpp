#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"

#include "ActivityLog/SyncLogger.h"
#include "Engine/BookmarkManager.h"
#include "Model/ModelContext.h"
#include "Model/MultipartUploadState.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Background.h"
#include "Platform/Http/TemporaryDownloadFile.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "ServiceAPI/StagedCopy.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

#include <set>

namespace quillmere {

namespace {

using lane::logLine;
using lane::sameText;

// Anything at the path, a dangling link included. Blocking.
bool somethingExistsAt(const QString &path)
{
    struct stat status{};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0;
}

// Removes a staged copy named by a stored upload state, but only a file directly or deeper
// inside the staging folder that no running upload uses: a damaged or foreign record must
// not make us delete a file of the user's. Blocking.
void removeStagedCopy(const QString &stagedPath, const QString &stagingFolder, const std::set<QString> &inUse)
{
    if (stagedPath.isEmpty())
        return;
    const QFileInfo staged(stagedPath);
    const QString parent = QFileInfo(staged.path()).canonicalFilePath();
    const QString root = QFileInfo(stagingFolder).canonicalFilePath();
    if (parent.isEmpty() || root.isEmpty())
        return;
    if (!(parent + u'/').startsWith(root + u'/'))
        return;
    const QString target = parent + u'/' + staged.fileName();
    if (inUse.count(target) || inUse.count(stagedPath))
        return;
    const QByteArray native = QFile::encodeName(target);
    struct stat status{};
    // The link itself, never what it points to.
    if (::lstat(native.constData(), &status) != 0 || !(S_ISREG(status.st_mode) || S_ISLNK(status.st_mode)))
        return;
    ::unlink(native.constData());
}

// Folders whose records left "syncing" by an earlier run were already set back this process.
std::set<QUuid> &recoveredFolders()
{
    static std::set<QUuid> folders;
    return folders;
}

} // namespace

void SyncLane::recoverInterruptedTransfers()
{
    // Only an earlier process can have left a record "syncing" for good: within this process
    // a restarted lane's own transfers may still be finishing.
    if (!recoveredFolders().insert(laneID()).second)
        return;
    try {
        auto request = SyncFile::inFolder(laneID());
        request.equals(SyncFile::Field::syncStatus, SyncFileStatus::syncing);
        for (const auto &record : m_modelContext->fetch(request))
            record->setSyncStatus(SyncFileStatus::pending);
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the records left syncing", error);
        return;
    }
    saveQuietly();
}

QCoro::Task<> SyncLane::activate(QByteArray bookmarkData, QString folderPath, std::stop_token stop)
{
    // The activation task holds the lane: `this` stays valid, but after every wait the lane
    // may have been stopped or restarted, and then this run ends without touching anything.
    const quint64 epoch = m_epoch;
    const auto bookmarks = m_bookmarkManager;
    const auto api = m_apiClient;
    const auto folder = syncFolder();
    const QString name = folder->name();

    const auto check = co_await bookmarks->checkBookmark(bookmarkData);
    if (!isCurrent(epoch, stop))
        co_return;
    auto probe = [folderPath] { return somethingExistsAt(folderPath); };
    const bool existed = co_await runInBackground(std::move(probe));
    if (!isCurrent(epoch, stop))
        co_return;

    std::optional<QString> resolved;
    try {
        resolved = co_await bookmarks->startAccessing(bookmarkData);
        bookmarks->stopAccessing(*resolved);
    } catch (const std::exception &) {
        // Another folder or an unmounted drive at the path, a refused folder, a damaged
        // bookmark: the folder cannot be reached, which never proves it was deleted.
    }
    if (!isCurrent(epoch, stop))
        co_return;

    bool deleted = false;
    // The engine hears of it as of any other error: an unplugged drive must show in the tray.
    if (!resolved) {
        if (!check.accessible || !existed) {
            showAccessLost(folderPath);
            notifyStateChanged();
            co_return;
        }
    } else if (!check.accessible) {
        // Only the bookmark's own folder gone from a drive that is still mounted counts as
        // deleted; anything else that gives no access keeps every record.
        if (!sameText(*resolved, folderPath) || existed) {
            showAccessLost(folderPath);
            notifyStateChanged();
            co_return;
        }
        deleted = true;
    } else if (!sameText(*resolved, folderPath)) {
        followFolderMove(folderPath, *resolved);
        logLine(SyncLogger::Event::syncStarted, QStringLiteral("%1 moved: updated path to %2").arg(name, *resolved));
        folderPath = *resolved;
    } else if (!existed) {
        deleted = true;
    }

    if (deleted) {
        dropFolderState();
        setSyncState(SyncEngineState::error(folderMissingMessage()));
        logLine(SyncLogger::Event::syncFailed, QStringLiteral("Folder deleted for %1: %2").arg(name, folderPath));
        notifyStateChanged();
        co_return;
    }

    logLine(SyncLogger::Event::syncStarted, folderPath);
    recoverInterruptedTransfers();
    co_await cleanUpInterruptedMultipartUploads(stop);
    if (!isCurrent(epoch, stop))
        co_return;
    // A download killed with the process leaves its partial file beside its destination, in
    // any folder of the tree. Only files of earlier runs go: this process names its own.
    auto sweep = [root = QFile::encodeName(folderPath)] {
        return TemporaryDownloadFile::removeLeftoversOfEarlierRuns(root);
    };
    const auto swept = co_await runInBackground(std::move(sweep));
    if (!isCurrent(epoch, stop))
        co_return;
    if (swept.removed > 0)
        logLine(SyncLogger::Event::syncStarted, QStringLiteral("Removed %1 partial download(s) left by an earlier run in %2")
                                                    .arg(QString::number(swept.removed), folderPath));

    const FolderPolicy policy = folder->policy();
    if (!policy.mirrorsPlanLayout) {
        try {
            co_await api->registerSyncFolder(laneID().toString(QUuid::WithoutBraces).toUpper(), name,
                                             folder->folderType(), rawValue(folder->syncMode()), stop);
        } catch (...) {
            // Registration is repeated at every start; a refusal changes nothing here.
        }
        if (!isCurrent(epoch, stop))
            co_return;
    }
    if (policy.hasWatcher)
        startFileWatcher(folderPath);
    if (policy.appliesFeed)
        startDeltaSyncTask();
    startLivenessTask();
    co_await performFullSync(stop);
}

QCoro::Task<> SyncLane::cleanUpInterruptedMultipartUploads(std::stop_token stop)
{
    const quint64 epoch = m_epoch;
    const auto api = m_apiClient;
    std::vector<std::shared_ptr<MultipartUploadState>> states;
    try {
        states = m_modelContext->fetch(MultipartUploadState::inFolder(laneID()));
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the unfinished uploads", error);
        co_return;
    }
    struct Leftover
    {
        qint64 id;
        std::weak_ptr<MultipartUploadState> record;
        QString uploadId, oid, localPath, stagedPath;
    };
    // An upload of this process still sends from its staged copy (a lane started again while
    // its queue runs): that one ends, and forgets its state, by itself.
    const std::set<QString> running = StagedCopy::inUse();
    std::vector<Leftover> leftovers;
    for (const auto &state : states)
        if (state->stagedPath().isEmpty() || !running.count(state->stagedPath()))
            leftovers.push_back({state->persistentID(), state, state->uploadId(), state->oid(), state->localPath(),
                                 state->stagedPath()});
    states.clear();

    for (const auto &leftover : leftovers) {
        logLine(SyncLogger::Event::syncStarted,
                QStringLiteral("Cleaning up interrupted multipart upload for %1").arg(leftover.oid));
        if (!leftover.uploadId.isEmpty()) {
            try {
                co_await api->abortMultipartUpload(leftover.uploadId, leftover.oid, stop);
            } catch (...) {
                // The service expires unfinished uploads itself.
            }
            if (!isCurrent(epoch, stop))
                co_return;
        }
        auto removal = [path = leftover.stagedPath, staging = LibraryAPIClient::stagingFolder(),
                        inUse = StagedCopy::inUse()] { removeStagedCopy(path, staging, inUse); };
        co_await runInBackground(std::move(removal));
        if (!isCurrent(epoch, stop))
            co_return;

        if (const auto record = fetchRecord(leftover.localPath)) {
            record->setSyncStatus(SyncFileStatus::pending);
            record->setDesiredState(SyncFileDesiredState::uploadPending);
        }
        std::shared_ptr<MultipartUploadState> state = leftover.id > 0
            ? m_modelContext->object<MultipartUploadState>(leftover.id)
            : leftover.record.lock();
        if (state && !state->isDeleted())
            m_modelContext->remove(state);
    }
    saveQuietly();
}

} // namespace quillmere
