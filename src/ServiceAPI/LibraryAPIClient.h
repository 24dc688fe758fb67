#pragma once

#include "ServiceAPI/FileSyncAPI.h"
#include "ServiceAPI/HarborlyAPI.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <QCoroTask>

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>

namespace quillmere {

class Clock;

// The typed endpoint layer of the service: each operation turns its arguments into one request
// for the authorised transport and the reply into plain records. The client keeps no state
// between calls but the multipart progress hook, so a failed call leaves nothing behind.
//
// Every reply reader is a public static function of (status, body) so it can be checked
// without a network. Readers refuse statuses with HarborlyAPIError::serverError and let the
// JSON reader's json::JsonError through; the transport wraps the latter as networkError.
//
// Every operation copies what it needs (the transport, the shared settings) before its first
// suspension and never reads the client again, so the client may be destroyed while one of its
// calls is still running. The records of the operations a sync lane calls are
// declared by FileSyncAPI and named through this class as well. Main thread only.
class LibraryAPIClient : public FileSyncAPI
{
public:
    // (file name, parts completed, total parts, bytes uploaded, total bytes); callable from
    // any thread.
    using MultipartProgressHandler =
        std::function<void(const QString &fileName, qint64 partsCompleted, qint64 totalParts,
                           qint64 bytesUploaded, qint64 totalBytes)>;

    // One sync folder registered at the service.
    struct RemoteSyncFolder
    {
        QString uuid;
        QString name;
        QString folderType;
        QString direction;
        qint64 sortOrder = 0;
    };

    struct StorageBreakdown
    {
        qint64 planAsset = 0;
        qint64 commercialReference = 0;
        qint64 driveFile = 0;
        qint64 unorganised = 0;
    };

    struct StorageSummary
    {
        QString subscription = QStringLiteral("silver");
        QString subscriptionLabel = QStringLiteral("Silver");
        qint64 storageLimitBytes = 0;
        qint64 storageUsedBytes = 0;
        qint64 actualDiskBytes = 0;
        bool isEnforced = false;
        StorageBreakdown breakdown;
    };

    struct AccountProfile
    {
        qint64 id = 0;
        QString name;
        QString email;
        QString plan = QStringLiteral("silver");
        qint64 storageUsedBytes = 0;
        qint64 storageLimitBytes = 0;
        bool maintenance = false;
    };

    // The reply to a DAW-liveness report.
    struct DAWLivenessReply
    {
        bool warn = false;
        qint64 openDeviceCount = 0;
        std::optional<QString> message;
        QStringList peerDeviceNames;
    };

    explicit LibraryAPIClient(std::shared_ptr<HarborlyAPI> api);

    // The transport, for callers that make their own requests (the storage monitor, the
    // DAW-liveness reporter); the handle may be kept across waits and outlive the client.
    std::shared_ptr<HarborlyAPI> api() const { return m_api; }

    // Replaces any earlier handler. A running multipart upload reads the handler after each
    // batch of parts, so the newest one hears of the batches still to come.
    void setMultipartProgressHandler(MultipartProgressHandler handler);
    MultipartProgressHandler onMultipartProgress() const { return m_settings->onMultipartProgress; }

    QCoro::Task<QList<RemoteSyncFolder>> listSyncFolders(std::stop_token stop = {});
    // Returns the number of files the service deleted: every file of the kind (under the drive
    // path when one is given), whichever device or folder it came from. The body names the
    // kind alone, so callers decide first that no other folder of the kind keeps files there.
    QCoro::Task<qint64> resetFolder(SyncFolderType folderKind, std::optional<QString> drivePath = std::nullopt,
                                    std::stop_token stop = {});
    QCoro::Task<StorageSummary> fetchStorage(std::stop_token stop = {});
    QCoro::Task<AccountProfile> fetchAccount(std::stop_token stop = {});

    // Reply readers.
    static QList<RemoteFile> parseLibraryResponse(int status, const QByteArray &body);
    // The cursor is the reply's non-empty string "cursor", else none: never one of our own.
    static ChangeFeed parseChangesResponse(int status, const QByteArray &body);
    // The same reply, folded entry by entry into its deletes (see FeedDeletes).
    static FeedDeletes parseDeletesResponse(int status, const QByteArray &body);
    static QList<RemoteSyncFolder> parseSyncFoldersResponse(int status, const QByteArray &body);
    static void parseRegisterSyncFolderResponse(int status, const QByteArray &body);
    static void parseDownloadResponse(int status);
    static void parseDeleteResponse(int status, const QByteArray &body);
    static qint64 parseResetFolderResponse(int status, const QByteArray &body);
    static StorageSummary parseStorageResponse(int status, const QByteArray &body);
    static AccountProfile parseAccountResponse(int status, const QByteArray &body);
    static QList<PlanSummary> parsePlansResponse(int status, const QByteArray &body);
    static DAWLivenessReply parseDAWLivenessResponse(int status, const QByteArray &body);

