#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"
#include "Lane/PathDigests.h"

#include "Accounts/KeychainVault.h"
#include "ActivityLog/SyncLogger.h"
#include "Engine/BookmarkManager.h"
#include "FileServices/FileScan.h"
#include "Model/LaneQueries.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Background.h"
#include "Platform/Async/CancelledError.h"
#include "Platform/Files/FolderBookmark.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>

#include <dirent.h>

namespace quillmere {

namespace {

using lane::isCancellation;
using lane::logLine;

QString names(const QStringList &paths, int limit)
{
    QStringList shown;
    for (const QString &path : paths.mid(0, limit))
        shown.append(QFileInfo(path).fileName());
    return shown.join(QStringLiteral(", "));
}

// Blocking: what a project folder's root holds, for the log of a scan that finds too little.
QStringList diagnosticLines(const QString &folderPath, const QStringList &scanned)
{
    QStringList lines;
    const QDir root(folderPath);
    const auto listing = root.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::NoSort);
    QStringList subdirs;
    for (const QFileInfo &entry : listing)
        if (entry.isDir())
            subdirs.append(entry.filePath());
    lines.append(QStringLiteral("  root contains %1 subdirs: %2").arg(QString::number(subdirs.size()), names(subdirs, 5)));
    for (const QString &subdir : subdirs.mid(0, 3)) {
        QStringList items;
        for (const QFileInfo &entry : QDir(subdir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::NoSort))
            items.append(entry.filePath());
        lines.append(QStringLiteral("    %1/ → %2 items: %3")
                         .arg(QFileInfo(subdir).fileName(), QString::number(items.size()), names(items, 5)));
    }
    for (int i = 0; i < std::min<int>(5, scanned.size()); ++i) {
        const QFileInfo file(scanned[i]);
        lines.append(QStringLiteral("  scan[%1] %2 isDir=%3 ext=%4")
                         .arg(QString::number(i), file.fileName(),
                              file.isDir() ? QStringLiteral("true") : QStringLiteral("false"), file.suffix()));
    }
    return lines;
}

} // namespace

QCoro::Task<SyncLane::LocalScan> SyncLane::scanLocalFiles(QString folderPath, FolderScope scope)
{
    auto work = [folderPath = std::move(folderPath), scope = std::move(scope)] {
        LocalScan scan;
        if (!scope.isFlat())
            scanDirectoryRecursively(folderPath, scan.files, scan.unreadableFolders);
        else
            scan.files = listFilesWithExtensions(folderPath, scope.extensions(), &scan.unreadableFolders);
        scan.digests.reserve(size_t(scan.files.size()));
        for (const QString &path : std::as_const(scan.files))
            scan.digests.push_back(PathDigests::digestOf(path));
        return scan;
    };
    co_return co_await runInBackground(std::move(work));
}

