// The application killed (SIGKILL) at random moments of a sync and started again: nothing is
// lost, nothing reaches the service twice, no record stays "syncing".

#include "Accounts/KeychainVault.h"
#include "Accounts/LinkedAccount.h"
#include "Accounts/TokenData.h"
#include "Accounts/TokenManager.h"
#include "App/ProgramEnvironment.h"
#include "App/QuillmereApp.h"
#include "Model/ModelContainer.h"
#include "Model/ModelContainerFactory.h"
#include "Model/EnumStrings.h"
#include "Model/ModelContext.h"
#include "Model/MultipartUploadState.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Files/FolderBookmark.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDateTime>

#include <chrono>
#include <csignal>
#include <map>
#include <random>

#include <sqlite3.h>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::FakeMultipartUpload;
using quillmere::test::ProgramEnvironment;
using quillmere::test::runUntil;

namespace {

constexpr int fileCount = 1000;

// What another run of the application left: a linked account, its token and one folder with
// its bookmark, for the instance at `environment`.
QString prepare(ProgramEnvironment &environment, qint64 account, const QString &root,
                const QDateTime &tokenExpiry = QDateTime::currentDateTimeUtc().addDays(30))
{
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", environment.path("config").toUtf8());
    LinkedAccount::setID(account);
    qputenv("XDG_CONFIG_HOME", config);

    auto folder = std::make_shared<SyncFolder>(QStringLiteral("Sessions"), SyncFolderType::projectsFolder, root,
                                               QStringList(), SyncFolderSyncMode::bidirectional, true, 0, true,
                                               std::nullopt, true, std::vector<std::shared_ptr<DAWConfiguration>>());
    QDir().mkpath(QFileInfo(environment.storePath()).path());
    {
        ModelContext context(ModelContainerFactory::makeContainer(environment.storePath()));
        context.insert(folder);
        context.save();
    }
    const QString token = environment.fake().issueToken(account, tokenExpiry);
    const QString secrets = environment.path("secrets");
    QFile file(secrets);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(KeychainVault::encode(
        {{KeychainVault::bearerTokenKey(), TokenData{token, tokenExpiry}.encoded()},
         {KeychainVault::folderBookmarkKey(folder->stableID()), FolderBookmark::make(root)}}));
    return secrets;
}

// SIGTERM: the instance ends cleanly within the quit bound, measured here from the signal to the
// end of the process, and waited for at most `ceiling`.
void expectQuitWithinBound(QProcess &instance, std::chrono::seconds ceiling)
{
    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(ProgramEnvironment::signal(instance, SIGTERM)) << "the instance ended by itself";
    ASSERT_TRUE(ProgramEnvironment::finished(instance, ceiling));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled);
    EXPECT_LT(took, QuillmereApp::quitTimeout) << "from the signal to the end of the process: " << took.count() << " ms";
    EXPECT_EQ(instance.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(instance.exitCode(), 0);
}

// A quit (SIGTERM) while a lane's upload is on the wire and work runs on a pool: the whole quit,
// from the signal to the end of the process, stays within the bound, however long either takes.
TEST(KillTest, AQuitMidTransferEndsTheProcessWithinTheBoundFromTheSignal)
{
    ProgramEnvironment environment;
    auto &fake = environment.fake();
    const qint64 account = fake.addAccount();
    const QString root = environment.path("Sessions");
    ASSERT_TRUE(QDir().mkpath(root));
    for (int i = 0; i < 4; ++i) {
        QFile file(root + QStringLiteral("/mix-%1.wav").arg(i));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("RIFF mix " + QByteArray::number(i) + QByteArray(4096, char('a' + i)));
    }
    const QString secrets = prepare(environment, account, root);
    // Every upload's bytes hang far longer than the quit may take.
    fake.delayNext("/storage/objects/*", 20s, -1);
    fake.delayNext("/api/v1/files/upload-blob", 20s, -1);
    // Presigned: the bytes go from a worker of the transfer pool.
    fake.setPresignedUploads(true, true);
    fake.takeMostDelayedAtOnce();
    // And work on a pool outlasts the quit by far.
    auto instance = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE),
                                      {QStringLiteral("--secrets"), secrets, QStringLiteral("--pool-work-on-quit"),
                                       QStringLiteral("6000")},
                                      true);
    ASSERT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }, 60s)) << "an upload is on the wire";
    quillmere::test::runFor(300ms);

    expectQuitWithinBound(*instance, 10s);
}

