// Delta sync: the service's change feed since the folder's cursor, applied one change after
// another. Transfers and local deletions go through the work queue's per-record dispatch
// (syncRecord), so a change from the feed meets the same checks as any other: a file the
// user saved is never overwritten or removed, and a failure leaves the record owed.

#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"

#include "Accounts/KeychainVault.h"
#include "ActivityLog/SyncLogger.h"
#include "Engine/BookmarkManager.h"
#include "Engine/DAWRunningStateProvider.h"
#include "FileServices/FileChecksum.h"
#include "Model/LaneQueries.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Background.h"
#include "Platform/Async/CancelledError.h"
#include "Platform/Files/SafeJoin.h"
#include "Platform/Http/InternetDate.h"
#include "Platform/Memory/FreedMemory.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <utility>

namespace quillmere {

namespace {

using lane::isCancellation;
using lane::logLine;
using lane::lowerChecksum;

// Blocking. What is at the path, never following a link; a regular file is hashed, and one
// that changed while it was read has no checksum.
SyncLane::LocalLook lookAt(const QString &path, const std::stop_token &stop)
{
    SyncLane::LocalLook look;
    const QByteArray native = QFile::encodeName(path);
    struct stat before{};
    if (::lstat(native.constData(), &before) != 0) {
        look.kind = (errno == ENOENT || errno == ENOTDIR) ? SyncLane::LocalLook::Kind::absent
                                                          : SyncLane::LocalLook::Kind::unreadable;
        return look;
    }
    if (!S_ISREG(before.st_mode)) {
        look.kind = SyncLane::LocalLook::Kind::other;
        return look;
    }
    look.kind = SyncLane::LocalLook::Kind::regularFile;
    look.stamp = SyncLane::FileStamp{qint64(before.st_size),
                                     qint64(before.st_mtim.tv_sec) * 1000000000 + before.st_mtim.tv_nsec,
                                     qint64(before.st_ino), qint64(before.st_dev)};
    try {
        const QString checksum = computeFileChecksumSync(path, stop);
        if (SyncLane::fileStamp(path) == look.stamp)
            look.checksum = checksum;
    } catch (const FileChecksumError &) {
        // Unreadable now: the look carries no checksum, and nothing is confirmed by it.
    }
    return look;
}

// A change's place in the folder, decided off the main thread.
struct Target
{
    std::optional<QString> path; // none: refused by SafeJoin
    QString relative;            // drive path and name as the service gives them
};

QString relativeOf(const FileSyncAPI::DeltaChange &change)
{
    return lane::entryPath(change.drivePath, change.filename);
}

// A service that no longer keeps the history a cursor points into refuses it.
bool isRefusedCursor(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const HarborlyAPIError &apiError) {
        return apiError.code() == HarborlyAPIError::Code::serverError
               && (apiError.statusCode() == 400 || apiError.statusCode() == 410);
    } catch (...) {
        // Any other failure is no verdict on the cursor.
    }
    return false;
}

std::optional<QDateTime> latestServiceTime(const FileSyncAPI::DeltaChange &change)
{
    std::optional<QDateTime> latest;
    for (const auto &time : {change.createdAt, change.updatedAt, change.deletedAt})
        if (time && (!latest || *time > *latest))
            latest = time;
    return latest;
}

bool isAction(const FileSyncAPI::DeltaChange &change, const char *action)
{
    return change.action == QLatin1String(action);
}

} // namespace

QString SyncLane::heldNotice(const QString &filename, const QSet<QString> &guards)
{
    // One name, the same whichever order the set holds them in.
    const QString application =
        guards.isEmpty() ? QStringLiteral("your DAW") : *std::min_element(guards.cbegin(), guards.cend());
    return filename + QStringLiteral(" can't sync while ") + application
           + QStringLiteral(" is open. Close your DAW to get the latest version.");
}

QCoro::Task<std::optional<QString>> SyncLane::performDeltaSync()
{
    // A manual pass: stop() and pause() end it like the loop's own; a stopped or paused lane
    // has nothing to pass.
    if (!m_started || isPaused())
        co_return std::nullopt;
    const auto self = shared_from_this();
    m_deltaPassFailure.reset();
    co_await runDeltaPass(m_manualPassStop.get_token());
    co_return std::exchange(m_deltaPassFailure, std::nullopt);
}

QCoro::Task<FileSyncAPI::ChangeFeed> SyncLane::requestChanges(std::optional<QString> cursor, std::stop_token stop)
{
    const auto self = shared_from_this();
    auto fetching = m_apiClient->fetchChanges(cursor.value_or(QString()), feedKind(),
                                              laneID().toString(QUuid::WithoutBraces).toUpper(), std::move(stop));
    FileSyncAPI::ChangeFeed feed = co_await std::move(fetching);
    for (const auto &change : std::as_const(feed.changes)) {
        noteServiceTime(change.createdAt);
        noteServiceTime(change.updatedAt);
        noteServiceTime(change.deletedAt);
    }
    co_return feed;
}

QCoro::Task<FileSyncAPI::FeedDeletes> SyncLane::requestDeletes(std::optional<QString> cursor, std::stop_token stop)
{
    const auto self = shared_from_this();
    auto fetching = m_apiClient->fetchDeletes(cursor.value_or(QString()), feedKind(),
                                              laneID().toString(QUuid::WithoutBraces).toUpper(), std::move(stop));
    FileSyncAPI::FeedDeletes deletes = co_await std::move(fetching);
    noteServiceTime(deletes.newest);
    co_return deletes;
}

std::optional<SyncFolderType> SyncLane::feedKind() const
{
    // The folder's own changes: of its kind, except in the plan mirror, which takes every plan's.
    const auto folder = syncFolder();
    if (folder->policy().mirrorsPlanLayout)
        return std::nullopt;
    return folder->folderType();
}

void SyncLane::noteServiceTime(const std::optional<QDateTime> &time)
{
    if (time && time->isValid() && (!m_serviceTimeRead || *m_serviceTimeRead < *time))
        m_serviceTimeRead = *time;
}

QString SyncLane::servicePlace(const QString &localPath) const
{
    const QString directory = relativePath(localPath);
    const QString name = QFileInfo(localPath).fileName();
    return directory == QLatin1String(".") ? name : directory + u'/' + name;
}

bool SyncLane::placeTakenOnRead(const QString &localPath, std::optional<qint64> own) const
{
    if (!m_heard || m_heard->failure)
        return true; // not told: taken for all this device knows
    const auto other = m_heard->livePlaces.constFind(servicePlace(localPath));
    return other != m_heard->livePlaces.cend() && *other != own;
}

void SyncLane::noteLearned(qint64 remoteId, quint64 asked)
{
    // Only a read asked before this knowledge was asked could be set against it (one folded
    // into the account, or one on its way); a read asked after it sees at least as much.
    const bool newerThanARead = (m_heard && m_heard->sequence < asked)
                                || (!m_readsOnTheirWay.empty() && *m_readsOnTheirWay.cbegin() < asked);
    if (!newerThanARead)
        return;
    Learned &learned = m_learnedAt[remoteId];
    const quint64 before = learned.latest();
    learned.asked = std::max(learned.asked, asked);
    restampLearned(remoteId, before);
}

void SyncLane::restampLearned(qint64 remoteId, quint64 before)
{
    const quint64 after = m_learnedAt.value(remoteId).latest();
    if (after == before && before != 0)
        return;
    m_learnedByStamp.erase({before, remoteId});
    m_learnedByStamp.insert({after, remoteId});
}

void SyncLane::noteLearnedFromPage(qint64 remoteId)
{
    const quint64 asked = m_pageAsked;
    const bool newerThanARead = (m_heard && m_heard->sequence < asked)
                                || (!m_readsOnTheirWay.empty() && *m_readsOnTheirWay.cbegin() < asked);
    if (!newerThanARead || !m_pageChanges)
        return;
    // A page asked after a read may still end before the read's reply: it stands over the
    // read only where it named what the read told of the id, the last word being the page's.
    if (!m_pageWords) {
        m_pageWords.emplace();
        for (const auto &change : *m_pageChanges)
            (*m_pageWords)[change.id].append(Heard::wordOf(change));
    }
    Learned &learned = m_learnedAt[remoteId];
    if (learned.paged >= asked)
        return;
    const quint64 before = learned.latest();
    learned.paged = asked;
    learned.pageWords = m_pageWords->value(remoteId);
    restampLearned(remoteId, before);
}

QString SyncLane::Heard::wordOf(const Told &told)
{
    if (!told.live)
        return QStringLiteral("-");
    return told.checksum.value_or(QStringLiteral("?"));
}

QString SyncLane::Heard::wordOf(const FileSyncAPI::DeltaChange &change)
{
    if (isAction(change, "deleted"))
        return QStringLiteral("-");
    return lowerChecksum(change.fileChecksum).value_or(QStringLiteral("?"));
}

