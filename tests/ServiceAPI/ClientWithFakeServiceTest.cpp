// The library client and its transport against the fake service on loopback, with the real
// network stack and the fake's own token and shard state.

#include "Accounts/KeychainHelper.h"
#include "Accounts/KeychainVault.h"
#include "support/TemporaryConfigHome.h"
#include "Accounts/TokenManager.h"
#include "Accounts/APIConfig.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Http/LocalFileError.h"
#include "Platform/Http/StreamingUpload.h"
#include "Platform/Http/TransportError.h"
#include "Platform/Notifications/NotificationCenter.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "Platform/Async/Clock.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/HarborlyAPIError.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "fake-service/FakeHarborly.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <deque>
#include <sys/resource.h>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::await;
using quillmere::test::failureOf;
using quillmere::test::FakeHarborly;
using quillmere::test::FakeLibraryFile;
using Code = HarborlyAPIError::Code;

namespace {

const std::string storagePath = "/api/v1/storage";
const std::string refreshPath = "/api/v1/auth/refresh";

class ClientWithFakeService : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fake.start();
        account = fake.addAccount();
        firstToken = fake.issueToken(account);
        const QUrl base = fake.baseURL();
        tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [base] { return base; });
        store(firstToken, QDateTime::currentDateTimeUtc().addDays(30));
        client = std::make_unique<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens, Clock::system()));
        NotificationCenter::defaultCenter().observe(NotificationName::quillmereAuthRevoked(), &observerContext,
                                                    [this] { ++revokedPosts; }, NotificationCenter::Delivery::direct);
    }

    void store(const QString &token, const QDateTime &expiresAt) { await(tokens->saveToken(token, expiresAt)); }

    std::optional<HarborlyAPIError> storageFailure()
    {
        return failureOf<HarborlyAPIError>(client->fetchStorage());
    }

    // Runs this many storage fetches at once on the one client; the number that failed.
    int failuresOfConcurrentCalls(int calls)
    {
        std::deque<std::optional<LibraryAPIClient::StorageSummary>> results(calls);
        std::deque<std::exception_ptr> errors(calls);
        std::deque<bool> done(calls, false);
        for (int i = 0; i < calls; ++i)
            test::detail::capture(client->fetchStorage(), results[i], errors[i], done[i]);
        EXPECT_TRUE(test::runUntil([&] { return std::ranges::all_of(done, [](bool d) { return d; }); }));
        return int(std::ranges::count_if(errors, [](const std::exception_ptr &e) { return bool(e); }));
    }

    test::TemporaryConfigHome configHome;
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    FakeHarborly fake;
    qint64 account = 0;
    QString firstToken;
    std::shared_ptr<TokenManager> tokens;
    std::unique_ptr<LibraryAPIClient> client;
    QObject observerContext;
    int revokedPosts = 0;
};

TEST_F(ClientWithFakeService, ConcurrentRenewalsOfOneClientNeverRetireEachOther)
{
    // A renewal retires the token it was given, so two renewals of one token cannot both win.
    fake.setRotateTokensOnRefresh(true);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        const QString current = await(tokens->loadToken())->token;
        if (round % 2 == 0)
            fake.expireToken(current); // every call is answered 401
        else
            store(current, QDateTime::currentDateTimeUtc().addSecs(600)); // every call renews first
        fake.clearRequestLog();
        EXPECT_EQ(failuresOfConcurrentCalls(8 + (round % 5) * 2), 0);
        EXPECT_EQ(fake.requestsTo("POST", refreshPath).size(), 1u);
    }
    EXPECT_EQ(revokedPosts, 0);
}

// The renewal's answer is lost on the way (the transient statuses are the scripted tests').
TEST_F(ClientWithFakeService, ALostRenewalAnswerKeepsTheAccountLinked)
{
    fake.answerNext(storagePath, 401);
    fake.dropNext(refreshPath, -1);
    const auto lost = storageFailure();
    fake.clearFaults();
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->code(), Code::networkError);
    EXPECT_FALSE(lost->isCancellation());

    EXPECT_EQ(revokedPosts, 0);
    const auto kept = await(tokens->loadToken());
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->token, firstToken);
    EXPECT_NO_THROW(await(client->fetchStorage()));
}