// A quit signalled while the main thread is busy (a long save, say) and whose teardown would
// outlast the bound: the bound counts from the signal's arrival, not from when the loop got to
// it, so the process still ends within it as seen from here.
TEST(KillTest, AQuitSignalledWhileTheMainThreadIsBusyEndsWithinTheBoundFromTheSignal)
{
    ProgramEnvironment environment;
    auto instance = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE),
                                      {QStringLiteral("--stall-on-usr1"), QStringLiteral("1000"),
                                       QStringLiteral("--slow-teardown"), QStringLiteral("6000")},
                                      true);
    ASSERT_TRUE(runUntil([&] { return QFileInfo::exists(environment.endpoint()); }, 30s)) << "the instance runs";
    ASSERT_TRUE(runUntil([&] { return QFileInfo::exists(environment.storePath()); }, 30s));
    ASSERT_TRUE(ProgramEnvironment::signal(*instance, SIGUSR1));
    // Well inside the stall: the loop reads the quit's signal some 800 ms after it arrived.
    quillmere::test::runFor(200ms);

    expectQuitWithinBound(*instance, 10s);
}

// A quit signalled while the main thread is stalled for longer than the whole bound: nothing
// waits for the loop to read the signal, so the process ends within the bound of the signal all
// the same, and the store it leaves opens.
TEST(KillTest, AQuitSignalledWhileTheMainThreadIsStalledPastTheBoundEndsWithinItAllTheSame)
{
    ProgramEnvironment environment;
    auto instance = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE),
                                      {QStringLiteral("--stall-on-usr1"), QStringLiteral("4000")}, true);
    ASSERT_TRUE(runUntil([&] { return QFileInfo::exists(environment.endpoint()); }, 30s)) << "the instance runs";
    ASSERT_TRUE(runUntil([&] { return QFileInfo::exists(environment.storePath()); }, 30s));
    ASSERT_TRUE(ProgramEnvironment::signal(*instance, SIGUSR1));
    quillmere::test::runFor(200ms);

    expectQuitWithinBound(*instance, 10s);
    EXPECT_NO_THROW(ModelContainerFactory::makeContainer(environment.storePath()));
}

// The entries of the vault item an instance run with --keep-secrets left in `secrets`.
KeychainVault::Dictionary keptSecrets(const QString &secrets)
{
    QFile file(secrets);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return KeychainVault::decode(file.readAll()).value_or(KeychainVault::Dictionary());
}

// How many records of the store a running instance has not settled as synced yet, read over a
// connection of its own that writes nothing; -1 when the store cannot be read.
int unsettledRecords(const QString &storePath)
{
    sqlite3 *db = nullptr;
    int count = -1;
    if (sqlite3_open_v2(storePath.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 1000);
        const QByteArray synced = rawValue(SyncFileStatus::synced).toUtf8();
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM SyncFile WHERE syncStatus <> ?1", -1, &statement, nullptr)
            == SQLITE_OK) {
            sqlite3_bind_text(statement, 1, synced.constData(), int(synced.size()), SQLITE_TRANSIENT);
            if (sqlite3_step(statement) == SQLITE_ROW)
                count = sqlite3_column_int(statement, 0);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return count;
}

std::optional<QString> keptToken(const QString &secrets)
{
    const KeychainVault::Dictionary entries = keptSecrets(secrets);
    const auto entry = entries.find(KeychainVault::bearerTokenKey());
    const std::optional<TokenData> token = entry != entries.end() ? TokenData::decode(entry->second) : std::nullopt;
    return token ? std::optional(token->token) : std::nullopt;
}

// Quits (SIGTERM) an instance while the token's renewal is at a service that retires a token when
// it renews it and answers after the quit's bound; the service then carries the renewal out. The
// token sent, which the quit kept with its mark.
std::optional<QString> quitWhileTheRenewalIsAtTheService(ProgramEnvironment &environment, const QString &secrets,
                                                         const QStringList &arguments)
{
    auto &fake = environment.fake();
    const std::optional<QString> sent = keptToken(secrets);
    EXPECT_TRUE(sent);
    if (!sent)
        return std::nullopt;
    fake.setRotateTokensOnRefresh(true);
    fake.delayNext("/api/v1/auth/refresh", 4s);
    fake.takeMostDelayedAtOnce();

    auto quitting = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE), arguments, true);
    EXPECT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }, 30s)) << "the renewal is at the service";
    const auto signalled = std::chrono::steady_clock::now();
    EXPECT_TRUE(ProgramEnvironment::signal(*quitting, SIGTERM)) << "the instance ended by itself";
    EXPECT_TRUE(ProgramEnvironment::finished(*quitting, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, QuillmereApp::quitTimeout);
    EXPECT_EQ(quitting->exitCode(), 0);
    EXPECT_EQ(keptToken(secrets), sent) << "the quit ended before the answer";
    const KeychainVault::Dictionary left = keptSecrets(secrets);
    const auto mark = left.find(TokenManager::renewalMarkKey(KeychainVault::bearerTokenKey()));
    EXPECT_NE(mark, left.end()) << "the renewal under way is known to the next start";
    if (mark != left.end()) {
        EXPECT_EQ(mark->second, TokenManager::renewalMarkFor(*sent)) << "named by its digest, never the token";
    }
    // The service has the request and retires the token sent, answer or not.
    fake.revokeToken(*sent);
    fake.clearFaults();
    return sent;
}

