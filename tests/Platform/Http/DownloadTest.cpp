#include "Platform/Http/HttpClient.h"
#include "Platform/Http/HttpTestHelpers.h"
#include "Platform/Http/LocalFileError.h"
#include "Platform/Http/TemporaryDownloadFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <functional>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using quillmere::HttpClient;
using quillmere::HttpRequest;
using quillmere::HttpResponse;
using quillmere::LocalFileError;
using quillmere::TemporaryDownloadFile;
using Code = quillmere::TransportError::Code;
using quillmere::test::await;
using quillmere::test::LocalServer;
using quillmere::test::readFile;
using quillmere::test::transportFailure;
using quillmere::test::writeFile;

namespace {

// Everything in the folder, hidden files included, but the named one.
QStringList othersIn(const QTemporaryDir &dir, const QString &except)
{
    auto names = QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    names.removeAll(except);
    return names;
}

class Download : public ::testing::Test
{
protected:
    void SetUp() override
    {
        payload.resize(3 * 1024 * 1024 + 17);
        QRandomGenerator generator(7);
        for (auto &byte : payload)
            byte = char(generator.generate() & 0xFF);

        local.server().Get("/file", [this](const httplib::Request &, httplib::Response &res) {
            ++local.hits;
            res.set_content(payload.constData(), size_t(payload.size()), "application/octet-stream");
        });
        local.server().Get("/missing", [](const httplib::Request &, httplib::Response &res) {
            res.status = 404;
            res.set_content(R"({"error":"no such file"})", "application/json");
        });
        local.server().Get("/moved", [](const httplib::Request &, httplib::Response &res) { res.set_redirect("/file", 302); });
        // The payload, once `whileServing` has run (on the server's thread, as if the user
        // saved while the bytes travelled).
        local.server().Get("/file-while-saving", [this](const httplib::Request &, httplib::Response &res) {
            if (whileServing)
                whileServing();
            res.set_content(payload.constData(), size_t(payload.size()), "application/octet-stream");
        });
        // Declares the whole payload, sends a third of it and hangs up.
        local.server().Get("/short", [this](const httplib::Request &, httplib::Response &res) {
            res.set_content_provider(size_t(payload.size()), "application/octet-stream",
                                     [this](size_t offset, size_t, httplib::DataSink &sink) {
                                         if (offset >= size_t(payload.size() / 3))
                                             return false;
                                         sink.write(payload.constData() + offset, 64 * 1024);
                                         return true;
                                     });
        });
        local.server().Get("/stall", [this](const httplib::Request &, httplib::Response &res) {
            res.set_content_provider(size_t(payload.size()), "application/octet-stream",
                                     [this](size_t offset, size_t, httplib::DataSink &sink) {
                                         if (offset > 0 && !local.pause(5s))
                                             return false;
                                         sink.write(payload.constData(), 1024);
                                         return true;
                                     });
        });
        // No length and no chunks: the body ends where the connection does, here after a third.
        local.server().Get("/unframed-short", [this](const httplib::Request &, httplib::Response &res) {
            res.set_content_provider("application/octet-stream", [this](size_t offset, httplib::DataSink &sink) {
                if (offset >= size_t(payload.size() / 3))
                    return false;
                sink.write(payload.constData() + offset, 64 * 1024);
                return true;
            });
        });
        local.server().Get("/gzipped", [this](const httplib::Request &req, httplib::Response &res) {
            acceptEncoding = req.get_header_value("Accept-Encoding");
            res.set_header("Content-Encoding", "gzip");
            res.set_content(qCompress(payload).toStdString(), "application/octet-stream");
        });
        // Chunked with no end in sight (it ends far past anything expected, so a client that
        // never stops still finishes), noting how far it got.
        const auto endless = [this](int status) {
            return [this, status](const httplib::Request &, httplib::Response &res) {
                res.status = status;
                res.set_chunked_content_provider("application/octet-stream", [this](size_t offset, httplib::DataSink &sink) {
                    sentUpTo = offset;
                    if (offset >= kEndlessStop)
                        sink.done();
                    else
                        sink.write(payload.constData(), 1024 * 1024);
                    return true;
                });
            };
        };
        local.server().Get("/endless", endless(200));
        local.server().Get("/refused-endless", endless(500));
        // Announces far more than the payload, sends a little and goes quiet.
        local.server().Get("/overlong-stall", [this](const httplib::Request &, httplib::Response &res) {
            res.set_content_provider(size_t(payload.size()) * 100, "application/octet-stream",
                                     [this](size_t offset, size_t, httplib::DataSink &sink) {
                                         if (offset > 0 && !local.pause(5s))
                                             return false;
                                         sink.write(payload.constData(), 64 * 1024);
                                         return true;
                                     });
        });
        local.server().Get("/two-lengths", [this](const httplib::Request &, httplib::Response &res) {
            res.headers.emplace("Content-Length", std::to_string(payload.size()));
            res.headers.emplace("Content-Length", std::to_string(payload.size() / 2));
            res.set_content(payload.constData(), size_t(payload.size()), "application/octet-stream");
        });
        local.start();
        destination = dir.filePath(QStringLiteral("take.wav"));
    }

