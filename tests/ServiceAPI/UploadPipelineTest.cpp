// The upload of one file against the fake service: every route the hash check can choose, the
// exact form body, content that changes under the upload, and the refusals.

#include "ServiceAPI/TransferFixture.h"

#include "Accounts/APIConfig.h"
#include "FileServices/ChecksumCache.h"
#include "Model/SyncFolder.h"
#include "Platform/Files/FileReadError.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

using namespace std::chrono_literals;
using quillmere::FileReadError;
using quillmere::HarborlyAPI;
using quillmere::HarborlyAPIError;
using quillmere::LibraryAPIClient;
using quillmere::SyncFolderType;
using quillmere::test::await;
using quillmere::test::failureOf;
using quillmere::test::FakeLibraryFile;

namespace {

using Verdict = LibraryAPIClient::HashCheckResult::Verdict;
using ValidationCode = LibraryAPIClient::UploadValidationError::Code;

const QString kFolderUUID = QStringLiteral("0B7E2C4A-1D3F-4E5A-9B6C-7D8E9F0A1B2C");

class UploadPipeline : public quillmere::test::TransferFixture
{
protected:
    // Runs `act` once, as soon as the fake holds a request back (it logs a request only once
    // it has answered it): the upload is then surely past what came before that request.
    void actWhileHeld(std::function<void()> act)
    {
        fake.takeMostDelayedAtOnce();
        m_whileHeld = std::make_unique<QTimer>();
        QObject::connect(m_whileHeld.get(), &QTimer::timeout, [this, act = std::move(act)] {
            if (fake.takeMostDelayedAtOnce() == 0)
                return;
            m_whileHeld->stop();
            act();
        });
        m_whileHeld->start(5);
    }

    qint64 seedLibraryFile(const QString &name, const QByteArray &content)
    {
        FakeLibraryFile file;
        file.accountId = account;
        file.filename = name;
        file.folderType = QStringLiteral("unorganised");
        file.syncFolderUUID = kFolderUUID;
        file.content = content;
        return fake.addFile(file);
    }

    static LibraryAPIClient::UploadRequest request(const QString &path,
                                                   SyncFolderType kind = SyncFolderType::unorganisedAudio)
    {
        LibraryAPIClient::UploadRequest request;
        request.filePath = path;
        request.folderKind = kind;
        request.fileUUID = QStringLiteral("FILE-UUID");
        request.deviceID = QStringLiteral("DEVICE-1");
        request.syncFolderID = kFolderUUID;
        return request;
    }

    LibraryAPIClient::UploadResult upload(const QString &path, SyncFolderType kind = SyncFolderType::unorganisedAudio,
                                          std::optional<QString> baseCommit = std::nullopt, std::stop_token stop = {})
    {
        auto sent = request(path, kind);
        sent.baseCommit = std::move(baseCommit);
        return await(client->uploadFile(std::move(sent), stop));
    }

    // The method and path of each request the fake received, in order.
    std::vector<std::string> requestPaths() const
    {
        std::vector<std::string> paths;
        for (const auto &entry : fake.requestLog())
            paths.push_back(entry.method + " " + entry.path);
        return paths;
    }

    QJsonObject lastBody(const std::string &path) const
    {
        const auto sent = fake.requestsTo("POST", path);
        return sent.empty() ? QJsonObject() : QJsonDocument::fromJson(QByteArray::fromStdString(sent.back().body)).object();
    }

    // Whatever an upload stages lands here, and must be gone when it ends.
    QStringList staged() const { return entriesOf(LibraryAPIClient::stagingFolder()); }

private:
    std::unique_ptr<QTimer> m_whileHeld;
};

const std::string kCheckHash = "/api/v1/files/check-hash";
const std::string kUploadURL = "/api/v1/files/upload-url";
const std::string kUploadBlob = "/api/v1/files/upload-blob";
const std::string kConfirm = "/api/v1/files/confirm-upload";

} // namespace

