// Uploads one large file to the fake service on loopback by multipart (three parts in flight)
// and by one presigned PUT, and prints throughput and peak memory beside curl -T of the same
// file to the same kind of URL. Each upload includes its verified local copy; a plain PUT of the
// file through StreamingUpload and the copy on its own are timed apart, to tell the two costs apart.
// The single PUT and curl -T take turns, `rounds` times each, and the best of each is compared:
// on a shared machine the best run is the least disturbed one.
// Usage: upload_bench [MiB] [rounds]   (default 1024 3)

#include "Accounts/KeychainHelper.h"
#include "Accounts/KeychainVault.h"
#include "Accounts/TokenManager.h"
#include "FileServices/FileChecksum.h"
#include "Platform/Http/StreamingUpload.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "Platform/Async/Clock.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "ServiceAPI/TransferFiles.h"
#include "fake-service/FakeHarborly.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <sys/resource.h>

using namespace quillmere;

namespace {

long peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

double mibPerSecond(qint64 bytes, const QElapsedTimer &timer)
{
    return double(bytes) / (1024.0 * 1024.0) / (double(timer.nsecsElapsed()) / 1e9);
}

struct Figures
{
    double multipart = 0;
    double single = 0; // the best round
    double curl = 0;   // the best round
    double putAlone = 0;
};

// curl -T of the file to a presigned URL of the fake; 0 when there is no curl.
double curlPut(const QString &path, const QString &url, qint64 size)
{
    static const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (curl.isEmpty())
        return 0;
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.start(curl, {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-T"),
                         path, url});
    process.waitForFinished(-1);
    return mibPerSecond(size, timer);
}

// A free coroutine: a lambda coroutine called in place would outlive its closure.
QCoro::Task<> measure(LibraryAPIClient *client, test::FakeHarborly *fake, qint64 account, QString path, qint64 size,
                      int rounds, Figures *figures)
{
    try {
        auto hashing = computeFileChecksum(path);
        const QString checksum = co_await std::move(hashing);

        QElapsedTimer timer;
        timer.start();
        auto multipart = client->uploadMultipart(path, QStringLiteral("bench-multipart"), QStringLiteral("big.bin"), size,
                                                 QStringLiteral("application/octet-stream"), checksum);
        co_await std::move(multipart);
        figures->multipart = mibPerSecond(size, timer);
        const auto stored = fake->storedObject(QStringLiteral("bench-multipart"));
        std::printf("multipart upload: %lld bytes stored, %.0f MiB/s\n", stored ? stored->size : -1LL, figures->multipart);

        for (int round = 1; round <= rounds; ++round) {
            const QString url = fake->presignedPutURL(account, QStringLiteral("bench-single"));
            timer.restart();
            auto single = client->uploadToPresignedURL(path, url, checksum);
            co_await std::move(single);
            const double ours = mibPerSecond(size, timer);
            const auto put = fake->storedObject(QStringLiteral("bench-single"));
            // The curl run blocks this thread: the fake serves it from its own.
            const double theirs = curlPut(path, fake->presignedPutURL(account, QStringLiteral("bench-curl")), size);
            std::printf("round %d: presigned PUT %lld bytes stored, %.0f MiB/s (sha256 %s); curl -T %.0f MiB/s\n", round,
                        put ? put->size : -1LL, ours, put && put->sha256 == checksum ? "matches" : "DIFFERS", theirs);
            figures->single = std::max(figures->single, ours);
            figures->curl = std::max(figures->curl, theirs);
        }

        // The same PUT straight from the file, without the verified copy: the transport alone.
        HttpHeaders headers;
        headers.set("Content-Type", "application/octet-stream");
        const QUrl direct(fake->presignedPutURL(account, QStringLiteral("bench-direct")));
        timer.restart();
        auto putting = StreamingUpload::put(direct, headers, path, 0, size, {});
        const HttpResponse reply = co_await std::move(putting);
        figures->putAlone = mibPerSecond(size, timer);
        std::printf("PUT alone:        status %d, %.0f MiB/s (StreamingUpload from the file, no copy)\n", reply.status,
                    figures->putAlone);
    } catch (const std::exception &e) {
        std::printf("upload failed: %s\n", e.what());
    }
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char **argv)
{
    // One malloc arena: the in-process fake's threads would otherwise each keep an arena of
    // body buffers, and the peak would measure the fake rather than the client.
    mallopt(M_ARENA_MAX, 1);
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const int rounds = std::max(1, argc > 2 ? QByteArray(argv[2]).toInt() : 3);
    const qint64 size = mib * 1024 * 1024;

    QTemporaryDir dir;
    qputenv("XDG_CACHE_HOME", dir.filePath(QStringLiteral("cache")).toUtf8());
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toUtf8());
    const QString path = dir.filePath(QStringLiteral("big.bin"));
    {
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < block.size(); ++i)
            block[i] = char((i * 2654435761u) >> 24);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        for (qint64 i = 0; i < mib; ++i) {
            block[0] = char(i);
            file.write(block);
        }
    }

    test::FakeHarborly fake;
    fake.start();
    fake.setMultipartPartSize(LibraryAPIClient::defaultPartSize);
    // A receiver that hashes what arrives (the check below) but writes none of it: gigabytes
    // written by the fake would throttle the client's own copy and measure the disk.
    fake.setKeepLargeBodies(false);
    const qint64 account = fake.addAccount();
    InMemorySecretBackend backend;
    KeychainVault vault(KeychainHelper(backend), [](const QString &) {});
    const QUrl base = fake.baseURL();
    auto tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [base] { return base; });
    LibraryAPIClient client(std::make_shared<HarborlyAPI>(tokens, Clock::system()));

    const long rssBefore = peakRssMiB();
    Figures figures;
    const QString token = fake.issueToken(account);
    QTimer::singleShot(0, [&] {
        auto saving = tokens->saveToken(token, QDateTime::currentDateTimeUtc().addDays(1));
        QCoro::connect(std::move(saving), &app, [&] { measure(&client, &fake, account, path, size, rounds, &figures); });
    });
    app.exec();
    std::printf("peak RSS: %ld MiB (%ld MiB before the uploads; the in-process fake included)\n", peakRssMiB(),
                rssBefore);

    // The verified copy each upload makes, on its own, for reference.
    {
        QElapsedTimer timer;
        timer.start();
        const QString copy = dir.filePath(QStringLiteral("copy.bin"));
        copyFileHashing(path, copy, {});
        std::printf("verified copy alone: %.0f MiB/s\n", mibPerSecond(size, timer));
        QFile::remove(copy);
    }

    if (figures.curl > 0)
        std::printf("best of %d: presigned PUT %.0f MiB/s, curl -T %.0f MiB/s: %.2fx; multipart %.2fx, PUT alone %.2fx\n",
                    rounds, figures.single, figures.curl, figures.single / figures.curl,
                    figures.multipart / figures.curl, figures.putAlone / figures.curl);
    fake.stop();
    return 0;
}