    // The server's threads may still be sending from the payload: they end before it goes.
    void TearDown() override { local.stop(); }

    // The old file is still there as it was, and nothing was left beside it.
    void expectUntouched(const char *what) const
    {
        EXPECT_EQ(readFile(destination), QByteArray("old take")) << what;
        EXPECT_EQ(othersIn(dir, QStringLiteral("take.wav")), QStringList()) << what;
    }

    HttpRequest request(const char *path) const
    {
        HttpRequest r;
        r.url = local.url(QString::fromLatin1(path));
        return r;
    }

    static constexpr size_t kEndlessStop = 2 * size_t(HttpClient::maximumBodySize);

    LocalServer local;
    QByteArray payload;
    std::atomic<size_t> sentUpTo{0};
    std::function<void()> whileServing;
    std::string acceptEncoding;
    QTemporaryDir dir;
    QString destination;
};

} // namespace

TEST_F(Download, ReplacesTheDestinationOnlyWithTheWholeBody)
{
    writeFile(destination, "old take");
    EXPECT_EQ(await(HttpClient::download(request("/file"), destination)).status, 200);
    EXPECT_TRUE(readFile(destination) == payload);
    EXPECT_EQ(othersIn(dir, QStringLiteral("take.wav")), QStringList());

    // Through a redirect, into a fresh name.
    const QString second = dir.filePath(QStringLiteral("second.wav"));
    EXPECT_EQ(await(HttpClient::download(request("/moved"), second)).status, 200);
    EXPECT_TRUE(readFile(second) == payload);
}

TEST_F(Download, FailuresAndOtherStatusesLeaveTheOldFileAndNoTemporaryFile)
{
    writeFile(destination, "old take");

    EXPECT_EQ(transportFailure(HttpClient::download(request("/short"), destination)), Code::connectionLost);
    expectUntouched("short");

    HttpRequest stalled = request("/stall");
    stalled.inactivityTimeout = 300ms;
    EXPECT_EQ(transportFailure(HttpClient::download(stalled, destination)), Code::timedOut);
    expectUntouched("stalled");

    std::stop_source stop;
    QTimer::singleShot(100ms, [&stop] { stop.request_stop(); });
    EXPECT_EQ(transportFailure(HttpClient::download(request("/stall"), destination, {}, stop.get_token())), Code::cancelled);
    expectUntouched("cancelled");

    // Another status returns its error body instead.
    const HttpResponse response = await(HttpClient::download(request("/missing"), destination));
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(response.body, QByteArray(R"({"error":"no such file"})"));
    expectUntouched("404");
}

TEST_F(Download, RefusesABodyOtherThanTheOneExpected)
{
    writeFile(destination, "old take");
    const QByteArray sha256 = QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex();
    const auto refused = [&](const char *path, quillmere::ExpectedDownload expected) {
        const auto code = transportFailure(HttpClient::download(request(path), destination, expected));
        expectUntouched(path);
        return code;
    };

    // Cut short without a length: only the listed size tells.
    EXPECT_EQ(refused("/unframed-short", {payload.size(), std::nullopt}), Code::contentMismatch);
    EXPECT_EQ(refused("/file", {payload.size() + 1, std::nullopt}), Code::contentMismatch);
    QByteArray otherHash = sha256;
    otherHash[0] = otherHash[0] == '0' ? '1' : '0';
    EXPECT_EQ(refused("/file", {payload.size(), otherHash}), Code::contentMismatch);

    // Compressed bytes would be stored as they came: asked for unencoded, refused otherwise.
    EXPECT_EQ(refused("/gzipped", {}), Code::badServerResponse);
    EXPECT_EQ(acceptEncoding, "identity");
    HttpRequest asking = request("/gzipped");
    asking.headers.set("Accept-Encoding", "gzip");
    EXPECT_EQ(transportFailure(HttpClient::download(asking, destination)), Code::badServerResponse);
    EXPECT_EQ(acceptEncoding, "identity");

    EXPECT_EQ(refused("/two-lengths", {}), Code::badServerResponse);

    // The listed size and checksum (in either case) of the very bytes sent.
    EXPECT_EQ(await(HttpClient::download(request("/file"), destination, {payload.size(), sha256.toUpper()})).status, 200);
    EXPECT_TRUE(readFile(destination) == payload);
}