TEST_F(UploadPipeline, ContentTheServiceHoldsIsLinkedWithoutSendingBytes)
{
    const QByteArray take = "take one";
    const qint64 held = seedLibraryFile(QStringLiteral("Take.WAV"), take);

    // Same content at the same place: nothing but the hash check.
    const auto same = upload(writeFile(QStringLiteral("Take.WAV"), take));
    EXPECT_EQ(same.fileId, held);
    EXPECT_EQ(same.message, QStringLiteral("Deduplicated"));
    EXPECT_TRUE(same.wasDeduplicated);
    EXPECT_FALSE(same.commitSha);
    EXPECT_EQ(requestPaths(), std::vector<std::string>{"POST " + kCheckHash});
    // The fake matches hash, folder kind and sync folder; the size and type it only requires.
    const QJsonObject offered = lastBody(kCheckHash);
    EXPECT_EQ(offered.value(QStringLiteral("file_size")).toInteger(), take.size());
    EXPECT_EQ(offered.value(QStringLiteral("mime_type")).toString(), QStringLiteral("audio/wav"));

    // Same content elsewhere: confirmed, never sent.
    fake.clearRequestLog();
    const auto linked = upload(writeFile(QStringLiteral("Copy.wav"), take));
    EXPECT_EQ(linked.message, QStringLiteral("Known content — linked"));
    EXPECT_TRUE(linked.wasDeduplicated);
    EXPECT_NE(linked.fileId, held);
    EXPECT_EQ(linked.commitSha->size(), 40);
    EXPECT_EQ(requestPaths(), (std::vector<std::string>{"POST " + kCheckHash, "POST " + kConfirm}));
    const QJsonObject confirmed = lastBody(kConfirm);
    EXPECT_TRUE(confirmed.value(QStringLiteral("oid")).toString().startsWith(QStringLiteral("obj-")));
    EXPECT_EQ(confirmed.value(QStringLiteral("bucket_id")).toString(), QStringLiteral("bucket-%1").arg(account));
    EXPECT_EQ(confirmed.value(QStringLiteral("device_id")).toString(), QStringLiteral("DEVICE-1"));
}

// The hash check found the content at the service, but the only file holding it was deleted
// before the confirmation: the service has no object to link, so the bytes go after all, once.
TEST_F(UploadPipeline, KnownContentDeletedBeforeItsConfirmationIsSentAfterAll)
{
    // Read whole on the worker (by form or PUT), or hashed there and sent from a staged copy.
    enum class Route { form, put, staged };
    for (const Route route : {Route::form, Route::put, Route::staged}) {
        SCOPED_TRACE(int(route));
        fake.clearRequestLog();
        fake.setPresignedUploads(false, route == Route::put);
        const QByteArray take = route == Route::staged
                                    ? QByteArray(LibraryAPIClient::inMemoryUploadLimit + 1024, 'x')
                                    : QByteArray(route == Route::put ? "held, then gone (put)" : "held, then gone (form)");
        const qint64 held = seedLibraryFile(QStringLiteral("Held.wav"), take);
        fake.delayNext(kConfirm, 400ms);
        actWhileHeld([this, held] { fake.removeFile(held); });
        const auto result = upload(writeFile(QStringLiteral("Copy.wav"), take));

        EXPECT_EQ(result.message, QStringLiteral("Uploaded"));
        EXPECT_FALSE(result.wasDeduplicated);
        ASSERT_TRUE(fake.file(result.fileId));
        EXPECT_EQ(fake.file(result.fileId)->content, take);
        EXPECT_EQ(fake.requestsTo("POST", kConfirm).size(), 2u);
        EXPECT_EQ(fake.requestsTo("POST", kCheckHash).size(), 1u);
        EXPECT_TRUE(staged().isEmpty());
    }

    // Refused a second time, the confirmation's failure is the upload's: it is not sent again.
    fake.clearRequestLog();
    fake.setPresignedUploads(false, false);
    const QByteArray take = "refused twice";
    seedLibraryFile(QStringLiteral("Twice.wav"), take);
    fake.answerNext(kConfirm, 409, {}, 2);
    const auto refused = failureOf<HarborlyAPIError>([&] { upload(writeFile(QStringLiteral("Twice copy.wav"), take)); });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->statusCode(), 409);
    EXPECT_EQ(fake.requestsTo("POST", kConfirm).size(), 2u);
    EXPECT_EQ(fake.requestsTo("POST", kUploadBlob).size(), 1u);
}