void SyncLane::Heard::fold(const QList<FileSyncAPI::DeltaChange> &changes, quint64 asked)
{
    // In the feed's order: the last word of each id, the last id at each place.
    for (const auto &change : changes) {
        const bool live = !isAction(change, "deleted");
        versions.insert(change.id, {live, live ? lowerChecksum(change.fileChecksum) : std::nullopt, asked});
        if (const auto before = placeOf.constFind(change.id); before != placeOf.cend()) {
            if (const auto held = livePlaces.constFind(*before); held != livePlaces.cend() && *held == change.id)
                livePlaces.erase(held);
            placeOf.erase(before);
        }
        if (live) {
            const QString place = relativeOf(change);
            placeOf.insert(change.id, place);
            livePlaces.insert(place, change.id);
        }
    }
}

void SyncLane::Heard::forget(qint64 id)
{
    versions.remove(id);
    if (const auto place = placeOf.constFind(id); place != placeOf.cend()) {
        if (const auto held = livePlaces.constFind(*place); held != livePlaces.cend() && *held == id)
            livePlaces.erase(held);
        placeOf.erase(place);
    }
}

void SyncLane::forgetReachedByPage(const QList<FileSyncAPI::DeltaChange> &page,
                                   const std::optional<QString> &storedCursor)
{
    if (!m_heard)
        return;
    Heard &heard = *m_heard;
    // The stored cursor is the reply of a read folded in: what that read and the ones before
    // it told, the records hold now, or something newer.
    if (storedCursor) {
        const auto reached = std::find_if(heard.replies.crbegin(), heard.replies.crend(),
                                          [&](const auto &reply) { return reply.first == *storedCursor; });
        if (reached != heard.replies.crend()) {
            const quint64 upTo = reached->second;
            QList<qint64> told;
            for (auto it = heard.versions.cbegin(); it != heard.versions.cend(); ++it)
                if (it->asked <= upTo)
                    told.append(it.key());
            for (const qint64 id : told)
                heard.forget(id);
            heard.replies.erase(heard.replies.cbegin(), reached.base());
        }
    }
    // A page that names what a read told of an id has reached that word: the records hold it
    // or the page's later one. One that names the id otherwise, or not at all, ended before it.
    for (const auto &change : page)
        if (const auto told = heard.versions.constFind(change.id);
            told != heard.versions.cend() && Heard::wordOf(*told) == Heard::wordOf(change))
            heard.forget(change.id);
    if (heard.versions.isEmpty()) {
        // Nothing told is left beyond the records: reads go on from the stored cursor.
        heard.cursor = storedCursor;
        heard.replies.clear();
    }
    forgetOlderLearnings({}, true);
}

void SyncLane::forgetOlderLearnings(const QList<FileSyncAPI::DeltaChange> &toldAgain, bool everyFact)
{
    // A stamp matters only against a fact the account holds of that id and was told before
    // it, or against a read on its way asked before it; any other read is asked after it.
    // Reads are asked with ever greater counts: a stamp every read on its way has passed
    // stays past them, and then waits only for its id's fact.
    const auto factOlder = [this](qint64 id, quint64 stamp) {
        if (!m_heard)
            return false;
        const auto told = m_heard->versions.constFind(id);
        return told != m_heard->versions.cend() && told->asked < stamp;
    };
    const auto lookAgain = [&](qint64 id) {
        const auto learned = m_learnedAt.constFind(id);
        if (learned == m_learnedAt.cend())
            return;
        const quint64 stamp = learned->latest();
        if (!m_learnedByStamp.contains({stamp, id}) && !factOlder(id, stamp))
            m_learnedAt.erase(learned);
    };
    if (everyFact) {
        QList<qint64> ids;
        ids.reserve(m_learnedAt.size());
        for (auto it = m_learnedAt.cbegin(); it != m_learnedAt.cend(); ++it)
            ids.append(it.key());
        for (const qint64 id : std::as_const(ids))
            lookAgain(id);
    } else {
        for (const auto &change : toldAgain)
            lookAgain(change.id);
    }
    const std::optional<quint64> oldestOnItsWay =
        m_readsOnTheirWay.empty() ? std::nullopt : std::optional<quint64>(*m_readsOnTheirWay.cbegin());
    while (!m_learnedByStamp.empty()) {
        const auto [stamp, id] = *m_learnedByStamp.cbegin();
        if (oldestOnItsWay && *oldestOnItsWay < stamp)
            break;
        m_learnedByStamp.erase(m_learnedByStamp.cbegin());
        if (!factOlder(id, stamp))
            m_learnedAt.remove(id);
    }
}

QCoro::Task<> SyncLane::readServiceState(quint64 epoch, std::stop_token stop, std::optional<quint64> askedAfter)
{
    const auto self = shared_from_this();
    // A read of this pass, answered or refused, stands for a while: one read serves the batch.
    // A commit point takes only a read asked after it was reached.
    const auto standing = [this, askedAfter] {
        if (!m_heard || m_heard->pass != m_queuePasses || m_heard->sequence == 0)
            return false;
        if (askedAfter)
            return m_heard->sequence > *askedAfter;
        return m_heard->at.msecsTo(m_clock.currentDateTime())
               <= std::chrono::duration_cast<std::chrono::milliseconds>(feedFreshness).count();
    };
    // A read on its way that will stand once it lands: waited for rather than asked again. A
    // commit point does not wait for one asked before it was reached: its own goes at once,
    // beside it, so a confirmation waits one round trip, not the rest of another's and its own.
    const auto servedOnItsWay = [this, askedAfter] {
        if (m_readsOnTheirWay.empty())
            return false;
        return !askedAfter || *std::prev(m_readsOnTheirWay.cend()) > *askedAfter;
    };
    while (!standing()) {
        if (servedOnItsWay()) {
            co_await m_readLanded.wait();
            if (!isCurrent(epoch, stop))
                throw CancelledError();
            continue;
        }
        if (!m_heard)
            m_heard.emplace();
        // Whatever is asked from here on is at least as new as this read.
        const quint64 asked = ++m_learnings;
        const QDateTime at = m_clock.currentDateTime();
        m_readsOnTheirWay.insert(asked);
        const quint64 resetsBefore = m_heardResets;
        // Only what came after the last reply folded in; the changes are applied by the feed's
        // own pass, which follows the folder's moves and stores the cursor: here they only say
        // what the service holds.
        const std::optional<QString> cursor = m_heard->cursor ? m_heard->cursor : syncFolder()->deltaCursor();
        FileSyncAPI::ChangeFeed feed;
        std::exception_ptr failure;
        bool whole = false;
        try {
            bool refused = false;
            try {
                auto fetching = requestChanges(cursor, stop);
                feed = co_await std::move(fetching);
            } catch (...) {
                // A cursor the service no longer keeps: its whole feed tells the same (the
                // feed's own pass starts over from it too), once for every read after.
                if (!cursor || !isRefusedCursor(std::current_exception()))
                    throw;
                refused = true;
            }
            if (refused) {
                auto fetching = requestChanges(std::nullopt, stop);
                feed = co_await std::move(fetching);
                whole = true;
            }
        } catch (...) {
            failure = std::current_exception();
        }
        m_readsOnTheirWay.erase(asked);
        if (!isCurrent(epoch, stop)) {
            m_readLanded.resumeAll(); // each finds the lane stopped
            throw CancelledError();
        }
        // Asked before the account was let go for a refused cursor: it tells only what came
        // after a cursor the account no longer stands on, and the next read asks the whole feed.
        if (m_heardResets != resetsBefore) {
            m_readLanded.resumeAll();
            continue;
        }
        Heard &heard = *m_heard;
        // A read asked after this one and answered first knows more: this one adds nothing.
        if (heard.sequence > asked) {
            m_readLanded.resumeAll();
            continue;
        }
        heard.pass = m_queuePasses;
        heard.at = at;
        heard.sequence = asked;
        heard.failure = failure;
        if (!failure) {
            if (whole) {
                heard = Heard{};
                heard.pass = m_queuePasses;
                heard.at = at;
                heard.sequence = asked;
            }
            heard.fold(feed.changes, asked);
            if (feed.cursor && !feed.cursor->isEmpty()) {
                heard.cursor = feed.cursor;
                heard.replies.emplace_back(*feed.cursor, asked);
            } else if (whole) {
                heard.cursor = std::nullopt; // from the start again: nothing is lost by it
            } else {
                heard.cursor = cursor;
            }
        }
        if (failure)
            forgetOlderLearnings();
        else if (whole)
            forgetOlderLearnings({}, true);
        else
            forgetOlderLearnings(feed.changes);
        // Those waiting for a read on its way look again: this one may be theirs.
        m_readLanded.resumeAll();
    }
}

