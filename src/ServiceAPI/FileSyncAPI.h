#pragma once

#include "FileServices/ChecksumCache.h"
#include "Model/SyncFolder.h"
#include "Platform/Http/TemporaryDownloadFile.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <QCoroTask>

#include <functional>
#include <initializer_list>
#include <optional>
#include <stop_token>

namespace quillmere {

// What a sync lane needs of the service: the operations it calls on its client, and their
// records. LibraryAPIClient is the implementation; a lane holds this interface so it can be
// driven by a scripted service in tests (which overrides the protected do... members). The records are reached as LibraryAPIClient::...
// too, so callers of the client need not know this type.
class FileSyncAPI
{
public:
    virtual ~FileSyncAPI() = default;

    // One file of the online library.
    struct RemoteFile
    {
        qint64 id = 0;
        QString filename;
        QString mimeType;
        qint64 fileSize = 0;
        std::optional<QString> fileChecksum;
        std::optional<QString> fileCategory;
        std::optional<QString> drivePath;
        std::optional<qint64> userPlanId;
        std::optional<QDateTime> createdAt;
        std::optional<QDateTime> updatedAt;
    };

    // One entry of the change feed. The action ("created", "updated", "deleted") is passed
    // through as the service wrote it.
    struct DeltaChange
    {
        qint64 id = 0;
        QString filename;
        std::optional<QString> mimeType;
        std::optional<qint64> fileSize;
        std::optional<QString> fileChecksum;
        std::optional<QString> fileCategory;
        std::optional<QString> drivePath;
        std::optional<qint64> userPlanId;
        QString action = QStringLiteral("created");
        std::optional<QDateTime> createdAt;
        std::optional<QDateTime> updatedAt;
        std::optional<QDateTime> deletedAt;
    };

    // One page of the change feed and the cursor to send next time: only one the service
    // sent (none when the reply had none; the caller then keeps the cursor it sent).
    struct ChangeFeed
    {
        QList<DeltaChange> changes;
        std::optional<QString> cursor;
    };

    // What a read of the feed keeps to judge files deleted long ago: each file whose last
    // word in the feed is its delete, with the delete's time (the service's), and the newest
    // time of the service the feed names.
    struct FeedDeletes
    {
        QHash<qint64, std::optional<QDateTime>> deleted;
        std::optional<QDateTime> newest;

        // One change of the feed, in the feed's order.
        void fold(qint64 id, bool isDelete, const std::optional<QDateTime> &deletedAt,
                  std::initializer_list<const std::optional<QDateTime> *> times)
        {
            if (isDelete)
                deleted.insert(id, deletedAt);
            else
                deleted.remove(id);
            for (const auto *time : times)
                if (*time && (*time)->isValid() && (!newest || *newest < **time))
                    newest = **time;
        }
    };

    struct PlanFileSummary
    {
        qint64 id = 0;
        QString filename;
        std::optional<QString> mimeType;
        std::optional<qint64> fileSize;
        std::optional<QString> fileChecksum;
        std::optional<QString> drivePath;
        std::optional<QDateTime> createdAt;
        std::optional<QDateTime> updatedAt;
    };

    // One plan of the account, the unit of the plan-mirror folder.
    struct PlanSummary
    {
        qint64 id = 0;
        QString name;
        QString slug;
        QString folderName;
        QString status = QStringLiteral("active");
        qint64 fileCount = 0;
        QList<PlanFileSummary> files;
    };

    // What is at an upload's path is no regular file of its folder: a link in its place or on
    // the way to it, a folder, a device. Nothing of it was read or sent.
    class NotARegularFileError : public std::exception
    {
    public:
        const char *what() const noexcept override
        {
            return "The path is not a regular file of the sync folder.";
        }
    };

    struct UploadConflict
    {
        qint64 id = 0;
        QString type = QStringLiteral("true_conflict");
        std::optional<QString> commonAncestor;
        std::optional<QString> serverCommitBefore;
        std::optional<QString> serverOid;
        std::optional<QString> incomingOid;
        std::optional<QString> message;
    };

    struct UploadResult
    {
        qint64 fileId = 0;
        QString message;
        bool wasDeduplicated = false;
        std::optional<QString> commitSha;
        QString status = QStringLiteral("ok");
        std::optional<UploadConflict> conflict;
        // SHA-256 of the bytes offered and sent (the file may have changed since).
        std::optional<QString> contentSHA256;
    };

    struct BatchHashEntry
    {
        QString filename;
        QString drivePath;
        QString sha256;
        qint64 fileSize = 0;
    };

    struct DeduplicatedContent
    {
        QString contentSHA256;
        qint64 fileId = 0;
    };

    struct UploadRequiredContent
    {
        QString contentSHA256;
        QString oid;
        std::optional<QString> presignedUploadURL;
    };

    struct BatchHashCheckResult
    {
        QSet<QString> synced;
        QList<DeduplicatedContent> deduplicated;
        QList<UploadRequiredContent> uploadRequired;
        QSet<QString> unknown;
        std::optional<QString> cursor;
    };