QCoro::Task<> SyncLane::performFullSync(std::stop_token stop)
{
    // The caller holds the lane; after every wait the lane may have been stopped (a new
    // epoch), and then this pass ends without touching anything.
    const quint64 epoch = m_epoch;
    ++m_fullSyncGeneration;
    const auto folder = syncFolder();
    const auto bookmarks = m_bookmarkManager;
    const auto api = m_apiClient;
    const QString name = folder->name();
    const QUuid folderID = laneID();

    setSyncState(SyncEngineState::syncing());
    auto finishIdle = [this] {
        if (syncState() == SyncEngineState::syncing())
            setSyncState(SyncEngineState::idle());
    };

    std::optional<QByteArray> bookmarkData;
    if (folder->folderPath() && m_vault)
        bookmarkData = (co_await m_vault->entryAsync(KeychainVault::folderBookmarkKey(folderID))).value;
    if (!isCurrent(epoch, stop)) {
        if (epoch == m_epoch)
            finishIdle();
        co_return;
    }
    if (!bookmarkData) {
        finishIdle();
        co_return;
    }

    std::optional<QString> folderPath;
    std::exception_ptr failure;
    bool listingFailureLogged = false;
    try {
        folderPath = co_await bookmarks->startAccessing(*bookmarkData);
    } catch (...) {
        failure = std::current_exception();
    }

    if (!failure && epoch == m_epoch) {
        // Renamed or moved since the activation: the records still carry the old paths and
        // must follow before the scan under the new one is compared with them.
        if (const auto recorded = folder->folderPath(); recorded && !lane::sameText(*recorded, *folderPath)) {
            followFolderMove(*recorded, *folderPath);
            logLine(SyncLogger::Event::syncStarted,
                    QStringLiteral("%1 moved: updated path to %2").arg(name, *folderPath));
            if (hasFileWatcher())
                startFileWatcher(*folderPath);
        }
        logLine(SyncLogger::Event::syncStarted, QStringLiteral("Scanning: ") + *folderPath);
        if (folder->policy().mirrorsPlanLayout) {
            try {
                co_await hydratePlans(*folderPath, stop);
            } catch (...) {
                failure = std::current_exception();
            }
        } else {
            // Large folders take turns (see largeReconciliationGate). One the store shows large
            // takes its turn before its listing; one only its listing shows large (a new link)
            // takes it before its scan, and when it had to wait, lets go of that listing while
            // it waits and asks again: a folder that waits holds nothing, and no listing ages
            // while another folder's turn runs.
            std::optional<AsyncMutex::Lock> turn;
            if (fetchFolderRecordCount(*m_modelContext, folderID) >= largeReconciliationFiles()) {
                auto taking = takeLargeReconciliationTurn();
                turn.emplace(co_await std::move(taking));
            }
            QList<FileSyncAPI::RemoteFile> remoteFiles;
            // What the feed tells from the first ask on is held until a listing is reconciled:
            // a listing that fails (and the full syncs that ask again) forgets none of it, or a
            // file deleted elsewhere meanwhile would look new here once no listing names it.
            bool reconciled = false;
            const auto endFed = qScopeGuard([this, epoch, &reconciled] {
                if (epoch == m_epoch && reconciled)
                    m_fedSinceListing.reset();
            });
            while (isCurrent(epoch, stop)) {
                m_listingAskedAt = m_clock.currentDateTime();
                if (!m_fedSinceListing)
                    m_fedSinceListing.emplace();
                try {
                    remoteFiles = co_await api->listLibraryFiles(
                        folder->folderType(), folderID.toString(QUuid::WithoutBraces).toUpper(), stop);
                } catch (...) {
                    failure = std::current_exception();
                }
                if (failure && epoch == m_epoch && !stop.stop_requested() && !isCancellation(failure)
                    && !isRateLimited(failure)) {
                    // A rate limit says so below; any other failure would otherwise pass
                    // unseen (a time-out, a cut) or without saying what failed.
                    listingFailureLogged = true;
                    logLine(SyncLogger::Event::syncFailed,
                            QStringLiteral("The listing of %1 failed: %2").arg(name, describeError(failure)));
                }
                if (failure || turn || remoteFiles.size() < largeReconciliationFiles() || !isCurrent(epoch, stop))
                    break;
                if (auto free = largeReconciliationGate().tryLock()) {
                    turn.emplace(std::move(*free));
                    break;
                }
                remoteFiles = {};
                auto taking = takeLargeReconciliationTurn();
                turn.emplace(co_await std::move(taking));
            }
            // Held to the end of reconciliation: what the full sync never reads (about a third
            // of each entry) is let go of at once.
            for (auto &remote : remoteFiles) {
                noteServiceTime(remote.createdAt);
                noteServiceTime(remote.updatedAt);
                remote.mimeType = QString();
                remote.fileCategory.reset();
                remote.userPlanId.reset();
                remote.createdAt.reset();
                remote.updatedAt.reset();
            }
            if (!failure && isCurrent(epoch, stop)) {
                auto scan = co_await scanLocalFiles(*folderPath, folderScope());
                if (isCurrent(epoch, stop)) {
                    const qint64 tracked = fetchFolderRecordCount(*m_modelContext, folderID);
                    logLine(SyncLogger::Event::syncStarted, QStringLiteral("Found %1 local, %2 remote, %3 tracked for %4")
                                                                .arg(QString::number(scan.files.size()),
                                                                     QString::number(remoteFiles.size()),
                                                                     QString::number(tracked), name));
                    for (const QString &unreadable : scan.unreadableFolders)
                        logLine(SyncLogger::Event::syncFailed,
                                QStringLiteral("Could not read %1: its files are left as they are").arg(unreadable));
                    if (folder->policy().projectTree) {
                        auto diagnose = [path = *folderPath, files = scan.files.mid(0, 5)] {
                            return diagnosticLines(path, files);
                        };
                        const auto lines = co_await runInBackground(std::move(diagnose));
                        for (const QString &line : lines)
                            logLine(SyncLogger::Event::syncStarted, line);
                    }
                    // The queue pass that sends the first chunks while the next are read; it
                    // waits for more until the feed is closed, and this pass waits for it.
                    std::optional<QCoro::Task<>> queuePass;
                    if (isCurrent(epoch, stop)) {
                        m_listed.emplace(remoteFiles);
                        // A listing that names a file's content names the version the feed
                        // left unnamed, unless the feed told of it again since it was asked.
                        if (!m_unnamedVersions.isEmpty())
                            for (const auto &file : std::as_const(remoteFiles))
                                if (file.fileChecksum && !file.fileChecksum->isEmpty()
                                    && !(m_fedSinceListing && m_fedSinceListing->contains(file.id)))
                                    m_unnamedVersions.remove(file.id);
                        m_checksums->clear();
                        auto feed = std::make_shared<ChunkFeed>();
                        auto firstChunkSaved = [this, &queuePass, stop] { queuePass.emplace(processQueue(stop)); };
                        co_await reconcile(std::move(remoteFiles), std::move(scan), {}, *folderPath, stop, feed,
                                           std::move(firstChunkSaved), std::move(turn));
                        reconciled = isCurrent(epoch, stop);
                        feed->open = false;
                        feed->reading.clear();
                        if (m_chunkFeed == feed)
                            m_chunkFeed.reset();
                        feed->waiting.resumeAll();
                    }
                    if (queuePass) {
                        logLine(SyncLogger::Event::syncStarted, QStringLiteral("Marked %1 records with work owed for %2")
                                                                    .arg(QString::number(fetchOutstandingRecords()),
                                                                         name));
                        co_await std::move(*queuePass);
                        if (epoch == m_epoch)
                            m_checksums->clear();
                    } else if (isCurrent(epoch, stop)) {
                        logLine(SyncLogger::Event::syncStarted, QStringLiteral("Marked %1 records with work owed for %2")
                                                                    .arg(QString::number(fetchOutstandingRecords()),
                                                                         name));
                        co_await processQueue(stop);
                        // What this pass took of the files is of no use to the next one.
                        m_checksums->clear();
                    }

                }
            }
        }
    }

    if (epoch != m_epoch) {
        // Stopped meanwhile: only the access this pass opened is given back.
        if (folderPath)
            bookmarks->stopAccessing(*folderPath);
        co_return;
    }

    if (failure) {
        if (folderPath)
            bookmarks->stopAccessing(*folderPath);
        if (stop.stop_requested() || isCancellation(failure)) {
            logLine(SyncLogger::Event::syncStarted, QStringLiteral("Full sync cancelled for %1").arg(name));
        } else if (isNetworkError(failure)) {
            scheduleFullSyncRetry();
        } else if (isRateLimited(failure)) {
            SyncLogger::shared().log(SyncLogger::Event::pendingRetry, SyncLogger::Direction::none, name,
                                     QStringLiteral("Rate limited during full sync — will retry"));
            scheduleFullSyncRetry();
        } else {
            const QString description = describeError(failure);
            setLastError(description);
            setSyncState(SyncEngineState::error(description));
            if (!listingFailureLogged)
                logLine(SyncLogger::Event::syncFailed, description);
            // Most failures pass without the user: a server error or a timeout, a refused secure
            // connection (the text says why: a clock corrected, a portal or proxy left, the
            // service's certificate renewed). They are tried again on the back-off and when the
            // network changes; the error stays shown until a pass goes through.
            if (!isLastingRefusal(failure))
                scheduleFullSyncRetry();
            notifyStateChanged();
        }
        finishIdle();
        co_return;
    }

    if (stop.stop_requested()) {
        // Paused meanwhile: the pass ran its queue's end steps; its own end is skipped.
        bookmarks->stopAccessing(*folderPath);
        logLine(SyncLogger::Event::syncStarted, QStringLiteral("Full sync cancelled for %1").arg(name));
        finishIdle();
        co_return;
    }

    m_failedFullSyncs = 0;
    setLastSyncAt(m_clock.currentDateTime());
    if (fetchOutstandingRecords() == 0)
        setHasLocalChanges(false);
    SyncLogger::shared().log(SyncLogger::Event::syncCompleted, SyncLogger::Direction::none, QString(), name);

    co_await renewBookmarkIfStale(*bookmarkData, *folderPath, epoch, stop);
    if (epoch != m_epoch)
        co_return;
    bookmarks->stopAccessing(*folderPath);
    finishIdle();
    // A pass that went through leaves no earlier failure of the folder shown (a failed full
    // sync's, say), only those of records that still fail.
    showRecordFailures();
    notifyStateChanged();
}