    // --- Uploads of one file (check-hash, upload-url, upload-blob, confirm-upload)

    // A file the upload refuses before anything is sent, or content the transfer could not
    // vouch for. what() is the user-facing description.
    class UploadValidationError : public std::exception
    {
    public:
        enum class Code { unsupportedExtension, fileTooLarge, fileNotFound, hashCheckFailed };

        // `extension` is lower-cased, without its dot (empty for a file without one).
        static UploadValidationError unsupportedExtension(const QString &extension);
        static UploadValidationError fileTooLarge(qint64 size, qint64 limit);
        static UploadValidationError fileNotFound(const QString &path);
        static UploadValidationError hashCheckFailed(const QString &message);

        Code code() const { return m_code; }
        // The extension, the path or the message the error was made with.
        const QString &detail() const { return m_detail; }
        qint64 size() const { return m_size; }
        qint64 limit() const { return m_limit; }
        QString errorDescription() const { return m_description; }
        const char *what() const noexcept override { return m_what.constData(); }

    private:
        UploadValidationError(Code code, QString detail, qint64 size, qint64 limit, QString description);

        Code m_code;
        QString m_detail;
        qint64 m_size = 0;
        qint64 m_limit = 0;
        QString m_description;
        QByteArray m_what;
    };

    // The check-hash verdict. `fileId` belongs to `deduplicated`; the other fields to
    // `knownContent` and `uploadRequired`.
    struct HashCheckResult
    {
        enum class Verdict { deduplicated, knownContent, uploadRequired };
        Verdict verdict = Verdict::uploadRequired;
        qint64 fileId = 0;
        QString oid;
        std::optional<QString> presignedUploadURL;
        std::optional<QString> bucketNamespace;
        std::optional<QString> bucketId;
    };

    struct PresignedURLResult
    {
        QString presignedURL; // may be empty: send the form upload instead
        std::optional<QDateTime> expiresAt;
    };

    struct ConfirmUploadResult
    {
        qint64 fileId = 0;
        QString commitSha;
        QString status = QStringLiteral("ok");
        std::optional<UploadConflict> conflict;
    };

    // {"duration_seconds", "sample_rate"} sent with the confirmation.
    struct AudioAnalysis
    {
        double durationSeconds = 0;
        qint64 sampleRate = 0;
    };

    // Where a file goes; the optional keys are left out of the bodies when absent.
    struct UploadTarget
    {
        SyncFolderType folderKind = SyncFolderType::projectsFolder;
        std::optional<QString> drivePath;
        std::optional<QString> syncFolderUUID;
    };

    // What confirm-upload records: the content (by oid), the file and where it goes. The
    // optional members are left out of the body when absent.
    struct UploadConfirmation
    {
        QString oid;
        QString filename;
        qint64 fileSize = 0;
        QString mimeType;
        UploadTarget target;
        std::optional<QString> baseCommit; // sent only when it is a 40-digit hexadecimal commit
        std::optional<QString> fileUUID;
        std::optional<QString> deviceID;
        std::optional<QString> bucketNamespace;
        std::optional<QString> bucketId;
        std::optional<AudioAnalysis> audioAnalysis;
    };

    static constexpr qint64 maximumUploadSize = 5'497'558'138'880;
    static constexpr qint64 defaultMultipartThreshold = 524'288'000;

    QCoro::Task<HashCheckResult> checkHash(QString checksum, QString filename, qint64 fileSize, QString mimeType,
                                           UploadTarget target, std::stop_token stop = {});
    QCoro::Task<PresignedURLResult> requestUploadURL(QString oid, QString filename, qint64 fileSize,
                                                     QString mimeType, UploadTarget target,
                                                     std::stop_token stop = {});
    // The content the hash check was asked about: a copy that is not exactly this is another
    // version of the file.
    struct ExpectedContent
    {
        QString sha256;
        qint64 size = 0;
        // The version of the file that was hashed: no other is copied (see copyFileHashing).
        std::optional<FileStamp> version;
    };

    // The form upload. The file is copied into the staging folder while it is hashed and the
    // copy is sent, so when `expected` is given and the copy has another size or hash nothing
    // is sent and the call fails with ContentChangedError. The copy is removed in every outcome.
    QCoro::Task<> uploadBlob(QString filePath, QString oid, std::optional<ExpectedContent> expected = std::nullopt,
                             std::stop_token stop = {});
    QCoro::Task<ConfirmUploadResult> confirmUpload(UploadConfirmation confirmation, std::stop_token stop = {});

    // The "folder_type" text of a folder kind; none for the plan mirror.
    static std::optional<QString> folderTypeText(SyncFolderType folderKind);