// The next start, whose renewal of the retired token is refused, ends signed out with the folder
// and the linked account kept for the next sign-in.
void expectSignedOutWithTheRecordsKept(ProgramEnvironment &environment, const QString &secrets,
                                       const QStringList &arguments, qint64 account)
{
    auto next = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE), arguments, true);
    ASSERT_TRUE(runUntil([&] { return !keptToken(secrets); }, 30s)) << "the refused token is signed out";
    quillmere::test::runFor(500ms);
    ASSERT_TRUE(ProgramEnvironment::signal(*next, SIGTERM)) << "the instance ended by itself";
    ASSERT_TRUE(ProgramEnvironment::finished(*next));
    EXPECT_EQ(next->exitCode(), 0);

    ModelContext context(ModelContainerFactory::makeContainer(environment.storePath()));
    EXPECT_EQ(context.fetch(FetchDescriptor<SyncFolder>()).size(), 1u) << "the folder stays for the next sign-in";
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", environment.path("config").toUtf8());
    const std::optional<qint64> linked = LinkedAccount::id();
    qputenv("XDG_CONFIG_HOME", config);
    EXPECT_EQ(linked, account) << "a sign-in to the same account keeps the records";
}

// A quit while the token's renewal is at a service that retires a token when it renews it and
// answers after the quit's bound: the process ends without the answer, and the next start's
// renewal of the retired token is refused. That refusal is no revocation: the sign-in is asked
// for again and this computer's sync records stay for it.
TEST(KillTest, ARenewalCutOffByTheQuitEndsInASignInRequestWithTheRecordsKept)
{
    ProgramEnvironment environment;
    const qint64 account = environment.fake().addAccount();
    const QString root = environment.path("Sessions");
    ASSERT_TRUE(QDir().mkpath(root));
    // In its last hour: the first request to the service renews it first.
    const QString secrets = prepare(environment, account, root, QDateTime::currentDateTimeUtc().addSecs(1800));
    const QStringList arguments{QStringLiteral("--secrets"), secrets, QStringLiteral("--keep-secrets")};
    ASSERT_TRUE(quitWhileTheRenewalIsAtTheService(environment, secrets, arguments));
    expectSignedOutWithTheRecordsKept(environment, secrets, arguments, account);
}

// The next start's first renewal of that token is answered by a gateway in front of the service
// (a 502 or a 504, which a gateway also gives after it forwarded the request), and the service
// refuses the retired token afterwards. The gateway's answer said nothing of the token: the mark
// stays, and the refusal is still no revocation.
TEST(KillTest, AGatewaysAnswerAfterACutOffRenewalStillEndsInASignInRequestWithTheRecordsKept)
{
    for (const int status : {502, 504}) {
        SCOPED_TRACE(status);
        ProgramEnvironment environment;
        const qint64 account = environment.fake().addAccount();
        const QString root = environment.path("Sessions");
        ASSERT_TRUE(QDir().mkpath(root));
        const QString secrets = prepare(environment, account, root, QDateTime::currentDateTimeUtc().addSecs(1800));
        const QStringList arguments{QStringLiteral("--secrets"), secrets, QStringLiteral("--keep-secrets")};
        ASSERT_TRUE(quitWhileTheRenewalIsAtTheService(environment, secrets, arguments));
        environment.fake().answerNext("/api/v1/auth/refresh", status, "{}");
        expectSignedOutWithTheRecordsKept(environment, secrets, arguments, account);
        std::vector<int> answered;
        for (const auto &request : environment.fake().requestsTo("POST", "/api/v1/auth/refresh"))
            answered.push_back(request.status);
        EXPECT_THAT(answered, ::testing::Contains(status)) << "the gateway answered a renewal";
        EXPECT_THAT(answered, ::testing::Contains(401)) << "the service refused the retired token";
    }
}