    struct BatchDedupConfirmEntry
    {
        QString contentSHA256;
        QString filename;
        qint64 fileSize = 0;
        QString mimeType;
        std::optional<QString> drivePath;
        std::optional<QString> fileUuid;
        std::optional<double> audioDurationSeconds;
        std::optional<qint64> audioSampleRate;
    };

    struct BatchDedupConfirmed
    {
        QString contentSHA256;
        std::optional<QString> drivePath;
        std::optional<QString> filename;
        qint64 fileId = 0;
        QString commitSha;
    };

    struct BatchDedupFailure
    {
        QString contentSHA256;
        std::optional<QString> drivePath;
        QString reason = QStringLiteral("Unknown reason");
    };

    struct BatchDedupConfirmResult
    {
        QList<BatchDedupConfirmed> confirmed;
        QList<BatchDedupFailure> failed;
    };

    // A multipart upload the service opened: what it takes to abort it after this process
    // ended, and the staged copy its parts are sent from.
    struct OpenedMultipart
    {
        QString uploadId;
        QString oid;
        QString stagedPath;
        qint64 fileSize = 0;
        qint64 partSize = 0;
        qint64 totalParts = 0;
    };

    // Hears, on the application's thread, of a multipart upload the service opened (at once,
    // before a part is sent) and of its end there (completed, or aborted), so that one left
    // open by a process that ended between the two can be aborted by the next.
    struct MultipartJournal
    {
        std::function<void(const OpenedMultipart &)> opened;
        std::function<void()> closed;
    };

    // One local file to put into the library (see uploadFile). The optional members are left
    // out of the requests when absent.
    struct UploadRequest
    {
        QString filePath;
        // The sync folder the file belongs to: then only a regular file reached through real
        // folders below it, on its file system, is read (regularFileStampBelow), and anything
        // else at the path fails with NotARegularFileError before a byte of it is read.
        std::optional<QString> folderRoot;
        SyncFolderType folderKind = SyncFolderType::projectsFolder;
        std::optional<QString> drivePath;
        std::optional<QString> baseCommit; // sent only when it is a 40-digit hexadecimal commit
        std::optional<QString> fileUUID;
        std::optional<QString> deviceID;
        std::optional<QString> syncFolderID;
        // The checksum the caller took of the file, and the stamp the file had then: the upload
        // takes it instead of hashing again while the file's stamp is still this one.
        std::optional<StampedChecksum> knownChecksum;
        MultipartJournal multipartJournal;
        // Awaited on the caller's thread right before the confirmation that makes the sent
        // content the file's version (after the bytes went, or before linking known content);
        // whatever it throws ends the upload unconfirmed. With it, nothing is confirmed
        // without asking it first.
        std::function<QCoro::Task<>(std::stop_token)> beforeConfirm;
    };

    // A folder kind is this one enum at every call; it becomes the service's word only in the
    // request ("reference", "unorganised", "drive"; the plan mirror has none and sends no
    // "folder_type" key). The defaults of every operation are here and only here: the
    // implementations override the protected members below.