TEST_F(Download, StopsAtTheFirstByteBeyondWhatItExpectsOrMayRead)
{
    writeFile(destination, "old take");
    const quillmere::ExpectedDownload listed{payload.size(), std::nullopt};

    // Endless where a few MiB were listed: over once the body passes the listed size, not
    // once the disk is full.
    EXPECT_EQ(transportFailure(HttpClient::download(request("/endless"), destination, listed)), Code::contentMismatch);
    expectUntouched("endless");
    EXPECT_LT(sentUpTo.load(), size_t(payload.size()) + 32 * 1024 * 1024);

    // Announced at another size: refused before the body, not after the stall.
    HttpRequest stalling = request("/overlong-stall");
    stalling.inactivityTimeout = 2s;
    EXPECT_EQ(transportFailure(HttpClient::download(stalling, destination, listed)), Code::contentMismatch);
    expectUntouched("announced longer");

    // A refusal's body is not kept past its start, but neither is it read without end.
    sentUpTo = 0;
    EXPECT_EQ(transportFailure(HttpClient::download(request("/refused-endless"), destination)), Code::responseTooLarge);
    expectUntouched("refusal");
    EXPECT_LT(sentUpTo.load(), kEndlessStop);
}

TEST_F(Download, PutsItselfInPlaceOnlyWhileTheDestinationIsAsJudged)
{
    using quillmere::DestinationChangedError;
    using quillmere::JudgedDestination;
    const auto stampOf = [](const QString &path) {
        struct stat status {};
        EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &status), 0);
        return quillmere::FileStamp::of(status);
    };
    const auto guarded = [&](JudgedDestination judged) {
        quillmere::ExpectedDownload expected;
        expected.destination = judged;
        return HttpClient::download(request("/file-while-saving"), destination, expected);
    };
    const auto changed = [&](JudgedDestination judged, const char *what) {
        EXPECT_THROW(await(guarded(judged)), DestinationChangedError) << what;
        EXPECT_EQ(othersIn(dir, QStringLiteral("take.wav")), QStringList()) << what;
    };

    // Nothing there, nothing made meanwhile: put in place.
    EXPECT_EQ(await(guarded(JudgedDestination{})).status, 200);
    EXPECT_TRUE(readFile(destination) == payload);

    // Nothing was there when judged, but the user made the file meanwhile: theirs stays.
    QFile::remove(destination);
    whileServing = [this] { writeFile(destination, "made meanwhile"); };
    changed(JudgedDestination{}, "made");
    EXPECT_EQ(readFile(destination), QByteArray("made meanwhile"));

    // The judged version of a file is replaced; a save since is kept, and so is a removal.
    writeFile(destination, "old take");
    whileServing = nullptr;
    EXPECT_EQ(await(guarded(JudgedDestination{stampOf(destination)})).status, 200);
    EXPECT_TRUE(readFile(destination) == payload);

    writeFile(destination, "old take");
    whileServing = [this] { writeFile(destination, "saved while downloading"); };
    changed(JudgedDestination{stampOf(destination)}, "saved");
    EXPECT_EQ(readFile(destination), QByteArray("saved while downloading"));

    const auto judged = stampOf(destination);
    whileServing = [this] { QFile::remove(destination); };
    changed(JudgedDestination{judged}, "removed");
    EXPECT_FALSE(QFileInfo::exists(destination));
}

TEST_F(Download, RefusesADirectoryOrABadNameBeforeAskingTheServer)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("take.wav")));
    const auto onDirectory = quillmere::test::failureOf<LocalFileError>(HttpClient::download(request("/file"), destination));
    EXPECT_EQ(onDirectory ? onDirectory->errorNumber() : 0, EISDIR) << "a directory must never be replaced";
    EXPECT_TRUE(QFileInfo(destination).isDir());

    for (const QString &bad : {dir.path() + QStringLiteral("/"), dir.path() + QStringLiteral("/.."), dir.filePath(QStringLiteral("nofolder/x.wav"))})
        EXPECT_THROW(await(HttpClient::download(request("/file"), bad)), LocalFileError) << bad.toStdString();
    EXPECT_EQ(local.hits, 0);
}

TEST(TemporaryDownloadFileName, StaysHiddenMarkedAndWithin255BytesWithoutSplittingCharacters)
{
    EXPECT_EQ(TemporaryDownloadFile::temporaryName("take.wav", "k3j"), QByteArray(".take.wav.quillmere-tmp-k3j"));

    // 120 two-byte characters: 240 bytes, too long once the marker is added.
    const QByteArray longName = QString(120, QChar(0x00E9)).toUtf8() + ".wav";
    const QByteArray name = TemporaryDownloadFile::temporaryName(longName, "abcdefghijklm");
    EXPECT_LE(name.size(), 255);
    EXPECT_TRUE(name.startsWith('.'));
    EXPECT_TRUE(name.contains(".quillmere-tmp"));
    EXPECT_TRUE(QString::fromUtf8(name).toUtf8() == name) << "a character was cut in half";

    QTemporaryDir dir;
    TemporaryDownloadFile file(QFile::encodeName(dir.path()) + '/' + longName);
    file.create();
    file.write("bytes");
    file.commit();
    EXPECT_EQ(readFile(dir.path() + QLatin1Char('/') + QString::fromUtf8(longName)), QByteArray("bytes"));
}