// A quit while the token's renewal is at the service, answered just inside the bound: the quit
// lets the renewal end and store its answer, and what the process does after that (here the
// application object slow to go, as a desktop's tray host can be) still ends within the bound,
// measured from the signal to the end of the process.
TEST(KillTest, AQuitThatLetARenewalEndEndsTheWholeProcessWithinTheBound)
{
    ProgramEnvironment environment;
    auto &fake = environment.fake();
    const qint64 account = fake.addAccount();
    const QString root = environment.path("Sessions");
    ASSERT_TRUE(QDir().mkpath(root));
    const QString secrets = prepare(environment, account, root, QDateTime::currentDateTimeUtc().addSecs(1800));
    const std::optional<QString> sent = keptToken(secrets);
    ASSERT_TRUE(sent);
    fake.setRotateTokensOnRefresh(true);
    fake.delayNext("/api/v1/auth/refresh", 2000ms);
    fake.takeMostDelayedAtOnce();
    auto instance = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE),
                                      {QStringLiteral("--secrets"), secrets, QStringLiteral("--keep-secrets"),
                                       QStringLiteral("--slow-teardown"), QStringLiteral("2000")},
                                      true);
    ASSERT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }, 30s)) << "the renewal is at the service";

    expectQuitWithinBound(*instance, 10s);
    const std::optional<QString> kept = keptToken(secrets);
    ASSERT_TRUE(kept);
    EXPECT_NE(kept, sent) << "the renewal's answer, stored before the end";
    EXPECT_EQ(keptSecrets(secrets).count(TokenManager::renewalMarkKey(KeychainVault::bearerTokenKey())), 0u);
}

// A genuine revocation at the next start still wipes: only the token whose renewal was cut off
// is spared.
TEST(KillTest, ARevokedTokenWithoutARenewalUnderWayStillWipesAtTheNextStart)
{
    ProgramEnvironment environment;
    auto &fake = environment.fake();
    const qint64 account = fake.addAccount();
    const QString root = environment.path("Sessions");
    ASSERT_TRUE(QDir().mkpath(root));
    const QString secrets = prepare(environment, account, root, QDateTime::currentDateTimeUtc().addSecs(1800));
    const std::optional<QString> token = keptToken(secrets);
    ASSERT_TRUE(token);
    fake.revokeToken(*token);

    auto instance = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE),
                                      {QStringLiteral("--secrets"), secrets, QStringLiteral("--keep-secrets")}, true);
    ASSERT_TRUE(runUntil([&] { return !keptToken(secrets); }, 30s)) << "the revoked token is signed out";
    // The wipe lets go of the folder's bookmark in the vault once it has removed the records:
    // the quit comes after that, however slowly the machine got there.
    const auto bookmarkKept = [&] {
        const KeychainVault::Dictionary entries = keptSecrets(secrets);
        return std::any_of(entries.begin(), entries.end(), [](const auto &entry) {
            return entry.first.startsWith(KeychainVault::folderBookmarkKey() + QLatin1Char('-'));
        });
    };
    ASSERT_TRUE(runUntil([&] { return !bookmarkKept(); }, 30s)) << "the folder's bookmark is let go";
    ASSERT_TRUE(ProgramEnvironment::signal(*instance, SIGTERM)) << "the instance ended by itself";
    ASSERT_TRUE(ProgramEnvironment::finished(*instance));
    ModelContext context(ModelContainerFactory::makeContainer(environment.storePath()));
    EXPECT_TRUE(context.fetch(FetchDescriptor<SyncFolder>()).empty()) << "a revocation wipes the records";
}

