#include "ServiceAPI/TransferFixture.h"

#include "Model/SyncFolder.h"
#include "Platform/Http/TransportError.h"
#include "ServiceAPI/FileSyncAPI.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <tuple>
#include <vector>

using quillmere::HarborlyAPIError;
using quillmere::LibraryAPIClient;
using quillmere::TransportError;
using namespace quillmere::test;

namespace {

using Transfers = TransferFixture;

constexpr qint64 kPart = 1024;

QJsonObject bodyOf(const LoggedRequest &request)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
}

std::vector<qint64> partsListed(const LoggedRequest &request, const QString &key)
{
    std::vector<qint64> numbers;
    for (const auto &value : bodyOf(request).value(key).toArray())
        numbers.push_back(value.isObject() ? value.toObject().value(QStringLiteral("part_number")).toInteger()
                                           : value.toInteger());
    return numbers;
}

size_t partPuts(const FakeHarborly &fake, qint64 partNumber)
{
    size_t count = 0;
    for (const LoggedRequest &request : fake.requestLog())
        if (request.method == "PUT" && request.path.ends_with("/parts/" + std::to_string(partNumber)))
            ++count;
    return count;
}

} // namespace

TEST_F(Transfers, PresignedPutStreamsAVerifiedCopyWithoutTheServicesHeaders)
{
    const QByteArray content = pattern(300 * 1024);
    // A name of 244 UTF-8 bytes: with the copy's prefix it would pass 255.
    const QString path = writeFile(QString(120, QChar(0x00E9)) + QStringLiteral(".wav"), content);
    const QString url = fake.presignedPutURL(account, QStringLiteral("oid-1"));

    await(client->uploadToPresignedURL(path, url, sha256(content)));

    const auto stored = fake.storedObject(QStringLiteral("oid-1"));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->sha256, sha256(content));
    const auto puts = fake.requestsTo("PUT", fake.requestLog().back().path);
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].header("Content-Type"), "application/octet-stream");
    EXPECT_FALSE(puts[0].header("Authorization"));
    EXPECT_FALSE(puts[0].header("Accept"));
    EXPECT_FALSE(puts[0].header("X-Shard-Id"));
    EXPECT_TRUE(entriesOf(temporaryFolder.path()).isEmpty());

    // Refused: the status comes back and the copy is gone all the same.
    const std::string putPath = fake.requestLog().back().path;
    fake.answerNext(putPath, 403, R"({"message":"expired"})");
    if (const auto error = failureOf<HarborlyAPIError>(client->uploadToPresignedURL(path, url))) {
        EXPECT_EQ(error->statusCode(), 403);
        EXPECT_EQ(error->message(), QStringLiteral("Presigned upload failed"));
    }
    EXPECT_TRUE(entriesOf(temporaryFolder.path()).isEmpty());

    for (const QString &notAPutURL : {QStringLiteral("not a url"), QStringLiteral("file:///etc/passwd")}) {
        if (const auto error = failureOf<LibraryAPIClient::UploadValidationError>(client->uploadToPresignedURL(path, notAPutURL))) {
            EXPECT_EQ(error->code(), LibraryAPIClient::UploadValidationError::Code::hashCheckFailed);
            EXPECT_EQ(error->errorDescription(), QStringLiteral("Hash check failed: Invalid presigned URL"));
        }
    }
}