TEST_F(UploadPipeline, NewContentGoesByFormUploadWithAnExactBodyAndAnEscapedName)
{
    QByteArray content("RIFF\r\n--not-a-boundary\r\n\"quoted\"\x00\xff", 34);
    const QString awkward = QStringLiteral("mix \"final\"\r\nv2.flac");
    const auto result = upload(writeFile(awkward, content), SyncFolderType::projectsFolder);

    EXPECT_EQ(result.message, QStringLiteral("Uploaded"));
    EXPECT_FALSE(result.wasDeduplicated);
    EXPECT_EQ(requestPaths(), (std::vector<std::string>{"POST " + kCheckHash, "POST " + kUploadURL,
                                                        "POST " + kUploadBlob, "POST " + kConfirm}));
    // The fake refuses any body that is not byte for byte the form.
    const auto forms = fake.formUploads();
    ASSERT_EQ(forms.size(), 1u);
    EXPECT_EQ(forms[0].fileNameAsSent, "mix %22final%22%0D%0Av2.flac");
    const QString oid = QString::fromStdString(forms[0].oid);
    EXPECT_EQ(fake.uploadedObject(oid), content);
    EXPECT_EQ(lastBody(kConfirm).value(QStringLiteral("oid")).toString(), oid);
    EXPECT_EQ(lastBody(kConfirm).value(QStringLiteral("folder_type")).toString(), QStringLiteral("drive"));
    ASSERT_TRUE(fake.file(result.fileId));
    EXPECT_EQ(fake.file(result.fileId)->filename, awkward);
    EXPECT_TRUE(staged().isEmpty());

    // Refused: the copy it was sent from goes all the same.
    fake.storageFullNext(kUploadBlob);
    EXPECT_TRUE(failureOf<HarborlyAPIError>([&] { upload(writeFile(QStringLiteral("later.flac"), "later")); }));
    EXPECT_TRUE(staged().isEmpty());
}

// A presigned URL from the verdict needs no upload-url request; one from the upload-url reply
// replaces the form.
TEST_F(UploadPipeline, PresignedURLsTakeAPlainPut)
{
    for (const bool inVerdict : {true, false}) {
        SCOPED_TRACE(inVerdict ? "from the verdict" : "from upload-url");
        fake.clearRequestLog();
        fake.setPresignedUploads(inVerdict, !inVerdict);
        const QByteArray take = inVerdict ? "first take" : "second take";
        const auto result = upload(writeFile(inVerdict ? QStringLiteral("a.mp3") : QStringLiteral("b.mp3"), take));
        auto paths = requestPaths();
        ASSERT_EQ(paths.size(), inVerdict ? 3u : 4u);
        if (!inVerdict) {
            EXPECT_EQ(paths[1], "POST " + kUploadURL);
        }
        EXPECT_EQ(paths[paths.size() - 2].rfind("PUT /storage/objects/", 0), 0u);
        EXPECT_EQ(paths.back(), "POST " + kConfirm);
        EXPECT_EQ(fake.file(result.fileId)->content, take);
    }
    EXPECT_TRUE(fake.formUploads().empty());
}

TEST_F(UploadPipeline, LargeFilesGoMultipartFromAStagedCopy)
{
    constexpr qint64 part = 1024;
    fake.setMultipartPartSize(part);
    QByteArray content(4 * part + 10, Qt::Uninitialized);
    for (qint64 i = 0; i < content.size(); ++i)
        content[i] = char(i * 7919 >> 3);
    // A file exactly at the threshold goes multipart.
    client->setMultipartThresholdForTesting(content.size());
    std::vector<qint64> reported;
    client->setMultipartProgressHandler(
        [&](const QString &, qint64 done, qint64, qint64, qint64) { reported.push_back(done); });

    // A presigned URL in the verdict is for one PUT: a file at the threshold ignores it.
    for (const bool urlInVerdict : {false, true}) {
        SCOPED_TRACE(urlInVerdict ? "URL in the verdict" : "no URL");
        fake.clearRequestLog();
        fake.setPresignedUploads(urlInVerdict, false);
        content[0] = urlInVerdict ? 'b' : 'a';
        const auto result = upload(writeFile(urlInVerdict ? QStringLiteral("b.wav") : QStringLiteral("a.wav"), content));

        EXPECT_EQ(result.message, QStringLiteral("Uploaded"));
        EXPECT_FALSE(result.wasDeduplicated);
        std::vector<std::string> expected{"POST " + kCheckHash};
        if (!urlInVerdict)
            expected.push_back("POST " + kUploadURL);
        expected.push_back("POST /api/v1/files/multipart/initiate");
        expected.push_back("POST /api/v1/files/multipart/presign-parts");
        std::vector<std::string> paths = requestPaths();
        ASSERT_EQ(paths.size(), expected.size() + 5 + 2);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), paths.begin()));
        for (size_t i = expected.size(); i < expected.size() + 5; ++i)
            EXPECT_NE(paths[i].find("/parts/"), std::string::npos) << paths[i];
        EXPECT_EQ(paths[paths.size() - 2], "POST /api/v1/files/multipart/complete");
        EXPECT_EQ(paths.back(), "POST " + kConfirm);

        const QString oid = lastBody(kConfirm).value(QStringLiteral("oid")).toString();
        const auto stored = fake.storedObject(oid);
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->sha256, sha256(content));
        ASSERT_TRUE(fake.file(result.fileId));
        EXPECT_EQ(fake.file(result.fileId)->content, content);
        EXPECT_TRUE(fake.formUploads().empty());
        EXPECT_TRUE(staged().isEmpty());
    }
    EXPECT_EQ(reported, (std::vector<qint64>{5, 5}));

    // One byte less is a single request.
    fake.clearRequestLog();
    fake.setPresignedUploads(false, false);
    content[0] = 'c';
    upload(writeFile(QStringLiteral("c.wav"), content.left(content.size() - 1)));
    EXPECT_TRUE(fake.requestsTo("POST", "/api/v1/files/multipart/initiate").empty());
    EXPECT_EQ(fake.formUploads().size(), 1u);
}