TEST(KillTest, KilledTenTimesMidSyncEveryFileReachesTheServiceOnceAndNoRecordStaysSyncing)
{
    ProgramEnvironment environment;
    auto &fake = environment.fake();
    const qint64 account = fake.addAccount();
    const QString root = environment.path("Sessions");
    ASSERT_TRUE(QDir().mkpath(root));
    for (int i = 0; i < fileCount; ++i) {
        QFile file(root + QStringLiteral("/take-%1.wav").arg(i, 4, 10, QLatin1Char('0')));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("RIFF take " + QByteArray::number(i) + QByteArray(200, char('a' + i % 26)));
    }
    const QString secrets = prepare(environment, account, root);
    const QStringList arguments{QStringLiteral("--secrets"), secrets};
    auto uploadedNames = [&] {
        std::map<QString, int> names;
        for (const auto &file : fake.files(account))
            ++names[file.filename];
        return names;
    };

    // Each confirmation takes a while, so the sync spans all the runs and every kill finds
    // uploads between their bytes and their confirmation.
    fake.delayNext("/api/v1/files/confirm-upload", 150ms, -1);
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> moment(0, 1500);
    auto confirmations = [&] { return fake.requestsTo("POST", "/api/v1/files/confirm-upload").size(); };
    for (int run = 0; run < 10; ++run) {
        const size_t before = confirmations();
        auto instance = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE), arguments, true);
        // At a random moment once this run's uploads are under way.
        ASSERT_TRUE(runUntil([&] { return confirmations() > before; }, 60s));
        quillmere::test::runFor(std::chrono::milliseconds(moment(random)));
        ASSERT_TRUE(ProgramEnvironment::signal(*instance, SIGKILL)) << "the instance ended by itself in run " << run;
        ASSERT_TRUE(ProgramEnvironment::finished(*instance));
    }
    const size_t beforeLastRun = uploadedNames().size();
    EXPECT_LT(beforeLastRun, size_t(fileCount)) << "the kills fell in the middle of the sync";
    EXPECT_GT(beforeLastRun, 0u);

    auto instance = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE), arguments, true);
    ASSERT_TRUE(runUntil([&] { return uploadedNames().size() == size_t(fileCount); }, 180s))
        << uploadedNames().size() << " files at the service (" << beforeLastRun << " before the last run)";
    // The last confirmations are saved a moment after the service has them (longer on a loaded
    // machine, where one may also wait out a retry): the quit comes once the store shows them.
    EXPECT_TRUE(runUntil([&] { return unsettledRecords(environment.storePath()) == 0; }, 60s));
    ASSERT_TRUE(ProgramEnvironment::signal(*instance, SIGTERM)) << "the instance ended by itself";
    ASSERT_TRUE(ProgramEnvironment::finished(*instance));
    EXPECT_EQ(instance->exitCode(), 0);

    for (const auto &[name, count] : uploadedNames())
        EXPECT_EQ(count, 1) << name.toStdString() << " reached the service more than once";
    ModelContext context(ModelContainerFactory::makeContainer(environment.storePath()));
    const auto records = context.fetch(FetchDescriptor<SyncFile>());
    EXPECT_EQ(records.size(), size_t(fileCount));
    int unsynced = 0;
    for (const auto &record : records) {
        EXPECT_NE(record->syncStatus(), SyncFileStatus::syncing) << record->localPath().toStdString();
        unsynced += record->syncStatus() != SyncFileStatus::synced;
    }
    EXPECT_EQ(unsynced, 0);
}