TEST_F(Transfers, AFileThatChangedSinceItWasHashedIsNeverStored)
{
    const QByteArray hashed = pattern(5000);
    const QString path = writeFile(QStringLiteral("take.wav"), pattern(5000).replace(0, 4, "edit"));
    fake.setMultipartPartSize(kPart);

    EXPECT_THROW(await(client->uploadToPresignedURL(path, fake.presignedPutURL(account, QStringLiteral("oid-2")),
                                                   sha256(hashed))),
                 LibraryAPIClient::ContentChangedError);
    EXPECT_THROW(await(client->uploadMultipart(path, QStringLiteral("oid-3"), QStringLiteral("take.wav"), 5000,
                                               QStringLiteral("audio/wav"), sha256(hashed))),
                 LibraryAPIClient::ContentChangedError);
    // A size other than the caller's is another file too.
    EXPECT_THROW(await(client->uploadMultipart(path, QStringLiteral("oid-3"), QStringLiteral("take.wav"), 4999,
                                               QStringLiteral("audio/wav"))),
                 LibraryAPIClient::ContentChangedError);
    // Shorter than the caller's size: the last parts never have their bytes.
    const QString shrunk = writeFile(QStringLiteral("short.wav"), pattern(3000));
    EXPECT_THROW(await(client->uploadMultipart(shrunk, QStringLiteral("oid-3"), QStringLiteral("take.wav"), 5000,
                                               QStringLiteral("audio/wav"))),
                 LibraryAPIClient::ContentChangedError);

    // Larger than a read of the body: some of it goes out while the copy is made and hashed.
    const QByteArray large = pattern(20 * 1024 * 1024);
    const QString largePath = writeFile(QStringLiteral("long take.wav"), QByteArray(large).replace(0, 4, "edit"));
    EXPECT_THROW(await(client->uploadToPresignedURL(largePath, fake.presignedPutURL(account, QStringLiteral("oid-4")),
                                                   sha256(large))),
                 LibraryAPIClient::ContentChangedError);

    // The single PUT's object would be visible the moment its body is complete, so the body is
    // cut short. Parts may go out while the copy is still being hashed, but the upload is
    // aborted instead of completed.
    for (const LoggedRequest &request : fake.requestLog())
        EXPECT_FALSE(request.method == "PUT" && request.path.find("/parts/") == std::string::npos && request.status != 0)
            << request.path;
    EXPECT_FALSE(fake.storedObject(QStringLiteral("oid-2")));
    EXPECT_FALSE(fake.storedObject(QStringLiteral("oid-4")));
    EXPECT_FALSE(fake.storedObject(QStringLiteral("oid-3")));
    EXPECT_TRUE(fake.requestsTo("POST", "/api/v1/files/multipart/complete").empty());
    ASSERT_EQ(fake.multipartUploads().size(), 3u);
    for (const auto &opened : fake.multipartUploads())
        EXPECT_EQ(opened.state, FakeMultipartUpload::State::aborted);
    EXPECT_TRUE(entriesOf(temporaryFolder.path()).isEmpty());
    EXPECT_TRUE(entriesOf(LibraryAPIClient::stagingFolder()).isEmpty());
}

// The clean-up removes copies left by an earlier run, never the one an upload still sends from.
TEST_F(Transfers, TheSinglePutSendsFromAStagedCopyThatTheCleanUpSpares)
{
    const QByteArray content = pattern(64 * 1024);
    const QString path = writeFile(QStringLiteral("take.wav"), content);
    const QString url = fake.presignedPutURL(account, QStringLiteral("oid-staged"));
    for (const char *name : {"A1B2", "C3D4"})
        quillmere::test::writeFile(LibraryAPIClient::stagingFolder() + u'/' + QLatin1String(name), "partial");
    QDir(LibraryAPIClient::stagingFolder()).mkdir(QStringLiteral("not-a-copy"));
    // Answered late, so the copy is still in use for a while.
    fake.delayNext(QUrl(url).path().toStdString(), std::chrono::seconds(2));

    bool done = false;
    std::exception_ptr error;
    auto running = detail::captureVoid(client->uploadToPresignedURL(path, url, sha256(content)), error, done);
    ASSERT_TRUE(runUntil([&] { return entriesOf(LibraryAPIClient::stagingFolder()).size() == 3; }));
    EXPECT_TRUE(entriesOf(temporaryFolder.path()).isEmpty());
    EXPECT_EQ(await(LibraryAPIClient::removeStagingLeftovers()), 2);
    EXPECT_EQ(entriesOf(LibraryAPIClient::stagingFolder()).size(), 1);
    EXPECT_TRUE(QDir(LibraryAPIClient::stagingFolder() + QStringLiteral("/not-a-copy")).exists());
    ASSERT_TRUE(runUntil([&] { return done; }));
    if (error)
        std::rethrow_exception(error);
    EXPECT_EQ(fake.storedObject(QStringLiteral("oid-staged"))->sha256, sha256(content));
    EXPECT_TRUE(entriesOf(LibraryAPIClient::stagingFolder()).isEmpty());
}