// Long PUTs hold every worker the transfers have (the fake keeps them all waiting for their
// answer); a token renewal and the change feed still go at once, answered while every PUT is
// still held.
TEST_F(ClientWithFakeService, ShortRequestsDoNotQueueBehindLongPuts)
{
    QTemporaryDir dir;
    const QString body = dir.filePath(QStringLiteral("part.bin"));
    {
        QFile file(body);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(64 * 1024, 'p'));
    }
    // A few workers are enough to fill the transfers' pool, and keep the machine's load (and
    // the fake's accept queue) small; the pool gets its own size back afterwards.
    QThreadPool &transfers = HttpClient::transferPool();
    const int ownSize = transfers.maxThreadCount();
    const int workers = 4;
    transfers.setMaxThreadCount(workers);
    const auto ownSizeBack = qScopeGuard([&] { transfers.setMaxThreadCount(ownSize); });
    fake.delayNext("/storage/objects/*", 60s, workers);
    HttpHeaders headers;
    headers.set("Content-Type", "application/octet-stream");
    std::stop_source endPuts;
    const auto count = std::size_t(workers);
    std::deque<std::optional<HttpResponse>> puts(count);
    std::deque<std::exception_ptr> putErrors(count);
    std::deque<bool> putsDone(count, false);
    // Whatever fails below, no PUT outlives what it writes into.
    const auto settled = qScopeGuard([&] {
        endPuts.request_stop();
        test::runUntil([&] { return std::ranges::all_of(putsDone, [](bool d) { return d; }); }, 30s);
    });
    for (std::size_t i = 0; i < count; ++i) {
        const QUrl target(fake.presignedPutURL(account, QStringLiteral("%1").arg(i, 64, 10, QChar(u'0'))));
        test::detail::capture(StreamingUpload::put(target, headers, body, 0, 64 * 1024, endPuts.get_token()), puts[i],
                              putErrors[i], putsDone[i]);
    }
    int held = 0;
    ASSERT_TRUE(test::runUntil([&] {
        held = std::max(held, fake.takeMostDelayedAtOnce());
        return held == workers;
    }, 30s)) << held << " of " << workers << " PUTs reached the fake; ended: "
        << std::ranges::count(putsDone, true) << ", failed: "
        << std::ranges::count_if(putErrors, [](const std::exception_ptr &e) { return bool(e); });

    // The stored token is close to its end: the feed request renews it first.
    store(firstToken, QDateTime::currentDateTimeUtc().addSecs(600));
    fake.clearRequestLog();
    std::optional<FileSyncAPI::ChangeFeed> feed;
    std::exception_ptr feedError;
    bool feedDone = false;
    QElapsedTimer timer;
    timer.start();
    test::detail::capture(client->fetchChanges(QString()), feed, feedError, feedDone);
    const bool answered = test::runUntil([&] { return feedDone; }, 10s);
    const qint64 took = timer.elapsed();
    const bool putsStillHeld = std::ranges::none_of(putsDone, [](bool done) { return done; });

    endPuts.request_stop();
    EXPECT_TRUE(test::runUntil([&] { return feedDone && std::ranges::all_of(putsDone, [](bool d) { return d; }); },
                               30s));
    ASSERT_TRUE(answered) << "the feed waited behind the PUTs";
    EXPECT_FALSE(feedError);
    EXPECT_TRUE(putsStillHeld);
    EXPECT_LT(took, 5000);
    EXPECT_EQ(fake.requestsTo("POST", refreshPath).size(), 1u);
    EXPECT_EQ(fake.requestsTo("GET", "/api/v1/files/library/changes").size(), 1u);
}

class DownloadWithFakeService : public ClientWithFakeService
{
protected:
    void SetUp() override
    {
        ClientWithFakeService::SetUp();
        FakeLibraryFile file;
        file.accountId = account;
        file.filename = QStringLiteral("take.wav");
        for (int i = 0; i < 3 * 1024 * 1024; ++i)
            content.append(char(i * 7 + i / 4096));
        file.content = content;
        fileID = fake.addFile(file);
        filePath = "/api/v1/files/library/" + std::to_string(fileID);
        destination = folder.filePath(QStringLiteral("take.wav"));
        QFile old(destination);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old take");
    }

    QByteArray destinationBytes() const
    {
        QFile file(destination);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    QStringList folderEntries() const
    {
        return QDir(folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir folder;
    QByteArray content;
    qint64 fileID = 0;
    std::string filePath;
    QString destination;
};

// Files this process writes may grow to `bytes` only, for the object's life; a write beyond
// fails with EFBIG (a full disk, as far as the download can tell).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_previous);
        rlimit limited = m_previous;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_previous);
        std::signal(SIGXFSZ, m_previousHandler);
    }

private:
    rlimit m_previous{};
    void (*m_previousHandler)(int) = nullptr;
};