    // The form body around the file's bytes: (prefix, suffix). The file name is escaped so it
    // cannot end its quoted string or the header line.
    static std::pair<QByteArray, QByteArray> formUploadEnvelope(const QString &boundary, const QString &oid,
                                                                const QString &fileName);

    static HashCheckResult parseHashCheckResponse(int status, const QByteArray &body, const QString &ownChecksum);
    static PresignedURLResult parseUploadURLResponse(int status, const QByteArray &body);
    static void parseUploadBlobResponse(int status, const QByteArray &body);
    static ConfirmUploadResult parseConfirmUploadResponse(int status, const QByteArray &body);

    // Test-only: files of this size or more go multipart (defaultMultipartThreshold otherwise).
    void setMultipartThresholdForTesting(qint64 bytes) { m_settings->multipartThreshold = bytes; }
    qint64 multipartThreshold() const { return m_settings->multipartThreshold; }

    // ---- Transfers of file bytes and the batch calls

    // The bytes read for sending do not hash to the checksum the service was asked about: the
    // file changed after it was hashed. Nothing was sent; a later attempt may succeed.
    class ContentChangedError : public std::exception
    {
    public:
        const char *what() const noexcept override { return "The file changed while it was being uploaded."; }
    };

    struct PresignedPart
    {
        qint64 partNumber = 0;
        QString presignedURL;
        std::optional<QDateTime> expiresAt;
    };

    struct MultipartInitiateResult
    {
        QString uploadId;
        QString oid;
        qint64 partSize = 0;
        qint64 totalParts = 0;
        // The service holds the content already; nothing is to be sent.
        bool alreadyExists = false;
    };

    struct CompletedPart
    {
        qint64 partNumber = 0;
        QString etag; // as the part reply gave it, quotation marks and all
    };

    static constexpr qint64 defaultPartSize = 104'857'600;
    // What one part may be, whatever the service says; larger parts are refused.
    static constexpr qint64 maximumPartSize = 5LL * 1024 * 1024 * 1024;
    static constexpr qint64 maximumPartCount = 10'000;
    static constexpr int partsPerPresign = 10;
    static constexpr int partsInFlight = 3;
    static constexpr int attemptsPerPart = 3;
    // A file smaller than this is read whole, hashed and sent from memory in one background
    // call: no staged copy, and the bytes sent are the very bytes hashed.
    static constexpr qint64 inMemoryUploadLimit = 1024 * 1024;

    // One streamed PUT, without the service's headers, of a staged copy of the file that is
    // sent while it is made and hashed. The body's last byte waits until the whole copy has the
    // size announced (the file's when the call began) and expectedChecksum; otherwise the PUT
    // is aborted before its body is complete, so nothing is stored, and ContentChangedError is
    // thrown. Transport failures arrive unwrapped (TransportError); a status outside 200-299 is
    // serverError(status, "Presigned upload failed"). The copy is removed in every outcome.
    // With `version`, only that version of the file is copied (see copyFileHashing).
    QCoro::Task<> uploadToPresignedURL(QString filePath, QString presignedURL,
                                       std::optional<QString> expectedChecksum = std::nullopt,
                                       std::stop_token stop = {},
                                       std::optional<FileStamp> version = std::nullopt);
    // The same two ways (a PUT, or the form) for a body already read and hashed.
    // `beforeSending`: as StreamingUpload::putBytesHere.
    QCoro::Task<> uploadBytesToPresignedURL(QByteArray body, QString presignedURL, std::stop_token stop = {},
                                            std::function<void()> beforeSending = {});
    QCoro::Task<> uploadBlobBytes(QByteArray body, QString fileName, QString oid, std::stop_token stop = {});
    // uploadBytesToPresignedURL, blocking: only on a worker of the transfer pool.
    static void putBytesHere(QByteArray body, const QString &presignedURL, const std::stop_token &stop,
                             const std::function<void()> &beforeSending);
    // Stages a copy (hashed as above) and opens the upload meanwhile. Parts are presigned ten
    // at a time, the next ten only once every part of the batch before is sent; within a
    // batch three are in flight, each going out once its bytes are in the copy. The upload is
    // completed only when the whole copy has `fileSize` bytes and `expectedChecksum`; otherwise
    // ContentChangedError. Any failure after the service opened the upload aborts it there;
    // the staged copy is removed in every outcome. `journal` hears of the opening and of a
    // completion or abort the service answered. With `version`, only that version of the file
    // is copied, and nothing is opened at the service for another.
    QCoro::Task<> uploadMultipart(QString filePath, QString oid, QString fileName, qint64 fileSize,
                                  QString mimeType, std::optional<QString> expectedChecksum = std::nullopt,
                                  std::stop_token stop = {}, MultipartJournal journal = {},
                                  std::optional<FileStamp> version = std::nullopt);