// Bodies larger than the fake keeps in memory, through the whole upload and its confirmation:
// one presigned PUT of 20 MiB, and parts of 6 MiB.
TEST_F(Transfers, LargeUploadsArriveWholeAndAreConfirmed)
{
    fake.setPresignedUploads(true, false);
    fake.setMultipartPartSize(6 * 1024 * 1024);
    for (const bool multipart : {false, true}) {
        SCOPED_TRACE(multipart ? "multipart" : "presigned PUT");
        fake.clearRequestLog();
        QByteArray content = pattern(20 * 1024 * 1024 + 3);
        content[0] = multipart ? 'm' : 's';
        client->setMultipartThresholdForTesting(multipart ? 1024 : LibraryAPIClient::defaultMultipartThreshold);
        const QString path = writeFile(multipart ? QStringLiteral("stems.wav") : QStringLiteral("mix.wav"), content);

        LibraryAPIClient::UploadRequest request;
        request.filePath = path;
        request.folderKind = quillmere::SyncFolderType::unorganisedAudio;
        request.fileUUID = QStringLiteral("FILE-UUID");
        request.deviceID = QStringLiteral("DEVICE-1");
        request.syncFolderID = QStringLiteral("0B7E2C4A-1D3F-4E5A-9B6C-7D8E9F0A1B2C");
        const auto result = await(client->uploadFile(request));

        const auto confirms = fake.requestsTo("POST", "/api/v1/files/confirm-upload");
        ASSERT_EQ(confirms.size(), 1u);
        const QString oid = bodyOf(confirms[0]).value(QStringLiteral("oid")).toString();
        if (multipart) {
            const auto stored = fake.storedObject(oid);
            ASSERT_TRUE(stored);
            EXPECT_TRUE(stored->content() == content);
            EXPECT_EQ(stored->sha256, sha256(content));
            EXPECT_EQ(fake.multipartUploads().back().completedParts.size(), 4u);
        } else {
            EXPECT_TRUE(fake.uploadedObject(oid) == content);
        }
        const auto file = fake.file(result.fileId);
        ASSERT_TRUE(file);
        EXPECT_TRUE(file->content == content);
    }
}

TEST_F(Transfers, APartIsRetriedAfterPausesOnTheInjectedClock)
{
    const QByteArray content = pattern(3 * kPart);
    const QString path = writeFile(QStringLiteral("loop.wav"), content);
    fake.setMultipartPartSize(kPart);
    fake.failPart(2, 2);

    bool done = false;
    std::exception_ptr error;
    auto running = detail::captureVoid(client->uploadMultipart(path, QStringLiteral("oid-loop"), QStringLiteral("loop.wav"),
                                                               content.size(), QStringLiteral("audio/wav")),
                                       error, done);
    ASSERT_TRUE(runUntil([&] { return clock.pendingSleepers() == 1; }));
    clock.advance(std::chrono::milliseconds(1999));
    drainEvents();
    EXPECT_EQ(partPuts(fake, 2), 1u) << "retried before 2 s";
    clock.advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(runUntil([&] { return partPuts(fake, 2) == 2 && clock.pendingSleepers() == 1; }));
    clock.advance(std::chrono::milliseconds(3999));
    drainEvents();
    EXPECT_EQ(partPuts(fake, 2), 2u) << "retried before 4 s";
    clock.advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(runUntil([&] { return done; }));
    if (error)
        std::rethrow_exception(error);
    EXPECT_EQ(fake.storedObject(QStringLiteral("oid-loop"))->sha256, sha256(content));
}

// Three parts in flight within a batch; the next ten are presigned only once every part of
// this batch has been sent, since a service may limit the presigned addresses outstanding.
TEST_F(Transfers, PartsGoThreeAtATimeAndTheNextBatchWaitsForThisOne)
{
    const qint64 size = 12 * kPart;
    const QByteArray content = pattern(size);
    const QString path = writeFile(QStringLiteral("slow.wav"), content);
    fake.setMultipartPartSize(kPart);
    fake.delayNext("/storage/uploads/*", std::chrono::milliseconds(150), -1);
    fake.takeMostDelayedAtOnce();

    await(client->uploadMultipart(path, QStringLiteral("oid-slow"), QStringLiteral("slow.wav"), size,
                                  QStringLiteral("audio/wav"), sha256(content)));

    EXPECT_EQ(fake.takeMostDelayedAtOnce(), LibraryAPIClient::partsInFlight);
    EXPECT_EQ(LibraryAPIClient::partsInFlight, 3);
    std::vector<std::string> order;
    for (const LoggedRequest &request : fake.requestLog()) {
        if (request.path == "/api/v1/files/multipart/presign-parts")
            order.push_back("presign");
        else if (request.method == "PUT")
            order.push_back(request.path.substr(request.path.rfind('/') + 1));
    }
    ASSERT_EQ(order.size(), 14u);
    EXPECT_EQ(order[0], "presign");
    EXPECT_EQ(order[11], "presign") << "presigned while parts of the batch before were still going";
    EXPECT_EQ(std::count(order.begin(), order.end(), "presign"), 2);
    EXPECT_EQ(fake.storedObject(QStringLiteral("oid-slow"))->sha256, sha256(content));
}

