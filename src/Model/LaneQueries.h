#pragma once

#include "Model/RetryPolicy.h"

#include <QDateTime>
#include <QHash>
#include <QStringList>
#include <QSet>
#include <QString>
#include <QUuid>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

class ModelContext;
class SyncFile;

// The lookups a lane makes per dispatch, per pass or per event batch. Each is one indexed
// statement over the store with the context's unsaved changes laid over it, so the result
// is what a plain fetch of the folder's records would give, filtered and ordered in memory.
// "Store order" is row id order, with records inserted since the last save after every
// stored one, in the order they were inserted. A failed read yields nothing (logged), as a
// lane treats a failed fetch. Main thread only, like the context.

// The longest wait a lane sets before it tries a failed record again (see RetryPolicy.h).
inline constexpr std::chrono::seconds longestRetryWait = retry::longestWait;

// The one record of the folder that is due next, or null: syncStatus pending; a desiredState
// that is dispatched (see SyncFile::dispatchRank); localPath not in excludedPaths;
// nextRetryAt absent, not after now, or after now + longestRetryWait; localModifiedAt absent,
// not after now - settle, or after now + settle (seen while the clock ran ahead: waiting for
// it would hold the record for as long, so it counts as settled).
// Among those the lowest rank wins, then the earliest localModifiedAt (absent counts as the
// distant past), then store order. The record is the context's own handle.
std::shared_ptr<SyncFile> fetchWorkOwedRecords(const QUuid &folderID, std::chrono::nanoseconds settle,
                                               const QDateTime &now, ModelContext &context,
                                               const QSet<QString> &excludedPaths);

// Whether the record's change time holds it back from fetchWorkOwedRecords at `now`: the
// change still settles.
bool isSettling(const SyncFile &record, std::chrono::nanoseconds settle, const QDateTime &now);

// How many of the folder's records have a desiredState other than syncedLocal (held
// downloads, failed records and records waiting for a retry included).
qint64 fetchOutstandingRecordCount(ModelContext &context, const QUuid &folderID);

// How many of the folder's records wait in error (syncStatus error): one count over the
// (folder, status) index.
qint64 fetchFailedRecordCount(ModelContext &context, const QUuid &folderID);

// How many of the folder's records fetchConflictsToReview lists, without its limit: one count
// over the conflict index, which holds only the records that carry a conflict.
qint64 fetchConflictToReviewCount(ModelContext &context, const QUuid &folderID);

// The folder's records whose desiredState is downloadHeld, in store order.
std::vector<std::shared_ptr<SyncFile>> fetchHeldDownloads(ModelContext &context, const QUuid &folderID);

// The folder's records whose localPath begins with directory + "/" (directory given without
// a trailing slash), in path order (UTF-8 byte order, as the path index holds them).
std::vector<std::shared_ptr<SyncFile>> fetchRecordsUnderDirectory(ModelContext &context, const QUuid &folderID,
                                                                  const QString &directory);

// The folder's records at the given paths (exact text), by path: a few indexed statements
// for any number of paths, for a batch that would otherwise look each path up alone.
QHash<QString, std::shared_ptr<SyncFile>> fetchRecordsAtPaths(ModelContext &context, const QUuid &folderID,
                                                              const QStringList &paths);

// The folder's records that hold one of the service file ids, in store order (one id may be
// held by several records of a store written before ids were kept unique): a few indexed
// statements for any number of ids.
std::vector<std::shared_ptr<SyncFile>> fetchRecordsHoldingIds(ModelContext &context, const QUuid &folderID,
                                                              const QList<qint64> &ids);

// What a pass over the whole folder asks of each record before it reads any record whole.
struct RecordOutline
{
    QString localPath;
    std::optional<qint64> remoteId;
    std::optional<QString> remoteChecksum;
    // In conflict with an upload owed: a conflict that holds an edit back for the user.
    bool holdsEditBack = false;
};

// Calls `visit` with the outline of each of the folder's records: one statement of these
// columns, stepped a row at a time, then the context's unsaved changes (in no given order).
// No record object is made and nothing of the folder is held at once. `visit` must not
// change the context. False when the read failed (logged): `visit` may have seen only some.
bool visitFolderOutlines(ModelContext &context, const QUuid &folderID,
                         const std::function<void(const RecordOutline &)> &visit);

// The service file ids each held by more than one of the folder's records whose desiredState
// is not deletedRemote (a store written before ids were kept unique), in id order: one
// statement grouped on the (folder, remoteId) index.
QList<qint64> fetchSharedRemoteIds(ModelContext &context, const QUuid &folderID);

// How many records the folder has.
qint64 fetchFolderRecordCount(ModelContext &context, const QUuid &folderID);

// The folder's records the panel lists as conflicts to review, at most `limit`: those whose
// syncStatus is conflict, then those that carry a conflict id while a later operation is owed,
// runs or failed (a local edit of a file in conflict: the conflict stays listed until an
// upload is accepted without one, or the user acknowledges it).
std::vector<std::shared_ptr<SyncFile>> fetchConflictsToReview(ModelContext &context, const QUuid &folderID, int limit);

} // namespace quillmere