namespace {

void setAge(const QString &path, std::chrono::seconds age)
{
    // To the nanosecond: a file made "now" must not read as older than a process that
    // started earlier in the same second.
    const auto when = std::chrono::duration_cast<std::chrono::nanoseconds>(
        (std::chrono::system_clock::now() - age).time_since_epoch());
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = time_t(when.count() / 1'000'000'000);
    times[0].tv_nsec = times[1].tv_nsec = long(when.count() % 1'000'000'000);
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
}

} // namespace

TEST(DownloadLeftovers, RemovesOnlyOldTemporaryFilesBelowTheFolder)
{
    QTemporaryDir dir, outside;
    const QDir root(dir.path());
    ASSERT_TRUE(root.mkpath(QStringLiteral("Stems/Drums")));
    const QString target = outside.filePath(QStringLiteral("elsewhere.wav"));
    writeFile(target, "keep");
    const QStringList old = {QStringLiteral(".a.wav.quillmere-tmp-k3j"), QStringLiteral("Stems/Drums/.kick.wav.quillmere-tmp-0z9")};
    const QStringList kept = {QStringLiteral(".fresh.wav.quillmere-tmp-abc"), QStringLiteral("a.wav.quillmere-tmp-k3j"),
                              QStringLiteral(".a.wav"), QStringLiteral(".a.wav.quillmere-tmp-"),
                              QStringLiteral("Stems/.b.wav.quillmere-tmp-K3J")};
    for (const QString &name : old + kept)
        writeFile(root.filePath(name), "partial");
    for (const QString &name : old + kept.mid(1))
        setAge(root.filePath(name), std::chrono::hours(1));
    ASSERT_TRUE(QFile::link(target, root.filePath(QStringLiteral(".link.wav.quillmere-tmp-aaa"))));
    setAge(root.filePath(QStringLiteral(".link.wav.quillmere-tmp-aaa")), std::chrono::hours(1));
    ASSERT_TRUE(root.mkdir(QStringLiteral(".dir.quillmere-tmp-bbb")));
    setAge(root.filePath(QStringLiteral(".dir.quillmere-tmp-bbb")), std::chrono::hours(1));

    const auto cleanup = TemporaryDownloadFile::removeLeftovers(QFile::encodeName(dir.path()),
                                                                std::chrono::system_clock::now() - std::chrono::minutes(10));
    EXPECT_EQ(cleanup.removed, 2);
    EXPECT_EQ(cleanup.failed, 0);
    for (const QString &name : old)
        EXPECT_FALSE(QFileInfo::exists(root.filePath(name))) << name.toStdString();
    for (const QString &name : kept)
        EXPECT_TRUE(QFileInfo::exists(root.filePath(name))) << name.toStdString();
    EXPECT_TRUE(QFileInfo(root.filePath(QStringLiteral(".link.wav.quillmere-tmp-aaa"))).isSymLink());
    EXPECT_TRUE(QFileInfo(root.filePath(QStringLiteral(".dir.quillmere-tmp-bbb"))).isDir());
    EXPECT_EQ(readFile(target), QByteArray("keep"));

    // Without a time given: what is older than this process goes, what it wrote itself stays.
    setAge(root.filePath(QStringLiteral(".fresh.wav.quillmere-tmp-abc")), std::chrono::seconds(0));
    writeFile(root.filePath(old[0]), "partial");
    setAge(root.filePath(old[0]), std::chrono::hours(1));
    EXPECT_EQ(TemporaryDownloadFile::removeLeftoversOfEarlierRuns(QFile::encodeName(dir.path())).removed, 1);
    EXPECT_FALSE(QFileInfo::exists(root.filePath(old[0])));
    EXPECT_TRUE(QFileInfo::exists(root.filePath(QStringLiteral(".fresh.wav.quillmere-tmp-abc"))));

    // A folder it cannot read is counted, not passed over in silence.
    if (::geteuid() != 0) {
        QFile::setPermissions(root.filePath(QStringLiteral("Stems")), QFileDevice::WriteOwner);
        EXPECT_GE(TemporaryDownloadFile::removeLeftovers(QFile::encodeName(dir.path()), std::chrono::system_clock::now()).failed, 1);
        QFile::setPermissions(root.filePath(QStringLiteral("Stems")), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
}
