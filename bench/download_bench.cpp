// Downloads a large library file from the fake service on loopback through
// LibraryAPIClient::downloadFile, checked against its size and SHA-256 as the lane asks, and
// prints throughput and peak memory, next to `curl -o` of the same URL with the same headers
// (when curl exists). Runs alternate between the two; the best run of each is compared.
// Usage: download_bench [MiB] [runs]   (defaults 1024 and 3)

#include "Accounts/KeychainHelper.h"
#include "Accounts/KeychainVault.h"
#include "Accounts/TokenManager.h"
#include "Platform/Async/Clock.h"
#include "Platform/Files/Sha256Digest.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "fake-service/FakeHarborly.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <optional>
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

// Writes `total` bytes of a non-repeating-looking pattern (so nothing along the way can
// shortcut zeros) in 1 MiB blocks; returns their SHA-256.
std::optional<QString> writeSource(const QString &path, qint64 total)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return std::nullopt;
    Sha256Digest digest;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (qint64 written = 0; written < total; written += block.size()) {
        for (qsizetype i = 0; i < block.size(); ++i)
            block[i] = char(((written + i) * 2654435761u) >> 24);
        const qint64 length = std::min<qint64>(block.size(), total - written);
        digest.add(block.constData(), std::size_t(length));
        if (file.write(block.constData(), length) < 0)
            return std::nullopt;
    }
    if (!file.flush())
        return std::nullopt;
    return QString::fromLatin1(digest.finishHex());
}

struct Setup
{
    LibraryAPIClient *client = nullptr;
    qint64 fileID = 0;
    QString destination;
    qint64 total = 0;
    QString sha256;
};

// A free coroutine: a lambda coroutine called in place would outlive its closure.
QCoro::Task<> measure(Setup setup, std::optional<double> &result)
{
    QFile::remove(setup.destination);
    QElapsedTimer timer;
    timer.start();
    try {
        auto downloading = setup.client->downloadFile(setup.fileID, setup.destination, setup.total, setup.sha256);
        co_await std::move(downloading);
        const double rate = mibPerSecond(setup.total, timer);
        const qint64 size = QFile(setup.destination).size();
        std::printf("  LibraryAPIClient::downloadFile: %lld bytes, %.0f MiB/s\n", size, rate);
        if (size == setup.total)
            result = rate;
    } catch (const std::exception &e) {
        std::printf("  download failed: %s\n", e.what());
    }
    QCoreApplication::quit();
}

QCoro::Task<> storeToken(std::shared_ptr<TokenManager> tokens, QString token)
{
    auto saving = tokens->saveToken(std::move(token), QDateTime::currentDateTimeUtc().addDays(30));
    co_await std::move(saving);
    QCoreApplication::quit();
}

std::optional<double> runCurl(const QString &curl, const QUrl &url, const QString &token, const QString &destination,
                              qint64 total)
{
    QFile::remove(destination);
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.start(curl, {QStringLiteral("-s"), QStringLiteral("-f"), QStringLiteral("-H"),
                         QStringLiteral("Accept: application/json"), QStringLiteral("-H"),
                         QStringLiteral("Authorization: Bearer ") + token, QStringLiteral("-o"), destination,
                         url.toString()});
    process.waitForFinished(-1);
    const double rate = mibPerSecond(total, timer);
    const qint64 size = QFile(destination).size();
    std::printf("  curl -o: %lld bytes, %.0f MiB/s\n", size, rate);
    if (process.exitCode() != 0 || size != total)
        return std::nullopt;
    return rate;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const int runs = argc > 2 ? std::max(1, QByteArray(argv[2]).toInt()) : 3;
    const qint64 total = mib * 1024 * 1024;

    QTemporaryDir dir;
    // Settings the client writes (home shard and so on) stay in the temporary folder.
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toUtf8());
    const QString source = dir.filePath(QStringLiteral("source.bin"));
    const std::optional<QString> sha256 = writeSource(source, total);
    if (!sha256) {
        std::printf("cannot write the %lld MiB source file\n", mib);
        return 1;
    }

    test::FakeHarborly fake;
    fake.start();
    const qint64 account = fake.addAccount();
    const QString token = fake.issueToken(account);
    test::FakeLibraryFile file;
    file.accountId = account;
    file.filename = QStringLiteral("big.wav");
    file.contentPath = source;
    // Given, so the fake does not hash a whole gigabyte again.
    file.checksum = *sha256;
    const qint64 fileID = fake.addFile(file);
    const QUrl url = fake.url(QStringLiteral("/api/v1/files/library/%1").arg(fileID));

    InMemorySecretBackend backend;
    KeychainVault vault(KeychainHelper(backend), [](const QString &) {});
    const QUrl base = fake.baseURL();
    auto tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [base] { return base; });
    QTimer::singleShot(0, [&] { storeToken(tokens, token); });
    app.exec();
    LibraryAPIClient client(std::make_shared<HarborlyAPI>(tokens, Clock::system()));

    const QString destination = dir.filePath(QStringLiteral("big.wav"));
    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    const long rssBefore = peakRssMiB();
    std::optional<double> bestOurs, bestCurl;
    for (int run = 1; run <= runs; ++run) {
        std::printf("run %d of %d (%lld MiB from %s)\n", run, runs, mib, qPrintable(url.toString()));
        std::optional<double> ours;
        QTimer::singleShot(0, [&] { measure(Setup{&client, fileID, destination, total, *sha256}, ours); });
        app.exec();
        if (ours)
            bestOurs = std::max(bestOurs.value_or(0), *ours);
        if (!curl.isEmpty()) {
            if (const auto theirs = runCurl(curl, url, token, destination, total))
                bestCurl = std::max(bestCurl.value_or(0), *theirs);
        }
    }
    QFile::remove(destination);

    std::printf("\nbest LibraryAPIClient::downloadFile: %.0f MiB/s\n", bestOurs.value_or(0));
    if (bestCurl)
        std::printf("best curl -o: %.0f MiB/s; ratio %.2f (goal: at least 1.00)\n", *bestCurl,
                    bestOurs.value_or(0) / *bestCurl);
    else
        std::printf("curl: not run\n");
    std::printf("peak RSS: %ld MiB (%ld MiB before the downloads; goal: under 64 MiB)\n", peakRssMiB(),
                rssBefore);
    fake.stop();
    return bestOurs ? 0 : 1;
}