// The client may be destroyed at any point of an upload (a lane going away): the upload runs
// on to its end without reading it again. Under the address sanitizer a read of the destroyed
// client fails the run.
TEST_F(UploadPipeline, AnUploadOutlivesItsClientWhereverItWaits)
{
    constexpr qint64 part = 1024;
    fake.setMultipartPartSize(part);
    struct Route
    {
        const char *name;
        qint64 size;
        size_t requests; // what the whole upload sends
    };
    // Form: check-hash, upload-url, upload-blob, confirm. Multipart: check-hash, upload-url,
    // initiate, presign, five parts, complete, confirm.
    for (const Route route : {Route{"form", 100, 4}, Route{"multipart", 4 * part + 10, 11}}) {
        for (size_t answered = 0; answered < route.requests; ++answered) {
            SCOPED_TRACE(std::string(route.name) + " after " + std::to_string(answered) + " requests");
            fake.clearRequestLog();
            QByteArray content(route.size, 'x');
            content.replace(0, 12, QByteArray::number(qint64(answered) + 1000 * route.size).leftJustified(12, '-'));
            const QString path = writeFile(QStringLiteral("gone-%1.wav").arg(answered), content);
            auto owner = std::make_unique<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens, clock));
            owner->setMultipartThresholdForTesting(4 * part);

            std::optional<LibraryAPIClient::UploadResult> result;
            std::exception_ptr error;
            bool done = false;
            auto running = quillmere::test::detail::capture(owner->uploadFile(request(path)), result, error, done);
            ASSERT_TRUE(quillmere::test::runUntil([&] { return done || fake.requestLog().size() >= answered; }));
            owner.reset();
            ASSERT_TRUE(quillmere::test::runUntil([&] { return done; }));
            if (error)
                std::rethrow_exception(error);
            ASSERT_TRUE(result);
            ASSERT_TRUE(fake.file(result->fileId));
            EXPECT_EQ(fake.file(result->fileId)->content, content);
            EXPECT_EQ(fake.requestLog().size(), route.requests);
        }
    }
    EXPECT_TRUE(staged().isEmpty());
}

TEST_F(UploadPipeline, AFileRewrittenAfterHashingIsNeverSentOrConfirmed)
{
    for (const bool presigned : {false, true}) {
        SCOPED_TRACE(presigned ? "presigned PUT" : "form upload");
        fake.clearRequestLog();
        fake.setPresignedUploads(presigned, false);
        const QString path = writeFile(QStringLiteral("drift.wav"), presigned ? "before put" : "before form");
        // The hash check is held back while the file changes under the upload: the file is
        // rewritten once the check is held, so surely after it was hashed.
        fake.delayNext(kCheckHash, 400ms);
        actWhileHeld([this] { writeFile(QStringLiteral("drift.wav"), "after, and longer"); });
        const auto changed = failureOf<LibraryAPIClient::ContentChangedError>([&] { upload(path); });
        EXPECT_TRUE(changed);
        EXPECT_TRUE(fake.requestsTo("POST", kConfirm).empty());
        EXPECT_TRUE(fake.requestsTo("POST", kUploadBlob).empty());
        for (const auto &entry : fake.requestLog())
            EXPECT_NE(entry.method, "PUT");
        EXPECT_TRUE(staged().isEmpty());
    }
    EXPECT_TRUE(fake.formUploads().empty());

    // The form copy is checked against the size offered too: bytes of another length than the
    // one confirmed are another version of the file, whatever their hash.
    const QByteArray content = "grown since it was measured";
    const QString path = writeFile(QStringLiteral("grown.wav"), content);
    const LibraryAPIClient::ExpectedContent stale{sha256(content), content.size() - 1, std::nullopt};
    EXPECT_TRUE(failureOf<LibraryAPIClient::ContentChangedError>(
        [&] { await(client->uploadBlob(path, QStringLiteral("obj-any"), stale)); }));
    EXPECT_TRUE(fake.requestsTo("POST", kUploadBlob).empty());
    EXPECT_TRUE(staged().isEmpty());
}