// Killed while the outcomes of confirmed uploads wait for their group's commit (the window is
// widened so that the kill surely falls inside it): those outcomes come back owed, and the next
// run settles them by the hash check without sending their bytes again. Every file reaches the
// service once and no record stays "syncing".
TEST(KillTest, KilledInsideTheCommitGroupWindowTheLostOutcomesAreSettledWithoutSendingBytesAgain)
{
    constexpr int count = 60;
    ProgramEnvironment environment;
    auto &fake = environment.fake();
    const qint64 account = fake.addAccount();
    const QString root = environment.path("Sessions");
    ASSERT_TRUE(QDir().mkpath(root));
    auto contentOf = [](int i) { return "RIFF grouped take " + QByteArray::number(i).rightJustified(4, '0') + " end"; };
    for (int i = 0; i < count; ++i) {
        QFile file(root + QStringLiteral("/grouped-%1.wav").arg(i, 4, 10, QLatin1Char('0')));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contentOf(i) + QByteArray(300, char('a' + i % 26)));
    }
    const QString secrets = prepare(environment, account, root);
    // Times each request that carried a file's bytes (a form upload or a presigned PUT).
    auto bytesSent = [&](int i) {
        const std::string content = contentOf(i).toStdString();
        int sent = 0;
        for (const auto &request : fake.requestLog())
            if ((request.path == "/api/v1/files/upload-blob" || request.path.rfind("/storage/", 0) == 0)
                && request.body.find(content) != std::string::npos)
                ++sent;
        return sent;
    };
    auto indexOf = [](const QString &name) { return name.mid(8, 4).toInt(); };

    // Slow confirmations keep the pass going for a while after the first ones are in.
    fake.delayNext("/api/v1/files/confirm-upload", 100ms, -1);
    auto killed = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE),
                                    {QStringLiteral("--secrets"), secrets, QStringLiteral("--commit-group-window"),
                                     QStringLiteral("600000")},
                                    true);
    ASSERT_TRUE(runUntil([&] { return fake.fileCount(account) >= 8; }, 60s));
    ASSERT_TRUE(ProgramEnvironment::signal(*killed, SIGKILL)) << "the instance ended by itself";
    ASSERT_TRUE(ProgramEnvironment::finished(*killed));
    fake.clearFaults();

    QList<int> confirmedBeforeKill;
    for (const auto &file : fake.files(account))
        confirmedBeforeKill.append(indexOf(file.filename));
    ASSERT_LT(confirmedBeforeKill.size(), count) << "killed before the pass ended";
    {
        ModelContext context(ModelContainerFactory::makeContainer(environment.storePath()));
        int storedSynced = 0;
        for (const auto &record : context.fetch(FetchDescriptor<SyncFile>()))
            storedSynced += record->syncStatus() == SyncFileStatus::synced;
        ASSERT_LT(storedSynced, confirmedBeforeKill.size()) << "confirmed outcomes were waiting for their commit";
    }

    auto instance = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE), {QStringLiteral("--secrets"), secrets},
                                      true);
    ASSERT_TRUE(runUntil([&] { return fake.fileCount(account) == size_t(count); }, 120s));
    // The last outcomes are committed a moment after the service has them.
    quillmere::test::runFor(2s);
    ASSERT_TRUE(ProgramEnvironment::signal(*instance, SIGTERM)) << "the instance ended by itself";
    ASSERT_TRUE(ProgramEnvironment::finished(*instance));
    EXPECT_EQ(instance->exitCode(), 0);

    std::map<QString, int> names;
    for (const auto &file : fake.files(account))
        ++names[file.filename];
    EXPECT_EQ(names.size(), size_t(count));
    for (const auto &[name, times] : names)
        EXPECT_EQ(times, 1) << name.toStdString() << " reached the service more than once";
    for (const int i : std::as_const(confirmedBeforeKill))
        EXPECT_EQ(bytesSent(i), 1) << "grouped-" << i << ".wav: its bytes went again";
    ModelContext context(ModelContainerFactory::makeContainer(environment.storePath()));
    const auto records = context.fetch(FetchDescriptor<SyncFile>());
    EXPECT_EQ(records.size(), size_t(count));
    for (const auto &record : records)
        EXPECT_EQ(record->syncStatus(), SyncFileStatus::synced) << record->localPath().toStdString();
}