QCoro::Task<std::optional<SyncLane::UnseenVersion>> SyncLane::hearServiceFirst(QString localPath, qint64 generation,
                                                                              quint64 epoch, std::stop_token stop,
                                                                              bool atPlace,
                                                                              std::optional<quint64> askedAfter)
{
    const auto self = shared_from_this();
    {
        auto reading = readServiceState(epoch, stop, askedAfter);
        co_await std::move(reading);
    }
    if (m_heard->failure) {
        // What the service holds cannot be told: the operation waits, which it always may.
        // Its retry time counts from the refused read, so the batch that read held back is
        // due together and one read serves it again.
        if (const auto record = fetchRecord(localPath);
            record && record->generation() == generation && record->syncStatus() == SyncFileStatus::syncing) {
            retryOnBackOff(*record, record->retryCount() + 1, m_heard->at);
            saveQuietly();
        }
        logLine(SyncLogger::Event::pendingRetry,
                QStringLiteral("%1 waits: Harborly's changes could not be read first (%2)")
                    .arg(QFileInfo(localPath).fileName(), describeError(m_heard->failure)));
        throw CancelledError();
    }
    const auto record = fetchRecord(localPath);
    if (!record || record->generation() != generation)
        throw CancelledError(); // changed meanwhile: dispatched again as it is now
    const Heard &heard = *m_heard;
    // Learned by the record after the read that told of the id: newer than what it says.
    const auto learnedSince = [&](qint64 id) {
        const auto learned = m_learnedAt.constFind(id);
        if (learned == m_learnedAt.cend())
            return false;
        const auto told = heard.versions.constFind(id);
        if (told == heard.versions.cend())
            return learned->latest() > heard.sequence;
        return learned->asked > told->asked
               || (learned->paged > told->asked && learned->pageWords.contains(Heard::wordOf(*told)));
    };
    const std::optional<qint64> ownId = record->remoteId();
    const auto own = ownId ? heard.versions.constFind(*ownId) : heard.versions.cend();
    if (ownId && m_unnamedVersions.contains(*ownId))
        co_return UnseenVersion{};
    if (own != heard.versions.cend() && own->live && !learnedSince(*ownId)) {
        if (!own->checksum)
            co_return UnseenVersion{}; // a newer version whose content nobody named
        // The newest change of the file is the version the service holds now, unless it is
        // the one last synced here while the record already knows a newer one.
        if (!(*own->checksum == lastSyncedContent(*record) && hasNewerServiceVersion(*record)))
            record->setRemoteChecksum(own->checksum);
    }
    if (!atPlace)
        co_return std::nullopt;
    const auto other = heard.livePlaces.constFind(servicePlace(localPath));
    if (other == heard.livePlaces.cend() || *other == ownId || learnedSince(*other))
        co_return std::nullopt;
    const Heard::Told told = heard.versions.value(*other);
    // A file this device synced elsewhere in the folder, moved here at the service as it was.
    // A file moved here too (the same move made on both sides) carries that content from
    // there: it goes over it as over any synced version. A file made here has nothing of it:
    // the version it meets is another, still held by the record at its old place (so this
    // one does not take it up: one service file has one record).
    if (told.checksum)
        for (const auto &holder : fetchRecordsHoldingIds(*m_modelContext, laneID(), {*other}))
            if (holder->localPath() != record->localPath() && lastSyncedContent(*holder) == told.checksum) {
                if (isMadeHere(*record))
                    co_return UnseenVersion{told.checksum};
                co_return std::nullopt;
            }
    // A file moved here holds no service file and carries content from elsewhere, which must
    // not count as synced at this place: the version it meets is told as it is. Beside a
    // record's own live file likewise.
    if (!isMadeHere(*record) && (!ownId || own == heard.versions.cend() || own->live))
        co_return UnseenVersion{told.checksum};
    // A file made here takes the service's file at its place up as a file found here at a
    // full sync does (no version of it synced here: an acknowledged conflict then goes up
    // over the version seen); a record whose own file is gone at the service takes up the one
    // that took its place, its last synced content staying that of the place.
    record->setRemoteId(*other);
    record->setRemoteChecksum(told.checksum);
    if (!told.checksum)
        co_return UnseenVersion{};
    co_return std::nullopt;
}

