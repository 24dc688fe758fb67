#pragma once

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>

#include <QCoroTask>

#include <optional>
#include <stop_token>

namespace quillmere {

enum class SyncFolderType; // Model/SyncFolder.h

// What a sync lane needs of the service: the operations it calls on its client, and their
// records. LibraryAPIClient is the implementation; a lane holds this interface so it can be
// driven by a scripted service in tests. The records are reached as LibraryAPIClient::...
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

    // One page of the change feed and the cursor to send next time.
    struct ChangeFeed
    {
        QList<DeltaChange> changes;
        QString cursor;
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

    // GET /api/v1/files/library; the folder kind is "reference", "unorganised" or "drive".
    virtual QCoro::Task<QList<RemoteFile>> listLibraryFiles(std::optional<QString> folderKind = std::nullopt,
                                                            std::optional<QString> syncFolderID = std::nullopt,
                                                            std::stop_token stop = {}) = 0;
    virtual QCoro::Task<BatchHashCheckResult> checkHashBatch(QString syncFolderID, QString folderKind,
                                                             QList<BatchHashEntry> entries,
                                                             std::stop_token stop = {}) = 0;
    virtual QCoro::Task<BatchDedupConfirmResult> dedupConfirmBatch(QString syncFolderID, QString folderKind,
                                                                   QList<BatchDedupConfirmEntry> entries,
                                                                   std::optional<QString> deviceID = std::nullopt,
                                                                   std::optional<qint64> planID = std::nullopt,
                                                                   std::stop_token stop = {}) = 0;
    virtual QCoro::Task<> registerSyncFolder(QString uuid, QString name, QString folderKind, QString direction,
                                             std::stop_token stop = {}) = 0;
    virtual QCoro::Task<UploadResult> uploadFile(QString filePath, SyncFolderType folderKind,
                                                 std::optional<QString> drivePath = std::nullopt,
                                                 std::optional<QString> baseCommit = std::nullopt,
                                                 std::optional<QString> fileUUID = std::nullopt,
                                                 std::optional<QString> deviceID = std::nullopt,
                                                 std::optional<QString> syncFolderID = std::nullopt,
                                                 std::stop_token stop = {}) = 0;
    virtual QCoro::Task<> abortMultipartUpload(QString uploadId, QString oid, std::stop_token stop = {}) = 0;
    virtual QCoro::Task<> downloadFile(qint64 fileID, QString destinationPath,
                                       std::optional<qint64> expectedSize = std::nullopt,
                                       std::optional<QString> expectedChecksum = std::nullopt,
                                       std::stop_token stop = {}) = 0;
    virtual QCoro::Task<> deleteFile(qint64 fileID, std::stop_token stop = {}) = 0;
    // An empty cursor asks for the feed from its start.
    virtual QCoro::Task<ChangeFeed> fetchChanges(QString cursor, std::optional<QString> folderKind = std::nullopt,
                                                 std::optional<QString> syncFolderID = std::nullopt,
                                                 std::stop_token stop = {}) = 0;
    virtual QCoro::Task<QList<PlanSummary>> fetchPlans(std::stop_token stop = {}) = 0;

protected:
    FileSyncAPI() = default;
    FileSyncAPI(const FileSyncAPI &) = default;
    FileSyncAPI &operator=(const FileSyncAPI &) = default;
};

} // namespace quillmere