// A file of a sync folder is read only as a regular file reached through the folder's own
// folders: a link in its place or in place of a folder on the way is refused before anything
// is read or asked, and one put there while the service is asked stops the staged copy before
// a byte of what it leads to goes out.
TEST_F(UploadPipeline, AFileOfAFolderIsNeverReadThroughALink)
{
    client->setMultipartThresholdForTesting(2 * 1024 * 1024);
    fake.setMultipartPartSize(1024 * 1024);
    QTemporaryDir elsewhere;
    const QByteArray secret = pattern(3 * 1024 * 1024 + 5).replace(0, 6, "secret");
    quillmere::test::writeFile(elsewhere.filePath(QStringLiteral("Kit/stem.wav")), secret);
    quillmere::test::writeFile(elsewhere.filePath(QStringLiteral("loop.wav")), "outside loop");
    const QString root = files.filePath(QStringLiteral("Folder"));
    ASSERT_TRUE(QDir().mkpath(root));
    ASSERT_TRUE(QFile::link(elsewhere.filePath(QStringLiteral("loop.wav")), root + QStringLiteral("/loop.wav")));
    ASSERT_TRUE(QFile::link(elsewhere.filePath(QStringLiteral("Kit")), root + QStringLiteral("/Kit")));
    const auto ofFolder = [&](const QString &path) {
        auto sent = request(path);
        sent.folderRoot = root;
        return sent;
    };

    for (const QString &path : {root + QStringLiteral("/loop.wav"), root + QStringLiteral("/Kit/stem.wav")}) {
        EXPECT_TRUE(failureOf<quillmere::FileSyncAPI::NotARegularFileError>(client->uploadFile(ofFolder(path))))
            << path.toStdString();
    }
    // Without a folder to judge by, a link at the name is still no file.
    const auto linked = failureOf<LibraryAPIClient::UploadValidationError>(
        [&] { upload(root + QStringLiteral("/loop.wav")); });
    ASSERT_TRUE(linked);
    EXPECT_EQ(linked->code(), ValidationCode::fileNotFound);
    EXPECT_TRUE(fake.requestLog().empty());

    // The folder is real while the file is examined, and a link to the other one by the time
    // its bytes are copied for sending.
    ASSERT_TRUE(QFile::remove(root + QStringLiteral("/Kit")));
    const QString stem = root + QStringLiteral("/Kit/stem.wav");
    quillmere::test::writeFile(stem, pattern(3 * 1024 * 1024 + 5));
    fake.delayNext(kCheckHash, 400ms);
    actWhileHeld([&] {
        QDir().rename(root + QStringLiteral("/Kit"), root + QStringLiteral("/Kit-own"));
        QFile::link(elsewhere.filePath(QStringLiteral("Kit")), root + QStringLiteral("/Kit"));
    });
    EXPECT_TRUE(failureOf<LibraryAPIClient::ContentChangedError>(client->uploadFile(ofFolder(stem))));
    ASSERT_TRUE(QFileInfo(root + QStringLiteral("/Kit")).isSymLink()) << "the folder was not swapped in time";
    // Asked about the folder's own file, nothing else: no byte, part or confirmation went.
    for (const auto &entry : fake.requestLog())
        EXPECT_TRUE(entry.path == kCheckHash || entry.path == kUploadURL) << entry.method << ' ' << entry.path;
    EXPECT_TRUE(fake.multipartUploads().empty());
    EXPECT_FALSE(fake.uploadedObject(sha256(secret)));
    EXPECT_TRUE(staged().isEmpty());
}