QCoro::Task<> SyncLane::runDeltaPass(std::stop_token stop)
{
    ++m_deltaPassesRun;
    const auto self = shared_from_this();
    ++m_deltaPassesActive;
    const auto active = qScopeGuard([this] { --m_deltaPassesActive; });
    const quint64 epoch = m_epoch;
    const auto folder = syncFolder();
    const auto bookmarks = m_bookmarkManager;
    if (!folder->folderPath() || !isCurrent(epoch, stop))
        co_return;

    // Passes of one lane never overlap: a manual pass waits for the loop's.
    auto locking = m_deltaPassMutex.lock();
    const auto passLock = co_await std::move(locking);
    if (!isCurrent(epoch, stop))
        co_return;
    m_deltaPassFailure.reset();

    std::optional<QByteArray> bookmark;
    if (m_vault) {
        auto reading = m_vault->entryAsync(KeychainVault::folderBookmarkKey(laneID()));
        bookmark = (co_await std::move(reading)).value;
    }
    if (!bookmark || !isCurrent(epoch, stop))
        co_return;

    co_await releaseHeldDownloads(*bookmark, stop);
    if (!isCurrent(epoch, stop))
        co_return;

    // With no cursor yet the feed is the folder's whole history, as large as a listing, and
    // is held until it is applied: such a catch-up takes the turn a large reconciliation takes
    // (several folders' at once is what a new link peaks at). A pass with a cursor never waits.
    std::optional<AsyncMutex::Lock> turn;
    if (!folder->deltaCursor()) {
        auto taking = takeLargeReconciliationTurn();
        turn.emplace(co_await std::move(taking));
        if (!isCurrent(epoch, stop))
            co_return;
    }
    const QString recordedRoot = folder->folderPath().value_or(QString());
    const std::optional<QString> cursor = folder->deltaCursor();
    FileSyncAPI::ChangeFeed feed;
    std::optional<QString> root;
    std::exception_ptr failure;
    // What the page tells counts from when it was asked: a read of the feed asked meanwhile
    // knows more than it, however late the page is applied.
    const quint64 asked = ++m_learnings;
    try {
        auto fetching = requestChanges(cursor, stop);
        feed = co_await std::move(fetching);
        if (isCurrent(epoch, stop) && !feed.changes.isEmpty()) {
            auto resolving = bookmarks->startAccessing(*bookmark);
            root = co_await std::move(resolving);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (!isCurrent(epoch, stop)) {
        if (root)
            bookmarks->stopAccessing(*root);
        co_return; // a stop is no failure and moves no back-off
    }
    if (failure) {
        // What a manual pass reports. A stop is no failure; a refused cursor starts the feed
        // again at once.
        if (!isCancellation(failure) && !(cursor && isRefusedCursor(failure)))
            m_deltaPassFailure = describeError(failure);
        if (isCancellation(failure) || isNetworkError(failure))
            co_return;
        if (isRateLimited(failure)) {
            SyncLogger::shared().log(SyncLogger::Event::pendingRetry, SyncLogger::Direction::none, folder->name(),
                                     QStringLiteral("Delta sync rate limited — will retry on next tick"));
            co_return;
        }
        if (cursor && isRefusedCursor(failure)) {
            // The history behind the cursor is gone: start again from the whole feed (a
            // delete matches its record by id, so the replay is safe) and look at
            // everything once more.
            logLine(SyncLogger::Event::syncFailed,
                    QStringLiteral("The service refused the change cursor of %1: reading its changes from the start")
                        .arg(folder->name()));
            folder->setDeltaCursor(std::nullopt);
            saveQuietly();
            // What it told since that cursor is the whole feed's to tell now; a read on its
            // way adds nothing when it lands.
            m_heard.reset();
            ++m_heardResets;
            forgetOlderLearnings({}, true);
            scheduleFullSync(Clock::Duration::zero());
            co_return;
        }
        ++m_consecutiveDeltaFailures;
        showPathFailure(m_feedFailureShown, describeError(failure));
        co_return;
    }
    // Any answer brings the loop back to its normal interval, and takes away what a failed
    // request showed: with nothing to apply, no queue pass would end to do it.
    m_consecutiveDeltaFailures = 0;
    clearPathFailure(m_feedFailureShown);
    if (feed.changes.isEmpty()) {
        // Nothing to apply, but a place to go on from: without it every pass of a folder
        // whose feed is empty would read from the start, and wait for a catch-up's turn.
        if (feed.cursor && !feed.cursor->isEmpty() && feed.cursor != cursor) {
            folder->setDeltaCursor(*feed.cursor);
            if (!saveQuietly() && !folder->isDeleted())
                folder->setDeltaCursor(cursor);
            else
                forgetReachedByPage(feed.changes, feed.cursor);
        }
        co_return;
    }

    // Paths follow the folder: moved since its records were written, the activation moves
    // them before anything here compares paths.
    if (!lane::sameText(*root, recordedRoot)) {
        bookmarks->stopAccessing(*root);
        logLine(SyncLogger::Event::syncStarted,
                QStringLiteral("%1 moved: changes wait for the folder to be activated again").arg(folder->name()));
        start();
        co_return;
    }

    const quint64 failedSavesBefore = m_failedSaves;
    m_pageAsked = asked;
    // A catch-up holds the turn only while its page is in memory: what it owes to fetch is
    // left to the queue pass that follows, after the turn is let go.
    m_downloadsLeftToQueue = turn.has_value();
    const auto leftToQueue = qScopeGuard([this] { m_downloadsLeftToQueue = false; });
    bool complete = false;
    {
        m_pageChanges = &feed.changes;
        m_pageWords.reset();
        const auto pageDone = qScopeGuard([this] {
            m_pageChanges = nullptr;
            m_pageWords.reset();
        });
        complete = co_await applyChanges(feed.changes, *root, stop);
    }
    if (!isCurrent(epoch, stop)) {
        bookmarks->stopAccessing(*root);
        co_return;
    }
    // A save the store refused meanwhile may have left a change of the page unstored, or set
    // back what one wrote: the cursor stays before the page, which the next pass reads again.
    const std::optional<QString> cursorBefore = folder->deltaCursor();
    if (complete && m_failedSaves == failedSavesBefore) {
        // Only a cursor the service sent, else the newest time the service gave a change we
        // applied: a cursor made from this device's clock could skip changes for good.
        std::optional<QString> next = feed.cursor;
        if (!next) {
            std::optional<QDateTime> latest;
            for (const auto &change : feed.changes)
                if (const auto time = latestServiceTime(change); time && (!latest || *time > *latest))
                    latest = time;
            if (latest)
                next = formatInternetDate(*latest);
        }
        if (next)
            folder->setDeltaCursor(*next);
        setLastSyncAt(m_clock.currentDateTime());
    }
    // The records the changes wrote and the cursor are saved together, or the cursor stays.
    if (!saveQuietly() && !folder->isDeleted())
        folder->setDeltaCursor(cursorBefore);
    else if (folder->deltaCursor() != cursorBefore)
        forgetReachedByPage(feed.changes, folder->deltaCursor());
    notifyStateChanged();
    bookmarks->stopAccessing(*root);
    if (feed.changes.size() >= largeFeed) {
        // A long feed (the first after a full sync names every file) took memory the heap
        // would keep while the lane idles: its entries and records are let go by now.
        feed.changes = {};
        returnFreedMemoryAfterFeed();
    }
    // Before the queue pass, whose transfers may take long. Downloads a catch-up left owed
    // are that pass's: one running now runs again for them.
    const bool leftDownloads = std::exchange(m_downloadsLeftToQueue, false);
    turn.reset();
    if (!isCurrent(epoch, stop))
        co_return;
    if (fetchOutstandingRecords() > 0 && (!m_isProcessingQueue || leftDownloads))
        co_await processQueue(stop);
}

void SyncLane::returnFreedMemoryAfterFeed()
{
    // Not at once: a trim made as the feed ended found tens of megabytes still held by the
    // pass's frames and the work it set off, and gave back far less than one made later.
    auto body = [weak = weak_from_this(), &clock = m_clock](std::stop_token stop) -> QCoro::Task<> {
        const bool slept = co_await clock.sleepFor(freedMemoryDelay, stop);
        const auto lane = weak.lock();
        if (!slept || !lane)
            co_return;
        if (lane->m_returnFreedMemory) {
            lane->m_returnFreedMemory();
            co_return;
        }
        returnFreedMemoryOffThread();
    };
    m_freedMemoryTask = TaskHandle::start(std::move(body));
}

std::shared_ptr<SyncFile> SyncLane::fetchDeltaRecord(const QString &localPath)
{
    // The chunk's lookup holds the context's own handles, so a record seen there is current;
    // one removed or moved since, or a path it did not hold, is asked of the store again.
    if (m_deltaRecords) {
        const auto found = m_deltaRecords->constFind(localPath);
        if (found != m_deltaRecords->cend() && !(*found)->isDeleted() && (*found)->localPath() == localPath)
            return *found;
    }
    return fetchRecord(localPath);
}

QCoro::Task<bool> SyncLane::applyChanges(QList<FileSyncAPI::DeltaChange> changes, QString root, std::stop_token stop)
{
    const quint64 epoch = m_epoch;
    const auto folder = syncFolder();
    const bool planMirror = folder->policy().mirrorsPlanLayout;
    const FolderScope scope = folderScope();

    // Where each change goes. The plan mirror places files only by its plan layout: the feed
    // updates or removes the files the layout placed (found by id) and asks the layout for
    // the rest, so one file never lands in two places.
    QList<Target> targets;
    QHash<qint64, QString> placedByID;
    bool layoutNeeded = false;
    if (planMirror) {
        for (const auto &record : fetchFolderRecords())
            if (record->remoteId())
                placedByID.insert(*record->remoteId(), record->localPath());
        for (const auto &change : changes) {
            Target target;
            target.relative = relativeOf(change);
            if (const auto placed = placedByID.constFind(change.id); placed != placedByID.cend())
                target.path = *placed;
            targets.append(target);
        }
    } else {
        auto placing = [root, changes] {
            QList<Target> placed;
            SafeJoiner joiner(root);
            for (const auto &change : changes)
                placed.append({joiner.join(change.drivePath.value_or(QString()), change.filename), relativeOf(change)});
            return placed;
        };
        targets = co_await runInBackground(std::move(placing));
        if (!isCurrent(epoch, stop))
            co_return false;
    }

    // The page is applied by its net effect: the last entry of each id is the one that
    // counts (a file made and deleted again is never fetched, an old version never), and a
    // path another id lives at after the page is not emptied by the delete of the one before.
    QHash<qint64, qsizetype> lastOfId;
    for (qsizetype i = 0; i < changes.size(); ++i)
        if (isAction(changes[i], "created") || isAction(changes[i], "updated") || isAction(changes[i], "deleted"))
            lastOfId.insert(changes[i].id, i);
    // A full sync judging its listing meanwhile must not set these files back to what the
    // listing (asked for before this read) said of them.
    if (m_fedSinceListing)
        noteFedSinceListing(changes, lastOfId);
    // Nor does the last full sync's listing tell where these files are and what they hold.
    if (m_listed)
        for (auto it = lastOfId.cbegin(); it != lastOfId.cend(); ++it) {
            if (isAction(changes[*it], "deleted"))
                m_listed->forgetDeleted(it.key());
            else
                m_listed->forgetChanged(it.key());
        }
    QHash<qint64, std::optional<QString>> places;
    // The first catch-up names every file: one version and a flag per id, not a set of them.
    QHash<qint64, PageVersions> versions;
    for (const auto &change : changes)
        if (isAction(change, "created") || isAction(change, "updated")) {
            QString version = lowerChecksum(change.fileChecksum).value_or(QString());
            if (const auto known = versions.find(change.id); known == versions.end())
                versions.insert(change.id, {std::move(version), false});
            else
                known->several = known->several || known->first != version;
        }
    QSet<QString> livePaths;
    for (auto it = lastOfId.cbegin(); it != lastOfId.cend(); ++it) {
        const auto &change = changes[*it];
        const bool upsert = !isAction(change, "deleted");
        places.insert(it.key(), upsert ? targets[*it].path : std::nullopt);
        if (upsert && targets[*it].path)
            livePaths.insert(*targets[*it].path);
    }
    m_pageDeferred = false;

    // A long feed (the first after a full sync names every file) looks its records up a chunk
    // at a time instead of one statement per change; only that chunk's records are held.
    constexpr qsizetype lookupChunk = 500;
    const bool prefetch = !planMirror && changes.size() > 32;
    QHash<QString, std::shared_ptr<SyncFile>> chunkRecords;
    QHash<qint64, std::vector<std::shared_ptr<SyncFile>>> chunkHolders;
    m_pagePlaces = &places;
    m_pageVersions = &versions;
    const auto endPrefetch = qScopeGuard([this] {
        m_deltaRecords = nullptr;
        m_deltaHolders = nullptr;
        m_pagePlaces = nullptr;
        m_pageVersions = nullptr;
    });
    for (qsizetype i = 0; i < changes.size(); ++i) {
        if (prefetch && i % lookupChunk == 0) {
            QStringList paths;
            QList<qint64> ids;
            for (qsizetype j = i; j < std::min(changes.size(), i + lookupChunk); ++j) {
                if (targets[j].path)
                    paths.append(*targets[j].path);
                ids.append(changes[j].id);
            }
            chunkRecords = fetchRecordsAtPaths(*m_modelContext, laneID(), paths);
            chunkHolders.clear();
            for (auto &record : fetchRecordsHoldingIds(*m_modelContext, laneID(), ids))
                chunkHolders[*record->remoteId()].push_back(std::move(record));
            m_deltaRecords = &chunkRecords;
            m_deltaHolders = &chunkHolders;
        }
        const auto &change = changes[i];
        const Target &target = targets[i];
        const bool upsert = isAction(change, "created") || isAction(change, "updated");
        if (!upsert && !isAction(change, "deleted"))
            continue;
        if (lastOfId.value(change.id) != i)
            continue; // a later entry of the page says what became of this file
        if (!upsert && target.path && livePaths.contains(*target.path)) {
            // Another file of the service lives at this path now: it takes the place. A record
            // that holds the deleted file elsewhere (renamed at the service, then deleted,
            // before this device followed) still lets it go, or nothing would ever say so.
            std::optional<QString> elsewhere;
            for (const auto &holder : fetchDeltaHolders(change.id))
                if (holder->localPath() != *target.path) {
                    elsewhere = holder->localPath();
                    break;
                }
            if (!elsewhere)
                continue;
            co_await applyDeletion(change, *elsewhere, stop);
            if (!isCurrent(epoch, stop))
                co_return false;
            continue;
        }
        if (planMirror && !target.path) {
            layoutNeeded = layoutNeeded || upsert;
            continue;
        }
        if (!target.path) {
            if (!std::exchange(m_refusedEntriesLogged[change.id], true))
                logLine(SyncLogger::Event::syncFailed, QStringLiteral("Skipped %1 from %2: not a usable path in the folder")
                                                           .arg(target.relative, folder->name()));
            continue;
        }
        if (!planMirror && !scope.includes(target.relative)) {
            if (!std::exchange(m_refusedEntriesLogged[change.id], true))
                logLine(SyncLogger::Event::fileSkipped,
                        QStringLiteral("Not downloading %1 to %2: the folder does not sync files there")
                            .arg(target.relative, folder->name()));
            continue;
        }
        if (upsert)
            co_await applyUpsert(change, *target.path, stop);
        else
            co_await applyDeletion(change, *target.path, stop);
        if (!isCurrent(epoch, stop))
            co_return false;
    }
    if (layoutNeeded)
        scheduleFullSync(Clock::Duration::zero());
    co_return !m_pageDeferred;
}

void SyncLane::noteFedSinceListing(const QList<FileSyncAPI::DeltaChange> &changes,
                                   const QHash<qint64, qsizetype> &lastOfId)
{
    // A deleted file keeps where it lived and what it held: a copy here that no record holds is
    // known for the deleted version only by these, and a delete may name its id alone. They
    // come from the page's latest entries of it that name them, else from what an earlier
    // page told of its delete; only deleted files keep them.
    QHash<qint64, FedSinceListing> deletes;
    for (auto it = lastOfId.cbegin(); it != lastOfId.cend(); ++it)
        if (isAction(changes[*it], "deleted")) {
            FedSinceListing told = m_fedSinceListing->value(it.key());
            if (!told.deleted)
                told = FedSinceListing{};
            told.deleted = true;
            deletes.insert(it.key(), std::move(told));
        }
    for (const auto &change : changes) {
        const auto told = deletes.find(change.id);
        if (told == deletes.end())
            continue;
        if (!change.filename.isEmpty()) {
            told->drivePath = change.drivePath;
            told->filename = change.filename;
        }
        if (auto checksum = lowerChecksum(change.fileChecksum))
            told->checksum = std::move(checksum);
    }
    for (auto it = lastOfId.cbegin(); it != lastOfId.cend(); ++it) {
        const auto told = deletes.find(it.key());
        m_fedSinceListing->insert(it.key(), told == deletes.end() ? FedSinceListing{} : std::move(*told));
    }
}

std::vector<std::shared_ptr<SyncFile>> SyncLane::fetchDeltaHolders(qint64 id)
{
    std::vector<std::shared_ptr<SyncFile>> holders;
    if (m_deltaHolders) {
        // Only what the chunk's lookup found, as it is now: a record written since may have
        // let go of the id (a record that took it up since did so at this change's own path).
        if (const auto found = m_deltaHolders->constFind(id); found != m_deltaHolders->cend())
            for (const auto &record : *found)
                if (!record->isDeleted() && record->remoteId() == id)
                    holders.push_back(record);
        return holders;
    }
    return fetchRecordsHoldingIds(*m_modelContext, laneID(), {id});
}

bool SyncLane::isMadeHere(const SyncFile &record)
{
    return !record.remoteId() && !nonEmpty(record.localChecksum());
}

std::optional<QString> SyncLane::lastSyncedContent(const SyncFile &record)
{
    // Content is synced at a place only while the record holds the service's file there: a
    // record moved here (or new) has none, whatever it carried from elsewhere.
    if (!record.remoteId() || !record.localChecksum() || record.localChecksum()->isEmpty())
        return std::nullopt;
    return record.localChecksum()->toLower();
}

bool SyncLane::hasNewerServiceVersion(const SyncFile &record)
{
    // Only a version the service named counts: without one, the service's file is taken to be
    // the one last synced here (nothing said otherwise).
    const auto service = lowerChecksum(record.remoteChecksum());
    return record.remoteId() && service && service != lastSyncedContent(record);
}

void SyncLane::forgetStaleBase(SyncFile &record)
{
    // The commit was the service's answer to this folder's upload of lfsOid: once the copy
    // here is another version (one that came down), the commit no longer describes it, and an
    // edit naming it would be judged a conflict by the service.
    if (record.baseCommitSha() && lowerChecksum(record.localChecksum()) != lowerChecksum(record.lfsOid()))
        record.setBaseCommitSha(std::nullopt);
}

void SyncLane::forgetBaseAfterOtherVersions(SyncFile &record, qint64 id, const std::optional<QString> &incoming) const
{
    // Another version alone leaves the commit as it is: it still names what this folder last
    // synced, and an edit naming it is met by the service with that version as the conflict it
    // is (its download drops the commit anyway).
    const auto sent = lowerChecksum(record.lfsOid());
    if (!record.baseCommitSha() || !sent || incoming != sent)
        return;
    const auto known = lowerChecksum(record.remoteChecksum());
    bool otherVersion = known && known != sent;
    // The page cannot tell this folder's own earlier uploads from another device's saves: any
    // other version it names drops the commit, and the next edit is judged by a read of the
    // service instead, as an edit of a version that came down is.
    if (m_pageVersions)
        if (const auto named = m_pageVersions->constFind(id); named != m_pageVersions->cend())
            otherVersion = otherVersion || named->several || named->first != *sent;
    if (otherVersion)
        record.setBaseCommitSha(std::nullopt);
}

void SyncLane::deferUnnamedVersion(qint64 id)
{
    // Only this run remembers it: the page stays unstored, so a restart reads the change again
    // once the transfer is over, and meets the record as it is then.
    m_unnamedVersions.insert(id);
    m_pageDeferred = true;
}

void SyncLane::forgetServiceFile(SyncFile &record)
{
    record.setRemoteId(std::nullopt);
    record.setRemoteChecksum(std::nullopt);
    record.setLfsOid(std::nullopt);
    record.setRemoteModifiedAt(std::nullopt);
    record.setLastSyncedAt(std::nullopt);
    record.setFileUUID(std::nullopt);
    record.setBaseCommitSha(std::nullopt);
    applyConflict(std::nullopt, record);
}

namespace {

enum class MoveResult { moved, targetTaken, changed, failed };

// Blocking. Moves the file at `from` (still the version stamped when it was judged) to `to`,
// never replacing anything there; the folders on the way are made.
MoveResult moveFileWithoutReplacing(const QString &from, const QString &to, const SyncLane::FileStamp &judged)
{
    if (SyncLane::fileStamp(from) != judged)
        return MoveResult::changed;
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(QFileInfo(to).path()).toStdString(), error);
    if (error)
        return MoveResult::failed;
    if (::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD, QFile::encodeName(to).constData(),
                    RENAME_NOREPLACE)
        != 0)
        return errno == EEXIST ? MoveResult::targetTaken : MoveResult::failed;
    return MoveResult::moved;
}

bool isAbsent(const QString &path)
{
    struct stat status{};
    return ::lstat(QFile::encodeName(path).constData(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

} // namespace

QCoro::Task<bool> SyncLane::followRemoteMove(FileSyncAPI::DeltaChange change, QString localPath, std::stop_token stop)
{
    const quint64 epoch = m_epoch;
    const qint64 id = change.id;
    std::shared_ptr<SyncFile> mover;
    for (const auto &holder : fetchDeltaHolders(id)) {
        if (holder->localPath() == localPath)
            continue;
        if (holder->syncStatus() == SyncFileStatus::syncing) {
            // A transfer owns it: the change waits for a later pass (no cursor this time).
            m_pageDeferred = true;
            co_return true;
        }
        if (holder->desiredState() == SyncFileDesiredState::deletedRemote || mover) {
            // Deleted here (or a move origin), or a second holder of one id: it lets go, so
            // its delete never reaches the file that now lives elsewhere.
            forgetServiceFile(*holder);
            continue;
        }
        mover = holder;
    }
    if (!mover)
        co_return false;

    const QString from = mover->localPath();
    const auto lastSynced = lastSyncedContent(*mover);
    // A place whose name a file of the folder already takes in another case or Unicode form is
    // no free place: on a drive that ignores the difference, that file would be replaced.
    auto looking = [from, localPath, stop] {
        return std::pair(lookAt(from, stop), isAbsent(localPath) && !lane::nameTwin(localPath));
    };
    const auto [look, targetFree] = co_await runInBackground(std::move(looking));
    if (!isCurrent(epoch, stop))
        co_return true;
    const auto record = fetchRecord(from);
    if (!record || record->remoteId() != id || record->syncStatus() == SyncFileStatus::syncing) {
        m_pageDeferred = true; // changed while it was looked at: the next pass sees it as it is
        co_return true;
    }
    const bool placeFree = targetFree && !fetchDeltaRecord(localPath);
    const QString name = QFileInfo(localPath).fileName();
    const bool holdsLastSynced = look.kind == LocalLook::Kind::regularFile && lastSynced && look.checksum == *lastSynced;
    MoveResult moved = MoveResult::failed;
    if (placeFree && holdsLastSynced) {
        auto moving = [from, localPath, stamp = *look.stamp] {
            return moveFileWithoutReplacing(from, localPath, stamp);
        };
        moved = co_await runInBackground(std::move(moving));
        if (!isCurrent(epoch, stop))
            co_return true;
        if (moved == MoveResult::changed) {
            m_pageDeferred = true; // saved meanwhile: the next pass judges it as it is then
            co_return true;
        }
        if (moved == MoveResult::moved) {
            // The lane's own move: reported by the watcher, it is no change of the user's.
            m_verifiedStamps.remove(from);
            m_verifiedStamps.insert(localPath, *look.stamp);
            record->setLastSyncedAt(m_clock.currentDateTime());
            stampSettled(*record);
        }
    }
    if (placeFree && (moved == MoveResult::moved || look.kind == LocalLook::Kind::absent)) {
        record->setLocalPath(localPath);
        record->setFilename(name);
        // Nothing of it reached the new place (the file had left the old one, moved or deleted
        // by the user before the watcher told): no content is synced there, so the change
        // fetches the file instead of taking it as the version this folder has.
        if (moved != MoveResult::moved)
            record->setLocalChecksum(std::nullopt);
        logLine(SyncLogger::Event::syncStarted, QStringLiteral("Moved %1 to %2 as at Harborly")
                                                    .arg(QFileInfo(from).fileName(), relativeOf(change)));
        co_return false; // the change itself is then applied at its new place
    }

    // The file cannot follow: what is left at the old place is no longer the service's file.
    forgetServiceFile(*record);
    const bool downloadOnly = !syncFolder()->policy().localEditsSurviveDownload;
    if (holdsLastSynced || (downloadOnly && look.kind == LocalLook::Kind::regularFile)) {
        // Removed only while it still holds the last synced content (checked again on the
        // spot); a download-only folder keeps the service's version alone.
        record->oweLocalDelete();
        co_await dispatchNow(record, stop);
    } else if (look.kind == LocalLook::Kind::regularFile) {
        trackLocalChange(from, look.stamp); // the user's content: kept and sent as a file of its own
    } else if (look.kind != LocalLook::Kind::unreadable) {
        m_modelContext->remove(record); // nothing of it is at the old place
    }
    co_return !isCurrent(epoch, stop);
}

QCoro::Task<> SyncLane::applyUpsert(FileSyncAPI::DeltaChange change, QString localPath, std::stop_token stop)
{
    const quint64 epoch = m_epoch;
    const auto folder = syncFolder();
    const FolderPolicy policy = folder->policy();
    const std::optional<QString> checksum = lowerChecksum(change.fileChecksum);
    const QString name = QFileInfo(localPath).fileName();
    noteLearnedFromPage(change.id);
    if (checksum)
        m_unnamedVersions.remove(change.id);

    auto record = fetchDeltaRecord(localPath);
    if (!policy.mirrorsPlanLayout && !(record && record->remoteId() == change.id)) {
        // One service file has one record: held at another path, the service moved it.
        if (co_await followRemoteMove(change, localPath, stop))
            co_return;
        if (!isCurrent(epoch, stop))
            co_return;
        record = fetchDeltaRecord(localPath);
    }
    const bool holdsThisFile = record && record->remoteId() == change.id;
    if (holdsThisFile)
        forgetBaseAfterOtherVersions(*record, change.id, checksum);
    if (record && record->remoteId() && *record->remoteId() != change.id) {
        const qint64 previous = *record->remoteId();
        if (m_pagePlaces && m_pagePlaces->contains(previous) && m_pagePlaces->value(previous) != localPath) {
            // The file the record held left this path in this same page (deleted, or moved
            // on): the new one takes the place, and what the record last synced here is
            // the version it replaces.
            forgetServiceFile(*record);
            record->setRemoteId(change.id);
        } else if (record->desiredState() == SyncFileDesiredState::deletedRemote
                   || record->desiredState() == SyncFileDesiredState::deletedLocal) {
            // The record's file is on its way out (deleted here, or at the service): its delete
            // goes first, then the next pass reads this page again and the new file comes down
            // to a free place.
            m_pageDeferred = true;
            co_return;
        } else {
            // A feed replayed from its start names old ids at paths that live files use now.
            logLine(SyncLogger::Event::fileSkipped,
                    QStringLiteral("Two service files at one path: %1 (id:%2 and id:%3) — left as it is")
                        .arg(name, QString::number(previous), QString::number(change.id)));
            co_return;
        }
    }
    if (record && record->desiredState() == SyncFileDesiredState::deletedRemote && holdsThisFile) {
        if (checksum && *checksum == lastSyncedContent(*record))
            co_return; // the version the user deleted here: the delete at the service goes ahead
        // Another device's newer version (one whose content the service did not name is newer
        // all the same): an edit beats a delete. The owed delete is dropped (its dispatch
        // checks the same), and the new version comes down below.
        record->setRemoteChecksum(checksum);
        if (record->syncStatus() == SyncFileStatus::syncing) {
            if (!checksum)
                deferUnnamedVersion(change.id);
            record->setGeneration(record->generation() + 1);
            co_return;
        }
        record->markSynced(); // nothing owed until the download below
        stampSettled(*record);
        logLine(SyncLogger::Event::fileSkipped,
                QStringLiteral("Not deleting %1 at Harborly: another device saved a newer version, which comes "
                               "down instead")
                    .arg(name));
    }
    if (record && record->desiredState() == SyncFileDesiredState::deletedRemote) {
        // What the user deleted here was another service file, moved away or replaced since:
        // this one is new to the place and comes down like any other, once that record is gone.
        if (record->syncStatus() == SyncFileStatus::syncing) {
            m_pageDeferred = true;
            co_return;
        }
        m_modelContext->remove(record);
        record = nullptr;
    }
    if (record && record->syncStatus() == SyncFileStatus::syncing) {
        // A transfer owns the record: it learns of the new version and goes back to pending.
        if (!checksum)
            deferUnnamedVersion(change.id);
        record->setRemoteId(change.id);
        record->setRemoteChecksum(checksum);
        record->setGeneration(record->generation() + 1);
        co_return;
    }
    if (record && record->desiredState() == SyncFileDesiredState::downloadPending) {
        // Already owed to the queue: one file is never fetched twice at once.
        const bool newVersion = !checksum || lowerChecksum(record->remoteChecksum()) != checksum;
        record->setRemoteId(change.id);
        record->setRemoteChecksum(checksum);
        noteListedSize(change.id, change.fileSize);
        if (record->syncStatus() == SyncFileStatus::error && newVersion) {
            // Its last try failed for good, but this is a new version: owed again, from now.
            // The feed repeating the version that failed (a replay) is no reason to try again.
            record->clearFailure();
        }
        co_return;
    }

    if (record && checksum && lastSyncedContent(*record) == *checksum
        && record->desiredState().value_or(SyncFileDesiredState::syncedLocal) == SyncFileDesiredState::syncedLocal) {
        // The service telling of the version this folder already has (its own upload coming
        // back): nothing to fetch, and nothing to hold.
        record->setRemoteId(change.id);
        record->setRemoteChecksum(checksum);
        co_return;
    }
    if (record && record->syncStatus() == SyncFileStatus::conflict
        && record->desiredState() == SyncFileDesiredState::uploadPending && checksum
        && lowerChecksum(record->remoteChecksum()) == checksum)
        co_return; // the version the conflict holding an edit back shows: it waits for the user
    if (policy.downloadsWaitForOpenApplications) {
        const QSet<QString> guards = runningGuardDAWs();
        if (!guards.isEmpty()) {
            holdDownload(change, localPath, guards);
            co_return;
        }
    }
    if (!policy.localEditsSurviveDownload) {
        co_await downloadRemoteFile(change, localPath, stop);
        co_return;
    }

    const HashCheck check = co_await hashCheck(localPath, checksum, stop);
    if (!isCurrent(epoch, stop))
        co_return;
    record = fetchRecord(localPath);
    if (record && (record->syncStatus() == SyncFileStatus::syncing || (record->remoteId() && *record->remoteId() != change.id))) {
        // Taken over while the file was looked at: nothing of the change is written, so the
        // page stays unstored and the next pass meets the record as that work left it.
        m_pageDeferred = true;
        co_return;
    }
    switch (check.verdict) {
    case LocalHashCheck::missing:
    case LocalHashCheck::syncedOnService:
        co_await downloadRemoteFile(change, localPath, stop);
        break;
    case LocalHashCheck::matchesExpected: {
        if (!record) {
            record = std::make_shared<SyncFile>(localPath, change.filename);
            record->setFolderID(laneID());
            record = m_modelContext->insert(std::move(record));
            record->setInode(check.stamp ? std::optional<qint64>(check.stamp->inode) : std::nullopt);
        }
        record->setRemoteId(change.id);
        record->setLocalChecksum(checksum);
        record->setRemoteChecksum(checksum);
        forgetStaleBase(*record);
        record->markSynced();
        stampSettled(*record);
        break;
    }
    case LocalHashCheck::unconfirmed:
        if (policy.mirrorsPlanLayout) {
            logLine(SyncLogger::Event::fileSkipped,
                    QStringLiteral("Kept %1: its content differs from the plan's and is not sent back").arg(name));
            break;
        }
        // Content the service does not know: kept, and sent as a local change. The record
        // (made now for a file the watcher has not told of yet too) learns what the service
        // now holds at its place, so its own upload meets that version as a conflict instead
        // of silently replacing it. A file made here, which holds no service file and no
        // content from elsewhere, takes up this one as a file found here at a full sync does:
        // no version of it is synced here yet, and once the user acknowledged the conflict the
        // version seen becomes the last synced one, which the edit then goes up over with no
        // base (the folder's head commit is another file's, and the service would report the
        // same conflict again).
        recordLocalChange(localPath, check.stamp);
        if (const auto changed = fetchRecord(localPath)) {
            if (isMadeHere(*changed))
                changed->setRemoteId(change.id);
            changed->setRemoteChecksum(checksum);
            if (!checksum && changed->remoteId() == change.id)
                m_unnamedVersions.insert(change.id);
        }
        saveQuietly();
        break;
    case LocalHashCheck::notAFile:
        logLine(SyncLogger::Event::fileSkipped,
                QStringLiteral("Not downloading %1: something other than a file is in its place").arg(name));
        break;
    }
}

QCoro::Task<> SyncLane::applyDeletion(FileSyncAPI::DeltaChange change, QString localPath, std::stop_token stop)
{
    noteLearnedFromPage(change.id);
    // Matched by id, never by path alone: a replayed feed names ids that once lived here.
    auto record = fetchDeltaRecord(localPath);
    if (!record || record->remoteId() != change.id) {
        // Renamed at the service and deleted there before this device heard of the rename:
        // the change names the new place, the record that holds the file is at the old one.
        const auto holders = fetchDeltaHolders(change.id);
        if (holders.empty())
            co_return;
        record = holders.front();
    }
    switch (record->desiredState().value_or(SyncFileDesiredState::syncedLocal)) {
    case SyncFileDesiredState::deletedRemote:
    case SyncFileDesiredState::deletedLocal:
        co_return; // already on its way out
    default:
        break;
    }
    if (record->syncStatus() == SyncFileStatus::syncing) {
        if (record->desiredState() == SyncFileDesiredState::downloadPending) {
            // A download is no edit: the delete is applied once it has ended, and the page,
            // not applied yet, is read again before its cursor is stored.
            m_deletesAfterDownload.insert(change.id);
            m_pageDeferred = true;
            co_return;
        }
        // A transfer of it runs (an upload of a local edit): that edit wins. The delete is not
        // applied meanwhile, so the page is read again once the transfer has ended: an edit sent
        // by then lives on at the service, and a copy left unchanged goes as the delete says.
        record->setGeneration(record->generation() + 1);
        m_pageDeferred = true;
        co_return;
    }
    // Removed only as a local delete may: one regular file whose content is the last synced
    // content (any content in a download-only folder); a local edit is kept and sent.
    record->oweLocalDelete();
    co_await dispatchNow(record, stop);
}

void SyncLane::applyDeleteToldDuringDownload(qint64 id)
{
    if (!m_deletesAfterDownload.remove(id))
        return;
    bool owed = false;
    for (const auto &record : fetchRecordsHoldingIds(*m_modelContext, laneID(), {id})) {
        if (record->syncStatus() == SyncFileStatus::syncing) {
            m_deletesAfterDownload.insert(id); // another transfer of it still runs
            return;
        }
        const auto state = record->desiredState().value_or(SyncFileDesiredState::syncedLocal);
        if (state == SyncFileDesiredState::deletedLocal || state == SyncFileDesiredState::deletedRemote)
            continue;
        // As any delete from another device: the copy here goes only while it holds the
        // content that came down (any content in a download-only folder).
        record->oweLocalDelete();
        record->setSyncStatus(SyncFileStatus::pending);
        owed = true;
    }
    if (!owed)
        return;
    saveQuietly();
    if (!m_isProcessingQueue)
        scheduleQueuePassForRetries();
}

QCoro::Task<> SyncLane::downloadRemoteFile(FileSyncAPI::DeltaChange change, QString localPath, std::stop_token stop)
{
    // Fetched or made: never a new record inserted over an existing one's path.
    auto record = fetchOrCreateRecord(localPath);
    if (record->syncStatus() == SyncFileStatus::syncing) {
        record->setRemoteId(change.id);
        record->setRemoteChecksum(lowerChecksum(change.fileChecksum));
        record->setGeneration(record->generation() + 1);
        co_return;
    }
    if (record->remoteId() && *record->remoteId() != change.id) {
        logLine(SyncLogger::Event::fileSkipped,
                QStringLiteral("Two service files at one path: %1 (id:%2 and id:%3) — left as it is")
                    .arg(record->filename(), QString::number(*record->remoteId()), QString::number(change.id)));
        co_return;
    }
    record->setRemoteId(change.id);
    record->setRemoteChecksum(lowerChecksum(change.fileChecksum));
    noteListedSize(change.id, change.fileSize);
    record->oweDownload();
    record->setErrorMessage(std::nullopt);
    if (m_downloadsLeftToQueue) {
        record->setSyncStatus(SyncFileStatus::pending);
        co_return;
    }
    co_await dispatchNow(record, stop);
}

void SyncLane::noteListedSize(qint64 remoteId, std::optional<qint64> size)
{
    // Kept only while known: a size from an older listing would refuse the newer version.
    if (size && *size >= 0)
        m_listedSizes.insert(remoteId, *size);
    else
        m_listedSizes.remove(remoteId);
}

QCoro::Task<> SyncLane::dispatchNow(std::shared_ptr<SyncFile> record, std::stop_token stop)
{
    // As the queue dispatches: marked in flight (the queue passes it by), then one run of
    // its operation with the queue's completion and failure rules. A failure leaves it owed
    // with its retry time; a stop leaves it owed as it was.
    record->setSyncStatus(SyncFileStatus::syncing);
    if (!saveQuietly()) {
        // What the refused save set back (a group's outcomes owed again) is not run here: only
        // a record still marked by this dispatch and owed work, as it is now.
        if (record->isDeleted() || record->syncStatus() != SyncFileStatus::syncing || !record->desiredState()
            || *record->desiredState() == SyncFileDesiredState::syncedLocal)
            co_return;
    }
    co_await syncRecord(std::move(record), std::move(stop));
}

void SyncLane::holdDownload(const FileSyncAPI::DeltaChange &change, const QString &localPath,
                            const QSet<QString> &guards)
{
    auto record = fetchRecord(localPath);
    if (!record) {
        record = std::make_shared<SyncFile>(localPath, change.filename);
        record->setSyncStatus(SyncFileStatus::pending);
        record->setSyncDirection(SyncFileDirection::download);
        record->setFolderID(laneID());
        record = m_modelContext->insert(std::move(record));
    }
    record->setDesiredState(SyncFileDesiredState::downloadHeld);
    record->setRemoteChecksum(lowerChecksum(change.fileChecksum));
    record->setRemoteId(change.id);
    noteListedSize(change.id, change.fileSize);
    setHeldDownloadNotice(heldNotice(change.filename, guards));
}

QCoro::Task<SyncLane::LocalHashCheck> SyncLane::checkFileHash(QString localPath, std::optional<QString> expected,
                                                              std::stop_token stop)
{
    const HashCheck check = co_await hashCheck(std::move(localPath), lowerChecksum(expected), std::move(stop));
    co_return check.verdict;
}

QCoro::Task<SyncLane::HashCheck> SyncLane::hashCheck(QString localPath, std::optional<QString> expected,
                                                     std::stop_token stop)
{
    const auto self = shared_from_this();
    const quint64 epoch = m_epoch;
    const auto folder = syncFolder();
    HashCheck check;
    auto looking = [localPath, stop] { return lookAt(localPath, stop); };
    LocalLook look;
    try {
        look = co_await runInBackground(std::move(looking));
    } catch (...) {
        co_return check; // stopped: unconfirmed, and the caller sees the stop
    }
    check.stamp = look.stamp;
    switch (look.kind) {
    case LocalLook::Kind::absent:
        check.verdict = LocalHashCheck::missing;
        co_return check;
    case LocalLook::Kind::other:
        check.verdict = LocalHashCheck::notAFile;
        co_return check;
    case LocalLook::Kind::unreadable:
        co_return check;
    case LocalLook::Kind::regularFile:
        break;
    }
    if (look.checksum.isEmpty() || !isCurrent(epoch, stop))
        co_return check;
    if (expected && *expected == look.checksum) {
        check.verdict = LocalHashCheck::matchesExpected;
        co_return check;
    }
    // "Synced on the service" is only believed for this file's own place: its last synced
    // content, or the content the service lists at this drive path and name. A local
    // replacement is never overwritten because the same bytes exist elsewhere.
    if (const auto record = fetchRecord(localPath); record && lastSyncedContent(*record) == look.checksum) {
        check.verdict = LocalHashCheck::syncedOnService; // the version last synced here
        co_return check;
    }
    if (folder->policy().mirrorsPlanLayout)
        co_return check; // no listing: anything else is the user's
    const bool held = co_await serviceHoldsHere(localPath, look.checksum, look.stamp ? look.stamp->size : 0, stop);
    if (held && isCurrent(epoch, stop))
        check.verdict = LocalHashCheck::syncedOnService;
    co_return check;
}

QCoro::Task<bool> SyncLane::serviceHoldsHere(QString localPath, QString checksum, qint64 size, std::stop_token stop)
{
    const auto self = shared_from_this();
    const quint64 epoch = m_epoch;
    const auto api = m_apiClient;
    const auto folder = syncFolder();
    const QString name = QFileInfo(localPath).fileName();
    const QString drivePath = relativePath(localPath);
    if (!listedHere(localPath, checksum))
        co_return false;
    try {
        auto asking = api->checkHashBatch(laneID().toString(QUuid::WithoutBraces).toUpper(), folder->folderType(),
                                          {{name, drivePath, checksum, size}}, stop);
        const auto reply = co_await std::move(asking);
        co_return isCurrent(epoch, stop) && reply.synced.contains(checksum);
    } catch (...) {
        // A failed or stopped check confirms nothing: the caller keeps the file unconfirmed.
    }
    co_return false;
}

bool SyncLane::listedHere(const QString &localPath, const QString &checksum) const
{
    return m_listed && m_listed->holds(checksum, relativePath(localPath), QFileInfo(localPath).fileName());
}

void SyncLane::keepUnsyncedContent(const QString &localPath, const QString &why)
{
    if (syncFolder()->policy().mirrorsPlanLayout) {
        // The plan mirror never sends anything back: the file stays as it is.
        logLine(SyncLogger::Event::fileSkipped,
                QStringLiteral("Kept %1: its content differs from the plan's and is not sent back")
                    .arg(QFileInfo(localPath).fileName()));
        return;
    }
    keepLocalEdit(localPath, why);
}

QSet<QString> SyncLane::runningGuardDAWs()
{
    if (!syncFolder()->applicationGuardsEnabled() || !m_dawRunningStateProvider)
        return {};
    // Named as the user named them in the settings: a running program's own name may be its
    // executable's. The rules still see every name (resolvePriority adds them).
    const QStringList profiles = m_dawRunningStateProvider->runningGuards(*syncFolder(), *m_modelContext).profileNames;
    return QSet<QString>(profiles.cbegin(), profiles.cend());
}

QCoro::Task<> SyncLane::releaseHeldDownloads(QByteArray bookmark, std::stop_token stop)
{
    const auto self = shared_from_this();
    const quint64 epoch = m_epoch;
    const auto bookmarks = m_bookmarkManager;
    if (!runningGuardDAWs().isEmpty())
        co_return;
    // One release at a time: a delta pass and a re-evaluation never fetch one record twice.
    auto locking = m_releaseMutex.lock();
    const auto releaseLock = co_await std::move(locking);
    if (!isCurrent(epoch, stop))
        co_return;
    std::vector<std::shared_ptr<SyncFile>> held;
    try {
        held = fetchHeldDownloads(*m_modelContext, laneID());
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the held downloads", error);
    }
    if (held.empty()) {
        setHeldDownloadNotice(std::nullopt);
        co_return;
    }
    QStringList paths;
    for (const auto &record : held)
        paths.append(record->localPath());
    held.clear();

    std::optional<QString> root;
    try {
        auto resolving = bookmarks->startAccessing(bookmark);
        root = co_await std::move(resolving);
    } catch (...) {
        // An unreachable folder (or a stop) releases nothing: the held records stay held.
    }
    if (!root || !isCurrent(epoch, stop)) {
        if (root)
            bookmarks->stopAccessing(*root);
        co_return;
    }

    bool failedDownloads = false;
    for (const QString &path : paths) {
        // A guard that started meanwhile holds the rest again.
        if (!runningGuardDAWs().isEmpty())
            break;
        auto record = fetchRecord(path);
        if (!record || record->desiredState() != SyncFileDesiredState::downloadHeld
            || record->syncStatus() == SyncFileStatus::syncing)
            continue;
        const auto remoteId = record->remoteId();
        if (!remoteId) {
            record->setDesiredState(SyncFileDesiredState::syncedLocal);
            continue;
        }
        const std::optional<QString> expected = lowerChecksum(record->remoteChecksum());
        const HashCheck check = co_await hashCheck(path, expected, stop);
        if (!isCurrent(epoch, stop))
            break;
        record = fetchRecord(path);
        if (!record || record->desiredState() != SyncFileDesiredState::downloadHeld
            || record->syncStatus() == SyncFileStatus::syncing)
            continue;
        switch (check.verdict) {
        case LocalHashCheck::matchesExpected:
            record->setLocalChecksum(expected);
            forgetStaleBase(*record);
            record->setLastSyncedAt(m_clock.currentDateTime());
            stampSettled(*record);
            record->setSyncStatus(SyncFileStatus::synced);
            record->setDesiredState(SyncFileDesiredState::syncedLocal);
            break;
        case LocalHashCheck::missing:
        case LocalHashCheck::syncedOnService:
            record->oweDownload();
            co_await dispatchNow(record, stop);
            if (const auto after = fetchRecord(path); after && after->syncStatus() == SyncFileStatus::pending
                && after->desiredState() == SyncFileDesiredState::downloadPending)
                failedDownloads = true;
            break;
        case LocalHashCheck::unconfirmed:
            if (syncFolder()->policy().mirrorsPlanLayout) {
                // The plan mirror keeps the file as it is and sends nothing back.
                stampSettled(*record);
                record->setSyncStatus(SyncFileStatus::synced);
                record->setDesiredState(SyncFileDesiredState::syncedLocal);
                keepUnsyncedContent(path, QString());
                break;
            }
            trackLocalChange(path, check.stamp);
            break;
        case LocalHashCheck::notAFile:
            logLine(SyncLogger::Event::fileSkipped,
                    QStringLiteral("Not downloading %1: something other than a file is in its place")
                        .arg(QFileInfo(path).fileName()));
            break;
        }
        if (!isCurrent(epoch, stop))
            break;
    }
    const bool finished = isCurrent(epoch, stop);
    saveQuietly();
    bookmarks->stopAccessing(*root);
    if (!finished)
        co_return;
    // Cleared only once the records were dealt with, and only when none is held any more.
    bool stillHeld = false;
    try {
        stillHeld = !fetchHeldDownloads(*m_modelContext, laneID()).empty();
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the held downloads", error);
    }
    if (!stillHeld)
        setHeldDownloadNotice(std::nullopt);
    // A download that failed here stays owed on its back-off. Outside a queue pass (one that
    // runs or is scheduled ends by scheduling the retries) nothing else would send it.
    if (failedDownloads && !m_isProcessingQueue && !m_queueRetryTask.isRunning())
        scheduleQueuePassForRetries();
    notifyStateChanged();
}

} // namespace quillmere
