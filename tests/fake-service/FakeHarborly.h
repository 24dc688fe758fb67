#pragma once

#include "fake-service/FakeAccount.h"
#include "fake-service/FakeDeviceCode.h"
#include "fake-service/FakeFault.h"
#include "fake-service/FakeLibraryFile.h"
#include "fake-service/FakePlan.h"
#include "fake-service/FakeRouter.h"
#include "fake-service/FakeServiceState.h"
#include "fake-service/FakeSyncFolder.h"
#include "fake-service/FakeToken.h"
#include "fake-service/LoggedRequest.h"

#include <QUrl>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace quillmere::test {

// An in-memory stand-in for the Harborly service on a real socket, for tests and for manual
// runs. start() listens on its own thread; every member may be called from any thread.
class FakeHarborly
{
public:
    FakeHarborly();
    ~FakeHarborly();
    FakeHarborly(const FakeHarborly &) = delete;
    FakeHarborly &operator=(const FakeHarborly &) = delete;

    // Returns once the socket listens; port 0 picks a free one. Throws std::runtime_error
    // when the address cannot be bound.
    void start(int port = 0, const std::string &host = "127.0.0.1");
    // Ends every pause of a fault, stops the server and joins its thread.
    void stop();
    int port() const { return m_port; }
    QUrl baseURL() const;
    QUrl url(const QString &path) const;

    // --- Accounts and tokens
    qint64 addAccount(FakeAccount account = {});
    std::optional<FakeAccount> account(qint64 id) const;
    void updateAccount(qint64 id, const std::function<void(FakeAccount &)> &change);
    // A token accepted until expiresAt (default: the token lifetime from now).
    QString issueToken(qint64 accountId, QDateTime expiresAt = {});
    std::optional<FakeToken> token(const QString &token) const;
    std::vector<FakeToken> tokens(qint64 accountId) const;
    // The token is answered 401 from now on; it still refreshes.
    void expireToken(const QString &token);
    void revokeToken(const QString &token);
    // Lifetime of the tokens that approvals and refreshes hand out.
    void setTokenLifetime(std::chrono::seconds lifetime);
    // Whether a refresh revokes the token it was given (off: the old one lives on until expiry).
    void setRotateTokensOnRefresh(bool rotate);
    // The account now lives on `shardId`: a request naming its old shard is answered 421.
    void moveAccount(qint64 accountId, const QString &shardId, ShardHint hint = ShardHint::headerAndBody);

    // --- Device link
    std::vector<FakeDeviceCode> deviceCodes() const;
    // False when no code has that user code.
    bool approveDevice(const QString &userCode, qint64 accountId);
    bool setDeviceCodeState(const QString &userCode, FakeDeviceCode::State state);

    // --- Library (each change lands in the change feed)
    qint64 addFile(FakeLibraryFile file);
    bool updateFile(qint64 id, const std::function<void(FakeLibraryFile &)> &change);
    bool removeFile(qint64 id);
    std::optional<FakeLibraryFile> file(qint64 id) const;
    std::vector<FakeLibraryFile> files(qint64 accountId) const;
    // How many files the account has: cheap, unlike files(), which copies every byte.
    size_t fileCount(qint64 accountId) const;
    // The cursor a change-feed reply would carry now.
    QString currentCursor(qint64 accountId) const;
    // The feed lets go of its history so far, as a service does after a while: each file it
    // still holds keeps only its last change, deletes are forgotten, and a cursor handed out
    // before now is refused (410).
    void compactChanges(qint64 accountId);
    // Whether a folder reset ignores "sync_folder_uuid" and clears every file of the kind, as a
    // service that keeps to the documented body does (off: only the named folder's files go).
    void setResetFolderByKindOnly(bool byKindOnly);
    // The most entries one change-feed reply carries from now on (0: every one after the
    // cursor); a reply cut short carries the cursor of its last entry.
    void setChangesPageSize(int entries);
    // Whether the feed tells a delete by the file's id alone, as a service may (off: the
    // entry carries the file as it was, as the others do).
    void setDeletesNameIdOnly(bool idOnly);

    // --- Sync folders and plans
    void addSyncFolder(FakeSyncFolder folder);
    std::vector<FakeSyncFolder> syncFolders(qint64 accountId) const;
    qint64 addPlan(FakePlan plan);

    // --- Request log
    std::vector<LoggedRequest> requestLog() const;
    std::vector<LoggedRequest> requestsTo(const std::string &method, const std::string &path) const;
    void clearRequestLog();
    // Called with every request as it is logged, on the server's thread (a benchmark's service
    // tells when the first bytes arrived). Set before start().
    void setRequestObserver(std::function<void(const FakeRequest &)> observer) { m_observer = std::move(observer); }

    // --- Fault switches (`path` as in FakeFault: exact, or a prefix ending in "*")
    void addFault(FakeFault fault);
    void clearFaults();
    void answerNext(const std::string &path, int status, std::string body = {}, int count = 1);
    void delayNext(const std::string &path, std::chrono::milliseconds delay, int count = 1);
    // The request is handled at once (GET requests); its answer waits `delay`.
    void delayAnswerNext(const std::string &path, std::chrono::milliseconds delay, int count = 1);
    void dropNext(const std::string &path, int count = 1, bool afterHandling = false);
    void cutBodyNext(const std::string &path, size_t bytes, int count = 1);
    void trickleNext(const std::string &path, size_t bytesPerChunk, std::chrono::milliseconds pause, int count = 1);
    void rateLimitNext(const std::string &path, int count = 1, int retryAfterSeconds = 30);
    void storageFullNext(const std::string &path, int count = 1);
    // Holds the requests to `path` until `count` of them wait together and `settle` has passed
    // with no other one arriving, then lets them all go; later requests pass. What a client
    // has in flight at once is then seen whole, not left to whether its requests happened to
    // overlap. Should fewer ever come together, the gate opens after `patience`.
    void gatherNext(const std::string &path, int count, std::chrono::milliseconds settle = std::chrono::milliseconds(500),
                    std::chrono::milliseconds patience = std::chrono::seconds(10));
    // The most requests that were held by a delay (or a gathering) at the same time since the
    // last call: how many a client had in flight, when every one of them is held.
    int takeMostDelayedAtOnce();

