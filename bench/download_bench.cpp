// Streams a large body from a server on loopback to disk through HttpClient::download and
// prints throughput and peak memory, next to curl fetching the same URL when curl exists.
// Usage: download_bench [MiB]   (default 1024)

#include "Platform/Http/HttpClient.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>
#include <thread>

using namespace quillmere;

namespace {

long peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// A free coroutine: a lambda coroutine called in place would outlive its closure.
QCoro::Task<> measure(QUrl url, QString destination, qint64 total, double &mibPerSecond)
{
    HttpRequest request;
    request.url = url;
    QElapsedTimer timer;
    timer.start();
    try {
        auto downloading = HttpClient::download(request, destination);
        const HttpResponse response = co_await std::move(downloading);
        mibPerSecond = double(total) / (1024.0 * 1024.0) / (double(timer.nsecsElapsed()) / 1e9);
        std::printf("HttpClient::download: status %d, %lld bytes, %.0f MiB/s\n", response.status,
                    QFile(destination).size(), mibPerSecond);
    } catch (const std::exception &e) {
        std::printf("download failed: %s\n", e.what());
    }
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const qint64 total = mib * 1024 * 1024;

    std::string block(1024 * 1024, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = char((i * 2654435761u) >> 24);

    httplib::Server server;
    server.Get("/big", [&](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider(size_t(total), "application/octet-stream",
                                 [&](size_t offset, size_t length, httplib::DataSink &sink) {
                                     const size_t from = offset % block.size();
                                     const size_t n = std::min(length, block.size() - from);
                                     return sink.write(block.data() + from, n);
                                 });
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    const QString url = QStringLiteral("http://127.0.0.1:%1/big").arg(port);

    QTemporaryDir dir;
    const QString destination = dir.filePath(QStringLiteral("big.bin"));
    const long rssBefore = peakRssMiB();

    double ours = 0;
    QTimer::singleShot(0, [&] { measure(QUrl(url), destination, total, ours); });
    app.exec();
    std::printf("peak RSS: %ld MiB (%ld MiB before the download)\n", peakRssMiB(), rssBefore);
    QFile::remove(destination);

    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (!curl.isEmpty()) {
        QElapsedTimer timer;
        timer.start();
        QProcess process;
        process.start(curl, {QStringLiteral("-s"), QStringLiteral("-o"), destination, url});
        process.waitForFinished(-1);
        const double theirs = double(total) / (1024.0 * 1024.0) / (double(timer.nsecsElapsed()) / 1e9);
        std::printf("curl -o: %.0f MiB/s; ratio %.2f\n", theirs, ours / theirs);
    }

    server.stop();
    serving.join();
    return 0;
}