// Parts go in presigned batches of ten; progress is reported once a whole batch is sent, so a
// part waiting for its retry holds back only the next batch and the report.
TEST_F(Transfers, MultipartSendsEveryPartInBatchesAndAPartWaitingForItsRetryHoldsBackOnlyTheNextBatch)
{
    const qint64 size = 25 * kPart - 100;
    const QByteArray content = pattern(size);
    const QString path = writeFile(QStringLiteral("stem.wav"), content);
    fake.setMultipartPartSize(kPart);
    fake.failPart(2, 1);
    std::vector<std::tuple<QString, qint64, qint64, qint64, qint64>> reports;
    std::vector<qint64> earlier;
    const auto newest = [&](const QString &name, qint64 done, qint64 total, qint64 bytes, qint64 of) {
        reports.emplace_back(name, done, total, bytes, of);
    };
    // A handler set while the upload runs hears of the batches still to come.
    client->setMultipartProgressHandler([&](const QString &name, qint64 done, qint64 total, qint64 bytes, qint64 of) {
        earlier.push_back(done);
        client->setMultipartProgressHandler(newest);
        newest(name, done, total, bytes, of);
    });

    bool done = false;
    std::exception_ptr error;
    auto running = detail::captureVoid(client->uploadMultipart(path, QStringLiteral("oid-stem"), QStringLiteral("stem.wav"),
                                                               size, QStringLiteral("audio/wav"), sha256(content)),
                                       error, done);
    // The two free slots carry on through the batch while part 2 waits out its pause.
    const auto batchSent = [&] {
        for (qint64 number = 1; number <= 10; ++number) {
            if (number != 2 && partPuts(fake, number) != 1)
                return false;
        }
        return true;
    };
    ASSERT_TRUE(runUntil([&] { return clock.pendingSleepers() == 1 && batchSent(); }));
    EXPECT_FALSE(runUntil([&] { return partPuts(fake, 11) > 0; }, std::chrono::milliseconds(300)))
        << "the next batch went out while part 2 of this one was still to be sent";
    EXPECT_EQ(fake.requestsTo("POST", "/api/v1/files/multipart/presign-parts").size(), 1u);
    EXPECT_TRUE(earlier.empty()) << "a batch was reported before all its parts were sent";

    clock.advance(std::chrono::seconds(2));
    ASSERT_TRUE(runUntil([&] { return done; }));
    if (error)
        std::rethrow_exception(error);
    const auto stored = fake.storedObject(QStringLiteral("oid-stem"));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size, size);
    EXPECT_EQ(stored->sha256, sha256(content));
    const auto presigns = fake.requestsTo("POST", "/api/v1/files/multipart/presign-parts");
    ASSERT_EQ(presigns.size(), 3u);
    EXPECT_EQ(partsListed(presigns[1], QStringLiteral("part_numbers")),
              (std::vector<qint64>{11, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
    EXPECT_EQ(partsListed(presigns[2], QStringLiteral("part_numbers")), (std::vector<qint64>{21, 22, 23, 24, 25}));
    const auto completes = fake.requestsTo("POST", "/api/v1/files/multipart/complete");
    ASSERT_EQ(completes.size(), 1u);
    EXPECT_EQ(partsListed(completes[0], QStringLiteral("parts")).size(), 25u);

    // Bytes are what was sent: the short last part is not counted as a whole one.
    EXPECT_EQ(earlier, std::vector<qint64>{10});
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0], std::make_tuple(QStringLiteral("stem.wav"), qint64(10), qint64(25), 10 * kPart, size));
    EXPECT_EQ(reports[1], std::make_tuple(QStringLiteral("stem.wav"), qint64(20), qint64(25), 20 * kPart, size));
    EXPECT_EQ(reports[2], std::make_tuple(QStringLiteral("stem.wav"), qint64(25), qint64(25), size, size));
    EXPECT_TRUE(entriesOf(LibraryAPIClient::stagingFolder()).isEmpty());
}