    // Where handlers of later areas register; call before start().
    FakeRouter &router() { return m_router; }
    FakeServiceState &state() { return m_state; }

    // --- Web sign-in
    // The account the Apple redirect page signs in (a 302 to the callback with a fresh code);
    // nullopt: the page calls back with "error=access_denied".
    void setAppleSignInAccount(std::optional<qint64> accountId, bool isNewUser = false);
    // A code the Apple or the social exchange takes once; a new user is answered 201.
    QString addAppleSignInCode(qint64 accountId, bool isNewUser = false);
    QString addGoogleSignInCode(qint64 accountId, bool isNewUser = false);
    // --- Transfers: presigned PUTs, multipart uploads, batch calls, DAW liveness
    // A presigned PUT URL for `oid` (what the batch hash check hands out for needed content).
    QString presignedPutURL(qint64 accountId, const QString &oid);
    std::optional<FakeStoredObject> storedObject(const QString &oid) const;
    std::vector<FakeMultipartUpload> multipartUploads() const;
    // The part size initiate answers (default 5 MiB) and, when set, the part count it claims.
    void setMultipartPartSize(qint64 bytes, std::optional<qint64> totalPartsAnswer = std::nullopt);
    // Off: presigned bodies past 4 MiB are hashed but not kept (for a benchmark).
    void setKeepLargeBodies(bool keep);
    // Off: replies go uncompressed whatever the request accepts (on by default, as
    // cpp-httplib does; a benchmark turns it off).
    void setCompressReplies(bool compress);
    void setInitiateReply(FakeInitiateReply reply);
    // Presign replies leave this part out.
    void omitFromPresign(qint64 partNumber);
    // The PUT of this part is answered `status` the next `times` times (-1: always).
    void failPart(qint64 partNumber, int times, int status = 500);
    // The PUT of this part succeeds without an "ETag" header.
    void withholdETag(qint64 partNumber);
    // Batch replies carry malformed entries besides the real ones.
    void setMalformedBatchEntries(bool on);
    std::vector<FakeLivenessReport> livenessReports() const;
    // The device closed its project: its reports no longer warn the others.
    void forgetLivenessReports(const QString &deviceId);
    // --- Single-file uploads
    // Whether check-hash gives an upload_required verdict a presigned URL, and whether
    // upload-url gives one (else it answers an empty URL: the form upload).
    void setPresignedUploads(bool inVerdict, bool fromUploadURL);
    std::vector<FakeFormUpload> formUploads() const;
    // The bytes received for an object (form upload or presigned PUT).
    std::optional<QByteArray> uploadedObject(const QString &oid) const;
    // A library file's current commit ("" when it has none); setCommit seeds one.
    QString commitOf(qint64 fileId) const;
    void setCommit(qint64 fileId, const QString &commit);
    // --- Registration and checkout (auth)
    std::vector<FakeCheckout> checkouts() const;
    // Every later checkout reply names this address ("" restores the fake's own pages).
    void setCheckoutURL(const QString &url);
    // What the subscription-plans reply offers from now on (default: "gold" and "platinum").
    void setSubscriptionPlans(std::vector<FakeSubscriptionPlan> plans);

private:
    struct AppliedFaults
    {
        std::optional<FakeFault> answer, delay, drop, cutBody, trickle;
    };

    void handle(const httplib::Request &request, httplib::Response &response);
    AppliedFaults takeFaults(const FakeRequest &request);
    void log(const FakeRequest &request, int status);
    // Sleeps unless the fake is stopping; false when it is.
    bool pause(std::chrono::milliseconds duration) const;
    // Waits at the gathering when the request is one it holds; false when the fake stops.
    bool gather(const FakeRequest &request);
    void write(FakeReply reply, const AppliedFaults &faults, httplib::Response &response);
    // A connection is busy from the start of a request until its reply is written.
    void markBusy(int remotePort, bool busy);
    void shutDownIdleConnections(bool busyToo);

    FakeServiceState m_state;
    FakeRouter m_router;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;
    std::string m_host;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_serverEnded{false};
    std::atomic<bool> m_compressReplies{true};
    std::mutex m_busyMutex;
    std::map<int, int> m_busyPorts; // remote port -> requests under way
    mutable std::atomic<int> m_delayed{0};
    mutable std::atomic<int> m_mostDelayed{0};

    mutable std::mutex m_logMutex;
    std::vector<LoggedRequest> m_log;
    std::function<void(const FakeRequest &)> m_observer;
    mutable std::mutex m_faultMutex;
    std::vector<FakeFault> m_faults;

    struct Gathering
    {
        std::string path;
        int count = 0;
        std::chrono::milliseconds settle{0}, patience{0};
        int arrived = 0;
        bool open = false;
        std::chrono::steady_clock::time_point firstArrival, lastArrival;
    };
    std::mutex m_gatherMutex;
    std::condition_variable m_gatherChanged;
    std::shared_ptr<Gathering> m_gathering;

    // --- Transfers: PUT bodies stream through here, hashed and mostly discarded.
    void handleUpload(const httplib::Request &request, httplib::Response &response,
                      const std::function<bool(const std::function<bool(const char *, size_t)> &)> &readBody);
};

} // namespace quillmere::test