    // GET /api/v1/files/library.
    QCoro::Task<QList<RemoteFile>> listLibraryFiles(std::optional<SyncFolderType> folderKind = std::nullopt,
                                                    std::optional<QString> syncFolderID = std::nullopt,
                                                    std::stop_token stop = {})
    {
        return doListLibraryFiles(folderKind, std::move(syncFolderID), std::move(stop));
    }
    // All entries go out in one request.
    QCoro::Task<BatchHashCheckResult> checkHashBatch(QString syncFolderID, SyncFolderType folderKind,
                                                     QList<BatchHashEntry> entries, std::stop_token stop = {})
    {
        return doCheckHashBatch(std::move(syncFolderID), folderKind, std::move(entries), std::move(stop));
    }
    // All entries go out in one request.
    QCoro::Task<BatchDedupConfirmResult> dedupConfirmBatch(QString syncFolderID, SyncFolderType folderKind,
                                                           QList<BatchDedupConfirmEntry> entries,
                                                           std::optional<QString> deviceID = std::nullopt,
                                                           std::optional<qint64> planID = std::nullopt,
                                                           std::stop_token stop = {})
    {
        return doDedupConfirmBatch(std::move(syncFolderID), folderKind, std::move(entries), std::move(deviceID),
                                   planID, std::move(stop));
    }
    // The service receives the same uuid again at every lane start; the reply is not read.
    QCoro::Task<> registerSyncFolder(QString uuid, QString name, SyncFolderType folderKind, QString direction,
                                     std::stop_token stop = {})
    {
        return doRegisterSyncFolder(std::move(uuid), std::move(name), folderKind, std::move(direction),
                                    std::move(stop));
    }
    // Validates, probes, hashes and offers one file to the service, sends its bytes when asked
    // and confirms it. The size and the bytes sent are always those whose hash was offered: a
    // file that changes in between fails with ContentChangedError and nothing is confirmed.
    // A link at the path is never followed (see UploadRequest::folderRoot for links on the way).
    QCoro::Task<UploadResult> uploadFile(UploadRequest request, std::stop_token stop = {})
    {
        return doUploadFile(std::move(request), std::move(stop));
    }
    // Succeeds whatever the status; fails only in the transport.
    QCoro::Task<> abortMultipartUpload(QString uploadId, QString oid, std::stop_token stop = {})
    {
        return doAbortMultipartUpload(std::move(uploadId), std::move(oid), std::move(stop));
    }
    // A body whose size or SHA-256 (hex) differs from the expected one fails with TransportError
    // contentMismatch and leaves the destination untouched. With `judged` (what the caller
    // found at the destination), a destination that is no longer so at the rename fails with
    // DestinationChangedError and is left as it is now.
    QCoro::Task<> downloadFile(qint64 fileID, QString destinationPath, std::optional<qint64> expectedSize = std::nullopt,
                               std::optional<QString> expectedChecksum = std::nullopt,
                               std::optional<JudgedDestination> judged = std::nullopt, std::stop_token stop = {})
    {
        return doDownloadFile(fileID, std::move(destinationPath), expectedSize, std::move(expectedChecksum), judged,
                              std::move(stop));
    }
    QCoro::Task<> deleteFile(qint64 fileID, std::stop_token stop = {}) { return doDeleteFile(fileID, std::move(stop)); }
    // An empty cursor asks for the feed from its start.
    QCoro::Task<ChangeFeed> fetchChanges(QString cursor, std::optional<SyncFolderType> folderKind = std::nullopt,
                                         std::optional<QString> syncFolderID = std::nullopt,
                                         std::stop_token stop = {})
    {
        return doFetchChanges(std::move(cursor), folderKind, std::move(syncFolderID), std::move(stop));
    }
    // The same read of the feed, keeping only its deletes while the reply is read (a whole
    // feed's changes as records would weigh several times as much).
    QCoro::Task<FeedDeletes> fetchDeletes(QString cursor, std::optional<SyncFolderType> folderKind = std::nullopt,
                                          std::optional<QString> syncFolderID = std::nullopt,
                                          std::stop_token stop = {})
    {
        return doFetchDeletes(std::move(cursor), folderKind, std::move(syncFolderID), std::move(stop));
    }
    QCoro::Task<QList<PlanSummary>> fetchPlans(std::stop_token stop = {}) { return doFetchPlans(std::move(stop)); }

protected:
    virtual QCoro::Task<QList<RemoteFile>> doListLibraryFiles(std::optional<SyncFolderType> folderKind,
                                                              std::optional<QString> syncFolderID,
                                                              std::stop_token stop) = 0;
    virtual QCoro::Task<BatchHashCheckResult> doCheckHashBatch(QString syncFolderID, SyncFolderType folderKind,
                                                               QList<BatchHashEntry> entries,
                                                               std::stop_token stop) = 0;
    virtual QCoro::Task<BatchDedupConfirmResult> doDedupConfirmBatch(QString syncFolderID, SyncFolderType folderKind,
                                                                     QList<BatchDedupConfirmEntry> entries,
                                                                     std::optional<QString> deviceID,
                                                                     std::optional<qint64> planID,
                                                                     std::stop_token stop) = 0;
    virtual QCoro::Task<> doRegisterSyncFolder(QString uuid, QString name, SyncFolderType folderKind,
                                               QString direction, std::stop_token stop) = 0;
    virtual QCoro::Task<UploadResult> doUploadFile(UploadRequest request, std::stop_token stop) = 0;
    virtual QCoro::Task<> doAbortMultipartUpload(QString uploadId, QString oid, std::stop_token stop) = 0;
    virtual QCoro::Task<> doDownloadFile(qint64 fileID, QString destinationPath, std::optional<qint64> expectedSize,
                                         std::optional<QString> expectedChecksum,
                                         std::optional<JudgedDestination> judged, std::stop_token stop) = 0;
    virtual QCoro::Task<> doDeleteFile(qint64 fileID, std::stop_token stop) = 0;
    virtual QCoro::Task<ChangeFeed> doFetchChanges(QString cursor, std::optional<SyncFolderType> folderKind,
                                                   std::optional<QString> syncFolderID, std::stop_token stop) = 0;
    // Folds the whole page; the client overrides it to fold while it reads the reply.
    virtual QCoro::Task<FeedDeletes> doFetchDeletes(QString cursor, std::optional<SyncFolderType> folderKind,
                                                    std::optional<QString> syncFolderID, std::stop_token stop)
    {
        auto fetching = doFetchChanges(std::move(cursor), folderKind, std::move(syncFolderID), std::move(stop));
        const ChangeFeed feed = co_await std::move(fetching);
        FeedDeletes deletes;
        for (const auto &change : feed.changes)
            deletes.fold(change.id, change.action == QLatin1String("deleted"), change.deletedAt,
                         {&change.createdAt, &change.updatedAt, &change.deletedAt});
        co_return deletes;
    }
    virtual QCoro::Task<QList<PlanSummary>> doFetchPlans(std::stop_token stop) = 0;

    FileSyncAPI() = default;
    FileSyncAPI(const FileSyncAPI &) = default;
    FileSyncAPI &operator=(const FileSyncAPI &) = default;
};

} // namespace quillmere