TEST_F(Transfers, AFailedOrUncoveredUploadIsAbortedAtTheServiceAndItsStagedCopyRemoved)
{
    const QByteArray content = pattern(3 * kPart);
    const QString path = writeFile(QStringLiteral("bounce.wav"), content);
    fake.setMultipartPartSize(kPart);
    const auto upload = [&](const QString &oid) {
        return client->uploadMultipart(path, oid, QStringLiteral("bounce.wav"), content.size(), QStringLiteral("audio/wav"));
    };
    const auto expectAbortedWithoutComplete = [&] {
        const auto uploads = fake.multipartUploads();
        ASSERT_FALSE(uploads.empty());
        EXPECT_EQ(uploads.back().state, FakeMultipartUpload::State::aborted);
        EXPECT_TRUE(fake.requestsTo("POST", "/api/v1/files/multipart/complete").empty());
        EXPECT_TRUE(entriesOf(LibraryAPIClient::stagingFolder()).isEmpty());
    };

    // A part that never succeeds: its third failure is the upload's.
    fake.failPart(2, -1);
    if (const auto error = failureOf<HarborlyAPIError>([&] { finishAdvancingClock(upload(QStringLiteral("oid-a"))); })) {
        EXPECT_EQ(error->statusCode(), 500);
        EXPECT_EQ(error->message(), QStringLiteral("Part 2 upload failed"));
    }
    EXPECT_EQ(partPuts(fake, 2), 3u);
    expectAbortedWithoutComplete();

    // A part answered without an ETag cannot be completed.
    fake.clearRequestLog();
    fake.failPart(2, 0);
    fake.withholdETag(3);
    if (const auto error = failureOf<LibraryAPIClient::UploadValidationError>([&] { finishAdvancingClock(upload(QStringLiteral("oid-b"))); })) {
        EXPECT_EQ(error->code(), LibraryAPIClient::UploadValidationError::Code::hashCheckFailed);
        EXPECT_EQ(error->detail(), QStringLiteral("No ETag returned for part 3"));
    }
    EXPECT_EQ(partPuts(fake, 3), 3u) << "a reply without an ETag is a failed attempt";
    expectAbortedWithoutComplete();

    // An initiate or presign reply that does not cover the file is never completed.
    fake.omitFromPresign(3);
    EXPECT_THROW(await(upload(QStringLiteral("oid-cut"))), LibraryAPIClient::UploadValidationError);
    EXPECT_FALSE(fake.storedObject(QStringLiteral("oid-cut")));
    expectAbortedWithoutComplete();
    // The service's own count disagreeing with its part size.
    fake.setMultipartPartSize(kPart, 2);
    EXPECT_THROW(await(upload(QStringLiteral("oid-cut"))), LibraryAPIClient::UploadValidationError);
    // Parts above 5 GiB are refused whatever the file.
    fake.setMultipartPartSize(LibraryAPIClient::maximumPartSize + 1);
    EXPECT_THROW(await(upload(QStringLiteral("oid-cut"))), LibraryAPIClient::UploadValidationError);
    // No upload id is fine only when the service says it already holds the content.
    fake.setMultipartPartSize(kPart);
    fake.setInitiateReply(FakeInitiateReply::withoutUploadId);
    EXPECT_THROW(await(upload(QStringLiteral("oid-cut"))), LibraryAPIClient::UploadValidationError);
    fake.setInitiateReply(FakeInitiateReply::alreadyExists);
    fake.clearRequestLog();
    await(upload(QStringLiteral("oid-cut")));
    EXPECT_TRUE(fake.requestsTo("POST", "/api/v1/files/multipart/presign-parts").empty());
    EXPECT_TRUE(fake.requestsTo("POST", "/api/v1/files/multipart/complete").empty());
    for (const auto &opened : fake.multipartUploads())
        EXPECT_EQ(opened.state, FakeMultipartUpload::State::aborted);
    EXPECT_TRUE(entriesOf(LibraryAPIClient::stagingFolder()).isEmpty());
}

TEST_F(Transfers, ALaneReleasesAnInterruptedUploadThroughItsInterface)
{
    const auto opened = await(client->initiateMultipartUpload(QStringLiteral("oid-left"), QStringLiteral("left.wav"),
                                                              4096, QStringLiteral("audio/wav")));
    ASSERT_FALSE(opened.uploadId.isEmpty());

    quillmere::FileSyncAPI &lane = *client;
    await(lane.abortMultipartUpload(opened.uploadId, QStringLiteral("oid-left")));
    EXPECT_EQ(fake.multipartUploads().back().state, FakeMultipartUpload::State::aborted);
    // The service no longer knows it: whatever it answers, the release is done.
    await(lane.abortMultipartUpload(opened.uploadId, QStringLiteral("oid-left")));
    EXPECT_EQ(fake.requestsTo("POST", "/api/v1/files/multipart/abort").size(), 2u);
}