QCoro::Task<> SyncLane::renewBookmarkIfStale(QByteArray bookmarkData, QString folderPath, quint64 epoch,
                                             std::stop_token stop)
{
    const auto bookmarks = m_bookmarkManager;
    const QUuid folderID = laneID();
    const auto check = co_await bookmarks->checkBookmark(bookmarkData);
    if (!check.stale || !isCurrent(epoch, stop))
        co_return;
    auto make = [folderPath]() -> std::optional<QByteArray> {
        try {
            return FolderBookmark::make(folderPath);
        } catch (const FolderBookmark::Error &) {
            return std::nullopt;
        }
    };
    const auto renewed = co_await runInBackground(std::move(make));
    if (!renewed || !isCurrent(epoch, stop))
        co_return;
    co_await bookmarks->saveBookmark(*renewed, folderID);
    if (!isCurrent(epoch, stop))
        co_return;
    if (m_vault)
        co_await m_vault->setValueAsync(*renewed, KeychainVault::folderBookmarkKey());
    if (!isCurrent(epoch, stop))
        co_return;
    SyncLogger::shared().log(SyncLogger::Event::bookmarkRefreshed, SyncLogger::Direction::none, QString(),
                             std::nullopt);
}

void SyncLane::scheduleFullSyncRetry()
{
    // At login the network is often not up yet: without another try, changes made while the
    // application was closed would wait for its next launch.
    const auto delay = deltaSyncInterval(m_failedFullSyncs);
    ++m_failedFullSyncs;
    scheduleFullSync(delay);
}

void SyncLane::scheduleFullSync(Clock::Duration delay)
{
    std::weak_ptr<SyncLane> weak = weak_from_this();
    auto body = [weak, delay, generation = m_fullSyncGeneration](std::stop_token stop) {
        return runFullSyncRetry(weak, delay, generation, std::move(stop));
    };
    m_fullSyncRetryTask = TaskHandle::start(std::move(body));
}

QCoro::Task<> SyncLane::runFullSyncRetry(std::weak_ptr<SyncLane> weak, Clock::Duration delay, quint64 generation,
                                         std::stop_token stop)
{
    auto lane = co_await sleepUnpaused(std::move(weak), delay, stop);
    // Another full sync since (a new activation) makes this one unnecessary.
    if (!lane || lane->m_fullSyncGeneration != generation)
        co_return;
    co_await lane->performFullSync(stop);
}

void SyncLane::cancelScheduledPasses()
{
    m_fullSyncRetryTask = TaskHandle();
    m_queueRetryTask = TaskHandle();
}

} // namespace quillmere