    QCoro::Task<MultipartInitiateResult> initiateMultipartUpload(QString oid, QString fileName, qint64 fileSize,
                                                                 QString mimeType, std::stop_token stop = {});
    QCoro::Task<QList<PresignedPart>> presignParts(QString uploadId, QString oid, QList<qint64> partNumbers,
                                                   std::stop_token stop = {});
    QCoro::Task<> completeMultipartUpload(QString uploadId, QString oid, QList<CompletedPart> parts,
                                          std::stop_token stop = {});
    // One part streamed from the staged copy, with up to three attempts; returns its ETag.
    QCoro::Task<QString> uploadPart(QString stagedPath, QString presignedURL, qint64 partNumber, qint64 partSize,
                                    qint64 fileSize, std::stop_token stop = {});

    // $XDG_CACHE_HOME/<bundle identifier>/staging.
    static QString stagingFolder();
    // Removes every staged copy that no running upload of this process uses: what an
    // interrupted run left behind. Returns how many files went.
    static QCoro::Task<int> removeStagingLeftovers();

    QCoro::Task<DAWLivenessReply> reportDAWLiveness(QString deviceID, QString sourceKey,
                                                    std::optional<QString> dawName, QString deviceName,
                                                    std::stop_token stop = {});

    static MultipartInitiateResult parseMultipartInitiateResponse(int status, const QByteArray &body,
                                                                  const QString &requestOid);
    static QList<PresignedPart> parsePresignPartsResponse(int status, const QByteArray &body);
    static void parseCompleteMultipartResponse(int status, const QByteArray &body);
    static BatchHashCheckResult parseBatchHashCheckResponse(int status, const QByteArray &body);
    static BatchDedupConfirmResult parseBatchDedupConfirmResponse(int status, const QByteArray &body);

protected:
    QCoro::Task<QList<RemoteFile>> doListLibraryFiles(std::optional<SyncFolderType> folderKind,
                                                      std::optional<QString> syncFolderID,
                                                      std::stop_token stop) override;
    QCoro::Task<BatchHashCheckResult> doCheckHashBatch(QString syncFolderID, SyncFolderType folderKind,
                                                       QList<BatchHashEntry> entries, std::stop_token stop) override;
    QCoro::Task<BatchDedupConfirmResult> doDedupConfirmBatch(QString syncFolderID, SyncFolderType folderKind,
                                                             QList<BatchDedupConfirmEntry> entries,
                                                             std::optional<QString> deviceID,
                                                             std::optional<qint64> planID,
                                                             std::stop_token stop) override;
    QCoro::Task<> doRegisterSyncFolder(QString uuid, QString name, SyncFolderType folderKind, QString direction,
                                       std::stop_token stop) override;
    QCoro::Task<UploadResult> doUploadFile(UploadRequest request, std::stop_token stop) override;
    QCoro::Task<> doAbortMultipartUpload(QString uploadId, QString oid, std::stop_token stop) override;
    // downloadFile: streams the file to a temporary file beside the destination and renames it
    // into place, so a failed or refused transfer leaves whatever was at the destination
    // untouched. Not sent through the authorised send: a 401 or 421 is not retried, and
    // transport and file failures (TransportError, LocalFileError) reach the caller as they
    // are. The destination's folder must exist; a directory at the destination is never replaced.
    QCoro::Task<> doDownloadFile(qint64 fileID, QString destinationPath, std::optional<qint64> expectedSize,
                                 std::optional<QString> expectedChecksum, std::optional<JudgedDestination> judged,
                                 std::stop_token stop) override;
    QCoro::Task<> doDeleteFile(qint64 fileID, std::stop_token stop) override;
    QCoro::Task<ChangeFeed> doFetchChanges(QString cursor, std::optional<SyncFolderType> folderKind,
                                           std::optional<QString> syncFolderID, std::stop_token stop) override;
    QCoro::Task<FeedDeletes> doFetchDeletes(QString cursor, std::optional<SyncFolderType> folderKind,
                                            std::optional<QString> syncFolderID, std::stop_token stop) override;
    QCoro::Task<QList<PlanSummary>> doFetchPlans(std::stop_token stop) override;

private:
    // What the setters change; shared with the operations still running, which read it again
    // (the progress handler after each batch) without going through the client.
    struct Settings
    {
        MultipartProgressHandler onMultipartProgress;
        qint64 multipartThreshold = defaultMultipartThreshold;
    };

    LibraryAPIClient(std::shared_ptr<HarborlyAPI> api, std::shared_ptr<Settings> settings);

    static QCoro::Task<UploadResult> runUpload(std::shared_ptr<LibraryAPIClient> self, UploadRequest request,
                                               std::stop_token stop);

    std::shared_ptr<HarborlyAPI> m_api;
    std::shared_ptr<Settings> m_settings;
};

} // namespace quillmere