TEST(KillTest, AMultipartUploadKilledWithPartsInFlightIsAbortedAtTheNextStart)
{
    ProgramEnvironment environment;
    auto &fake = environment.fake();
    const qint64 account = fake.addAccount();
    const QString root = environment.path("Sessions");
    ASSERT_TRUE(QDir().mkpath(root));
    // Two parts, and large enough to go in parts at the threshold the instance is given.
    constexpr qint64 partSize = 512 * 1024;
    QByteArray content = "RIFF bounce ";
    while (content.size() < 2 * partSize - 1000)
        content += QByteArray::number(content.size());
    {
        QFile file(root + QStringLiteral("/bounce.wav"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    fake.setMultipartPartSize(partSize);
    const QString secrets = prepare(environment, account, root);
    const QStringList arguments{QStringLiteral("--secrets"), secrets, QStringLiteral("--multipart-threshold"),
                                QString::number(partSize)};
    const QString staging =
        environment.path("cache") + u'/' + bundleIdentifier() + QStringLiteral("/staging");
    auto openUploads = [&] {
        int open = 0;
        for (const auto &upload : fake.multipartUploads())
            open += upload.state == FakeMultipartUpload::State::open;
        return open;
    };
    auto stagedCopies = [&] { return QDir(staging).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot); };

    // The storage holds both parts until the process is gone.
    fake.delayNext("/storage/uploads/*", 60s, 2);
    auto killed = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE), arguments, true);
    int inFlight = 0;
    ASSERT_TRUE(runUntil([&] { return (inFlight = std::max(inFlight, fake.takeMostDelayedAtOnce())) >= 2; }, 60s));
    ASSERT_TRUE(ProgramEnvironment::signal(*killed, SIGKILL));
    ASSERT_TRUE(ProgramEnvironment::finished(*killed));
    ASSERT_EQ(openUploads(), 1);
    ASSERT_EQ(stagedCopies().size(), 1);

    auto instance = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE), arguments, true);
    // The activation's clean-up comes before the full sync sends the file again.
    ASSERT_TRUE(runUntil([&] { return fake.fileCount(account) == 1; }, 60s));
    // The completion is saved a moment after the service has it.
    quillmere::test::runFor(1s);
    ASSERT_TRUE(ProgramEnvironment::signal(*instance, SIGTERM)) << "the instance ended by itself";
    ASSERT_TRUE(ProgramEnvironment::finished(*instance));

    EXPECT_EQ(openUploads(), 0);
    const auto uploads = fake.multipartUploads();
    ASSERT_EQ(uploads.size(), 2u);
    const int aborted = int(std::count_if(uploads.begin(), uploads.end(), [](const FakeMultipartUpload &upload) {
        return upload.state == FakeMultipartUpload::State::aborted;
    }));
    EXPECT_EQ(aborted, 1);
    EXPECT_TRUE(stagedCopies().isEmpty()) << stagedCopies().join(u' ').toStdString();
    const auto files = fake.files(account);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].checksum,
              QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()));
    ModelContext context(ModelContainerFactory::makeContainer(environment.storePath()));
    EXPECT_TRUE(context.fetch(FetchDescriptor<MultipartUploadState>()).empty());
    for (const auto &record : context.fetch(FetchDescriptor<SyncFile>()))
        EXPECT_EQ(record->syncStatus(), SyncFileStatus::synced) << record->localPath().toStdString();
}

// A quit (SIGTERM) while a lane's request waits for a renewal its 401 started and the service
// holds far beyond the bound: the whole quit, teardown included, keeps the bound.
TEST(KillTest, AQuitWithARenewalHeldAtTheServiceEndsWithinTheBound)
{
    ProgramEnvironment environment;
    auto &fake = environment.fake();
    const qint64 account = fake.addAccount();
    const QString root = environment.path("Sessions");
    ASSERT_TRUE(QDir().mkpath(root));
    const QString secrets = prepare(environment, account, root);
    const std::optional<QString> token = keptToken(secrets);
    ASSERT_TRUE(token);
    auto instance = environment.start(QStringLiteral(QUILLMERE_TEST_INSTANCE),
                                      {QStringLiteral("--secrets"), secrets, QStringLiteral("--keep-secrets")}, true);
    {
        QFile file(root + QStringLiteral("/first.wav"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("RIFF first " + QByteArray(4096, 'f'));
    }
    ASSERT_TRUE(runUntil([&] { return fake.fileCount(account) == 1; }, 30s)) << "the lane syncs";
    // Expired at the service, not here: the next request's 401 starts the renewal.
    fake.expireToken(*token);
    fake.delayNext("/api/v1/auth/refresh", 10s);
    fake.takeMostDelayedAtOnce();
    {
        QFile file(root + QStringLiteral("/second.wav"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("RIFF second " + QByteArray(4096, 's'));
    }
    ASSERT_TRUE(runUntil([&] { return fake.takeMostDelayedAtOnce() > 0; }, 30s)) << "the renewal is at the service";
    quillmere::test::runFor(300ms);

    expectQuitWithinBound(*instance, 15s);
}

} // namespace