TEST_F(UploadPipeline, RefusesFilesBeforeSendingAnything)
{
    const auto text = failureOf<LibraryAPIClient::UploadValidationError>(
        [&] { upload(writeFile(QStringLiteral("notes.TXT"), "x")); });
    ASSERT_TRUE(text);
    EXPECT_EQ(text->code(), ValidationCode::unsupportedExtension);
    EXPECT_EQ(text->detail(), QStringLiteral("txt"));

    const auto bare = failureOf<LibraryAPIClient::UploadValidationError>(
        [&] { upload(writeFile(QStringLiteral("README"), "x"), SyncFolderType::harborly); });
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->errorDescription(),
              QStringLiteral("File type . is not supported. Supported types: .wav, .mp3, .aiff, .aif, .flac"));

    const auto gone = failureOf<FileReadError>([&] { upload(files.path() + QStringLiteral("/gone.wav")); });
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->errorNumber(), ENOENT);

    // A folder (or a FIFO) has no bytes to hash: refused, never read.
    QDir(files.path()).mkdir(QStringLiteral("folder.wav"));
    const auto folder = failureOf<LibraryAPIClient::UploadValidationError>(
        [&] { upload(files.path() + QStringLiteral("/folder.wav")); });
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->code(), ValidationCode::fileNotFound);

    const QString huge = writeFile(QStringLiteral("huge.wav"), {});
    if (QFile::resize(huge, LibraryAPIClient::maximumUploadSize + 1)) {
        const auto tooLarge = failureOf<LibraryAPIClient::UploadValidationError>([&] { upload(huge); });
        ASSERT_TRUE(tooLarge);
        EXPECT_EQ(tooLarge->errorDescription(), QStringLiteral("File is too large (5242880.0 MB). Maximum: 5242880 MB"));
    }
    QFile::remove(huge);
    EXPECT_TRUE(fake.requestLog().empty());
}

TEST_F(UploadPipeline, ReportsAConflictWithAChangeMadeElsewhere)
{
    const qint64 existing = seedLibraryFile(QStringLiteral("song.wav"), "their version");
    const QString theirs = QStringLiteral("a").repeated(40);
    fake.setCommit(existing, theirs);
    const QString ours = QStringLiteral("B").repeated(40);

    const auto result = upload(writeFile(QStringLiteral("song.wav"), "my version"), SyncFolderType::unorganisedAudio, ours);
    EXPECT_EQ(result.fileId, existing);
    EXPECT_EQ(result.status, QStringLiteral("ok_with_conflict"));
    ASSERT_TRUE(result.conflict);
    EXPECT_EQ(result.conflict->type, QStringLiteral("true_conflict"));
    EXPECT_EQ(result.conflict->serverCommitBefore, theirs);
    EXPECT_EQ(result.conflict->commonAncestor, ours);
    EXPECT_EQ(lastBody(kConfirm).value(QStringLiteral("base_commit_sha")).toString(), ours);

    // A base commit that is not 40 hexadecimal digits is left out: no conflict to report.
    const auto plain = upload(writeFile(QStringLiteral("song.wav"), "my next version"), SyncFolderType::unorganisedAudio,
                              QStringLiteral("g").repeated(40));
    EXPECT_FALSE(lastBody(kConfirm).contains(QStringLiteral("base_commit_sha")));
    EXPECT_EQ(plain.status, QStringLiteral("ok"));
    EXPECT_FALSE(plain.conflict);
}

TEST_F(UploadPipeline, AudioIsDescribedAndThePlanMirrorSendsNoFolderType)
{
    const QString path = files.path() + QStringLiteral("/tone.wav");
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    ASSERT_TRUE(file);
    std::vector<short> samples(72000, 0);
    sf_write_short(file, samples.data(), sf_count_t(samples.size()));
    sf_close(file);

    upload(path, SyncFolderType::harborly);
    const QJsonObject confirmed = lastBody(kConfirm);
    EXPECT_FALSE(confirmed.contains(QStringLiteral("folder_type")));
    EXPECT_FALSE(lastBody(kCheckHash).contains(QStringLiteral("folder_type")));
    const QJsonObject analysis = confirmed.value(QStringLiteral("audio_analysis")).toObject();
    EXPECT_DOUBLE_EQ(analysis.value(QStringLiteral("duration_seconds")).toDouble(), 1.5);
    EXPECT_EQ(analysis.value(QStringLiteral("sample_rate")).toInteger(), 48000);

    // Not audio by its type: no probe, no analysis.
    upload(writeFile(QStringLiteral("notes.pdf"), "%PDF"), SyncFolderType::references);
    EXPECT_FALSE(lastBody(kConfirm).contains(QStringLiteral("audio_analysis")));
    EXPECT_EQ(lastBody(kConfirm).value(QStringLiteral("mime_type")).toString(), QStringLiteral("application/pdf"));
}

TEST_F(UploadPipeline, AStoppedUploadEndsQuietlyWithoutConfirming)
{
    std::stop_source stop;
    fake.delayNext(kCheckHash, 300ms);
    actWhileHeld([&stop] { stop.request_stop(); });
    const auto stopped = failureOf<HarborlyAPIError>(
        [&] { upload(writeFile(QStringLiteral("stop.wav"), "bytes"), SyncFolderType::unorganisedAudio, std::nullopt, stop.get_token()); });
    ASSERT_TRUE(stopped);
    EXPECT_TRUE(stopped->isCancellation());
    EXPECT_TRUE(fake.requestsTo("POST", kConfirm).empty());
}