// Whatever ends a download early (a refusal, a cut body, a full disk, a mismatch, a stop, a
// destination that is no file) leaves the existing file as it was and nothing beside it.
TEST_F(DownloadWithFakeService, ADownloadThatEndsEarlyLeavesTheExistingFile)
{
    const auto expectUntouched = [&] {
        EXPECT_EQ(destinationBytes(), QByteArray("old take"));
        EXPECT_EQ(folderEntries(), QStringList{QStringLiteral("take.wav")});
    };
    fake.answerNext(filePath, 404, "{}");
    if (const auto error = failureOf<HarborlyAPIError>(client->downloadFile(fileID, destination))) {
        EXPECT_EQ(error->statusCode(), 404);
        EXPECT_EQ(error->message(), QStringLiteral("Download failed"));
    }
    expectUntouched();

    // Unauthorised is not renewed and resent: the download's caller decides.
    fake.clearRequestLog();
    fake.answerNext(filePath, 401, "{}");
    const auto unauthorised = failureOf<HarborlyAPIError>(client->downloadFile(fileID, destination));
    ASSERT_TRUE(unauthorised);
    EXPECT_EQ(unauthorised->statusCode(), 401);
    EXPECT_EQ(fake.requestsTo("GET", filePath).size(), 1u);
    EXPECT_TRUE(fake.requestsTo("POST", refreshPath).empty());
    expectUntouched();

    fake.cutBodyNext(filePath, 1024 * 1024);
    EXPECT_EQ(test::transportFailure(client->downloadFile(fileID, destination)), TransportError::Code::connectionLost);
    expectUntouched();
    {
        FileSizeLimit limit(1024 * 1024);
        EXPECT_THROW(await(client->downloadFile(fileID, destination)), LocalFileError);
    }
    expectUntouched();

    const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    EXPECT_EQ(test::transportFailure(client->downloadFile(fileID, destination, content.size() - 1, std::nullopt)),
              TransportError::Code::contentMismatch);
    expectUntouched();
    const QString otherSum = QString(sha256).replace(0, 1, sha256.startsWith(u'a') ? u'b' : u'a');
    EXPECT_EQ(test::transportFailure(client->downloadFile(fileID, destination, std::nullopt, otherSum)),
              TransportError::Code::contentMismatch);
    expectUntouched();

    fake.trickleNext(filePath, 64 * 1024, 200ms);
    std::stop_source stop;
    QTimer::singleShot(300ms, [&stop] { stop.request_stop(); });
    if (const auto error = failureOf<TransportError>(client->downloadFile(fileID, destination, std::nullopt, std::nullopt, std::nullopt, stop.get_token()))) {
        EXPECT_TRUE(error->isCancellation());
        EXPECT_TRUE(HarborlyAPI::asAPIError(std::make_exception_ptr(*error)).isCancellation());
    }
    expectUntouched();

    ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("Stems")));
    EXPECT_THROW(await(client->downloadFile(fileID, folder.filePath(QStringLiteral("Stems")))), LocalFileError);
    EXPECT_TRUE(QFileInfo(folder.filePath(QStringLiteral("Stems"))).isDir());
    EXPECT_THROW(await(client->downloadFile(fileID, folder.path() + QStringLiteral("/.."))), LocalFileError);
    EXPECT_EQ(destinationBytes(), QByteArray("old take"));
    EXPECT_EQ(revokedPosts, 0);

    // Found empty by the caller, yet a file is there at the rename: it stays.
    EXPECT_THROW(await(client->downloadFile(fileID, destination, content.size(), sha256, JudgedDestination{})),
                 DestinationChangedError);
    expectUntouched();

    await(client->downloadFile(fileID, destination, content.size(), sha256));
    EXPECT_TRUE(destinationBytes() == content);
}

TEST_F(DownloadWithFakeService, ARedirectToAnotherHostCarriesNoTokenOrShard)
{
    APIConfig::setHomeShardID(QStringLiteral("shard-a"));
    FakeHarborly storage;
    storage.start();
    storage.answerNext("/presigned/take.wav", 200, "stored elsewhere");
    const QString target = QStringLiteral("http://localhost:%1/presigned/take.wav").arg(storage.port());
    test::FakeFault redirect;
    redirect.path = filePath;
    redirect.status = 302;
    redirect.headers = {{"Location", target.toStdString()}};
    fake.addFault(redirect);

    await(client->downloadFile(fileID, destination));
    EXPECT_EQ(destinationBytes(), QByteArray("stored elsewhere"));
    const auto first = fake.requestsTo("GET", filePath);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(first[0].header("Authorization").has_value());
    const auto redirected = storage.requestsTo("GET", "/presigned/take.wav");
    ASSERT_EQ(redirected.size(), 1u);
    EXPECT_FALSE(redirected[0].header("Authorization").has_value());
    EXPECT_FALSE(redirected[0].header("X-Shard-Id").has_value());
}

} // namespace
