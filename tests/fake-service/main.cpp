// Runs the fake Harborly service with a demo account until interrupted.
// Usage: quillmere-fake-service [--port N] [--host ADDRESS] [--bench]
// --port 0 picks a free port. --bench: the account has no files, check-hash hands out
// presigned PUT URLs and replies go uncompressed (a benchmark's service in its own process).

#include "fake-service/FakeHarborly.h"

#include <atomic>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <string>

using namespace quillmere::test;

namespace {

void seedDemo(FakeHarborly &fake, qint64 &accountId, QString &token)
{
    FakeAccount account;
    account.name = QStringLiteral("Demo User");
    account.email = QStringLiteral("demo@example.com");
    account.plan = QStringLiteral("gold");
    account.subscriptionLabel = QStringLiteral("Gold");
    accountId = fake.addAccount(account);
    token = fake.issueToken(accountId);

    const QString folderUUID = QStringLiteral("6F1C2E52-3B1B-4A8E-9D55-0D6A3C9B7E10");
    fake.addSyncFolder({accountId, folderUUID, QStringLiteral("Mixes"), QStringLiteral("drive"),
                        QStringLiteral("bidirectional"), 0});

    FakeLibraryFile kick;
    kick.accountId = accountId;
    kick.filename = QStringLiteral("kick.wav");
    kick.content = QByteArray("RIFF demo kick");
    fake.addFile(kick);

    FakeLibraryFile mix;
    mix.accountId = accountId;
    mix.filename = QStringLiteral("song.als");
    mix.mimeType = QStringLiteral("application/octet-stream");
    mix.folderType = QStringLiteral("drive");
    mix.syncFolderUUID = folderUUID;
    mix.drivePath = QStringLiteral("Song Project");
    mix.content = QByteArray("demo project");
    fake.addFile(mix);

    FakeLibraryFile reference;
    reference.accountId = accountId;
    reference.filename = QStringLiteral("reference.mp3");
    reference.mimeType = QStringLiteral("audio/mpeg");
    reference.folderType = QStringLiteral("reference");
    reference.content = QByteArray("demo reference");
    fake.addFile(reference);

    FakePlan plan;
    plan.accountId = accountId;
    plan.name = QStringLiteral("Spring Pack");
    plan.slug = QStringLiteral("spring-pack");
    const qint64 planId = fake.addPlan(plan);
    FakeLibraryFile loop;
    loop.accountId = accountId;
    loop.filename = QStringLiteral("loop-01.wav");
    loop.userPlanId = planId;
    loop.content = QByteArray("demo loop");
    fake.addFile(loop);
}

} // namespace

int main(int argc, char **argv)
{
    int port = 8642;
    std::string host = "127.0.0.1";
    bool bench = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--host") == 0 && i + 1 < argc) {
            host = argv[++i];
        } else if (std::strcmp(argv[i], "--bench") == 0) {
            bench = true;
        } else {
            std::fprintf(stderr, "usage: %s [--port N] [--host ADDRESS] [--bench]\n", argv[0]);
            return 2;
        }
    }

    // The server thread inherits the mask, so only sigwait below sees these.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    FakeHarborly fake;
    if (bench) {
        // The moment the first file's bytes arrive, on the machine's wall clock, for the
        // benchmark to compare with the moment its client started.
        fake.setRequestObserver([](const FakeRequest &request) {
            static std::atomic_flag told = ATOMIC_FLAG_INIT;
            if (request.method != "PUT" || request.path.rfind("/storage/objects/", 0) != 0 || told.test_and_set())
                return;
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            std::printf("first upload: %lld\n", (long long)now.tv_sec * 1'000'000'000LL + now.tv_nsec);
            std::fflush(stdout);
        });
    }
    try {
        fake.start(port, host);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    qint64 accountId = 0;
    QString token;
    if (bench) {
        fake.setPresignedUploads(true, true);
        fake.setCompressReplies(false);
        accountId = fake.addAccount();
        token = fake.issueToken(accountId);
    } else {
        seedDemo(fake, accountId, token);
    }

    std::printf("base URL: %s\n", qPrintable(fake.baseURL().toString()));
    std::printf("account:  %lld (shard %s)\n", accountId, qPrintable(fake.account(accountId)->shardId));
    std::printf("token:    %s\n", qPrintable(token));
    std::printf("try:      curl -H 'Accept: application/json' -H 'Authorization: Bearer %s' %s/api/v1/files/library\n",
                qPrintable(token), qPrintable(fake.baseURL().toString()));
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    fake.stop();
    return 0;
}