// ---- Readers and the form envelope, without a network

TEST(UploadReplies, ReadTheVerdictsAndRefusals)
{
    const QString own = QStringLiteral("c").repeated(64);
    const auto empty = LibraryAPIClient::parseHashCheckResponse(200, "{}", own);
    EXPECT_EQ(std::tie(empty.verdict, empty.oid), std::tuple(Verdict::uploadRequired, own));
    const auto dedup = LibraryAPIClient::parseHashCheckResponse(200, R"({"status":"deduplicated"})", own);
    EXPECT_EQ(std::tie(dedup.verdict, dedup.fileId), std::tuple(Verdict::deduplicated, 0));
    const auto message = [](auto read) { return failureOf<HarborlyAPIError>(read).value_or(HarborlyAPIError::invalidResponse()).message(); };
    EXPECT_EQ(message([&] { LibraryAPIClient::parseHashCheckResponse(200, R"({"status":"pending"})", own); }),
              QStringLiteral("Unknown hash check status: pending"));
    EXPECT_EQ(message([&] { LibraryAPIClient::parseHashCheckResponse(503, "not json", own); }), QStringLiteral("Hash check failed"));
    EXPECT_EQ(message([] { LibraryAPIClient::parseUploadBlobResponse(400, R"({"message":"m","error":"e"})"); }), QStringLiteral("e"));

    EXPECT_EQ(LibraryAPIClient::parseUploadURLResponse(200, R"({"upload_url":"https://u"})").presignedURL,
              QStringLiteral("https://u"));
    EXPECT_TRUE(LibraryAPIClient::parseUploadURLResponse(200, "{}").presignedURL.isEmpty());

    const auto bare = LibraryAPIClient::parseConfirmUploadResponse(201, "{}");
    EXPECT_EQ(std::tie(bare.fileId, bare.commitSha, bare.status), std::tuple(0, QString(), QStringLiteral("ok")));
    EXPECT_FALSE(bare.conflict);
    EXPECT_FALSE(LibraryAPIClient::parseConfirmUploadResponse(200, R"({"conflict":{"type":"x"}})").conflict);
    const auto conflict = LibraryAPIClient::parseConfirmUploadResponse(200, R"({"conflict":{"id":7}})").conflict;
    ASSERT_TRUE(conflict);
    EXPECT_EQ(conflict->type, QStringLiteral("true_conflict"));
}

TEST(UploadReplies, TheFormEnvelopeIsExact)
{
    const auto [prefix, suffix] = LibraryAPIClient::formUploadEnvelope(QStringLiteral("B-1"), QStringLiteral("obj-9"),
                                                                       QStringLiteral("a\"b\rc\nd.wav"));
    EXPECT_EQ(prefix, QByteArray("--B-1\r\n"
                                 "Content-Disposition: form-data; name=\"oid\"\r\n\r\n"
                                 "obj-9\r\n"
                                 "--B-1\r\n"
                                 "Content-Disposition: form-data; name=\"file\"; filename=\"a%22b%0Dc%0Ad.wav\"\r\n"
                                 "Content-Type: application/octet-stream\r\n\r\n"));
    EXPECT_EQ(suffix, QByteArray("\r\n--B-1--\r\n"));
}

// A small file is read, hashed and sent from memory: it needs no staged copy, so a staging
// folder that cannot be made stops a large file but never a small one.
TEST_F(UploadPipeline, ASmallFileGoesFromMemoryWithoutAStagedCopy)
{
    const QString staging = LibraryAPIClient::stagingFolder();
    QDir(staging).removeRecursively();
    QDir().mkpath(QFileInfo(staging).path());
    quillmere::test::writeFile(staging, "a file where the folder would be");

    for (const bool presigned : {false, true}) {
        SCOPED_TRACE(presigned ? "presigned PUT" : "form upload");
        fake.setPresignedUploads(presigned, false);
        const QByteArray small(LibraryAPIClient::inMemoryUploadLimit - 1, presigned ? 'p' : 'f');
        const auto sent = upload(writeFile(presigned ? QStringLiteral("small-put.wav") : QStringLiteral("small-form.wav"),
                                           small));
        EXPECT_FALSE(sent.wasDeduplicated);
        EXPECT_EQ(sent.contentSHA256, sha256(small));
        EXPECT_TRUE(fake.uploadedObject(lastBody(kConfirm).value(QStringLiteral("oid")).toString()) == small);
    }
    fake.clearRequestLog();
    const QByteArray large(LibraryAPIClient::inMemoryUploadLimit, 'L');
    EXPECT_ANY_THROW(upload(writeFile(QStringLiteral("large.wav"), large)));
    EXPECT_TRUE(fake.requestsTo("POST", kConfirm).empty());
    QFile::remove(staging);
}

// The caller's checksum saves a second read only while the file keeps the stamp it was taken
// at: a file replaced since (same size, another inode and time) is hashed again.
TEST_F(UploadPipeline, AKnownChecksumIsTakenOnlyForTheVersionItWasTakenOf)
{
    fake.setPresignedUploads(true, false);
    const QByteArray first(LibraryAPIClient::inMemoryUploadLimit + 10, 'a');
    const QString path = writeFile(QStringLiteral("big.wav"), first);
    const auto stamp = quillmere::regularFileStamp(path);
    ASSERT_TRUE(stamp);

    // Taken as given while the stamp holds: the service is asked about it without a read, and
    // the staged copy, which hashes what it sends, refuses bytes that do not match it.
    auto trusted = request(path);
    trusted.knownChecksum = quillmere::StampedChecksum{sha256("not these bytes"), *stamp};
    EXPECT_TRUE(failureOf<LibraryAPIClient::ContentChangedError>([&] { await(client->uploadFile(trusted)); }));
    EXPECT_EQ(lastBody(kCheckHash).value(QStringLiteral("content_sha256")).toString(), sha256("not these bytes"));
    EXPECT_TRUE(fake.requestsTo("POST", kConfirm).empty());

    // Replaced by a rename with content of the same size: the stale checksum is not used.
    const QByteArray second(first.size(), 'b');
    const QString replacement = writeFile(QStringLiteral("big.wav.tmp"), second);
    ASSERT_TRUE(std::rename(QFile::encodeName(replacement).constData(), QFile::encodeName(path).constData()) == 0);
    auto stale = request(path);
    stale.knownChecksum = quillmere::StampedChecksum{sha256(first), *stamp};
    const auto sent = await(client->uploadFile(stale));
    EXPECT_EQ(sent.contentSHA256, sha256(second));
    EXPECT_EQ(lastBody(kCheckHash).value(QStringLiteral("content_sha256")).toString(), sha256(second));
    EXPECT_TRUE(fake.uploadedObject(lastBody(kConfirm).value(QStringLiteral("oid")).toString()) == second);
}

// A small file goes from the worker that reads it through every step at once; a reply there
// that asks for another sending (the account moved to another shard, the token refused) is
// answered as any request's would be, and the upload goes on from it, each step done once.
TEST_F(UploadPipeline, AMovedShardOrARefusedTokenMidUploadIsAnsweredAndTheUploadGoesOn)
{
    fake.setPresignedUploads(true, false);
    quillmere::test::FakeFault refused;
    refused.kind = quillmere::test::FakeFault::Kind::answer;
    refused.path = kConfirm;
    refused.status = 401;
    refused.body = R"({"error":"token_expired"})";
    fake.addFault(refused);
    const QByteArray renewed = "confirmed with a renewed token";
    const auto first = upload(writeFile(QStringLiteral("token.wav"), renewed));
    EXPECT_EQ(fake.file(first.fileId)->content, renewed);
    const auto confirms = fake.requestsTo("POST", kConfirm);
    ASSERT_EQ(confirms.size(), 2u);
    EXPECT_EQ(confirms[0].status, 401);
    EXPECT_EQ(confirms[1].status, 201);
    EXPECT_NE(confirms[0].header("Authorization"), confirms[1].header("Authorization"));
    EXPECT_EQ(fake.requestsTo("POST", kCheckHash).size(), 1u);

    fake.clearRequestLog();
    quillmere::APIConfig::setHomeShardID(QStringLiteral("shard-a"));
    fake.moveAccount(account, QStringLiteral("shard-b"));
    const QByteArray moved = "checked again on the new shard";
    const auto second = upload(writeFile(QStringLiteral("shard.wav"), moved));
    EXPECT_EQ(fake.file(second.fileId)->content, moved);
    EXPECT_EQ(quillmere::APIConfig::homeShardID(), QStringLiteral("shard-b"));
    const auto checks = fake.requestsTo("POST", kCheckHash);
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[0].status, 421);
    EXPECT_EQ(checks[1].header("X-Shard-Id"), "shard-b");
    const auto confirmed = fake.requestsTo("POST", kConfirm);
    ASSERT_EQ(confirmed.size(), 1u);
    EXPECT_EQ(confirmed[0].header("X-Shard-Id"), "shard-b");
    EXPECT_EQ(fake.fileCount(account), 2u);
}
