#include "Platform/Http/HttpClient.h"
#include "Platform/Http/HttpTestHelpers.h"
#include "Platform/Http/LocalFileError.h"
#include "Platform/Http/TemporaryDownloadFile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <cerrno>

using namespace std::chrono_literals;
using quillmere::HttpClient;
using quillmere::HttpRequest;
using quillmere::HttpResponse;
using quillmere::LocalFileError;
using quillmere::TemporaryDownloadFile;
using Code = quillmere::TransportError::Code;
using quillmere::test::await;
using quillmere::test::LocalServer;
using quillmere::test::transportFailure;

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

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
        local.start();
        destination = dir.filePath(QStringLiteral("take.wav"));
    }

    HttpRequest request(const char *path) const
    {
        HttpRequest r;
        r.url = local.url(QString::fromLatin1(path));
        return r;
    }

    LocalServer local;
    QByteArray payload;
    QTemporaryDir dir;
    QString destination;
};

} // namespace

TEST_F(Download, ReplacesTheDestinationOnlyWithTheWholeBody)
{
    writeFile(destination, "old take");
    const HttpResponse response = await(HttpClient::download(request("/file"), destination));
    EXPECT_EQ(response.status, 200);
    EXPECT_TRUE(readFile(destination) == payload);
    EXPECT_EQ(othersIn(dir, QStringLiteral("take.wav")), QStringList());

    // Through a redirect, into a fresh name.
    const QString second = dir.filePath(QStringLiteral("second.wav"));
    EXPECT_EQ(await(HttpClient::download(request("/moved"), second)).status, 200);
    EXPECT_TRUE(readFile(second) == payload);
}

TEST_F(Download, FailuresLeaveTheOldFileAndNoTemporaryFile)
{
    writeFile(destination, "old take");

    EXPECT_EQ(transportFailure(HttpClient::download(request("/short"), destination)), Code::connectionLost);
    EXPECT_EQ(readFile(destination), QByteArray("old take"));
    EXPECT_EQ(othersIn(dir, QStringLiteral("take.wav")), QStringList());

    HttpRequest stalled = request("/stall");
    stalled.inactivityTimeout = 300ms;
    EXPECT_EQ(transportFailure(HttpClient::download(stalled, destination)), Code::timedOut);
    EXPECT_EQ(readFile(destination), QByteArray("old take"));
    EXPECT_EQ(othersIn(dir, QStringLiteral("take.wav")), QStringList());

    std::stop_source stop;
    QTimer::singleShot(100ms, [&stop] { stop.request_stop(); });
    EXPECT_EQ(transportFailure(HttpClient::download(request("/stall"), destination, stop.get_token())), Code::cancelled);
    EXPECT_EQ(readFile(destination), QByteArray("old take"));
    EXPECT_EQ(othersIn(dir, QStringLiteral("take.wav")), QStringList());
}

TEST_F(Download, AnotherStatusReturnsTheErrorBodyAndKeepsTheDestination)
{
    writeFile(destination, "old take");
    const HttpResponse response = await(HttpClient::download(request("/missing"), destination));
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(response.body, QByteArray(R"({"error":"no such file"})"));
    EXPECT_EQ(readFile(destination), QByteArray("old take"));
    EXPECT_EQ(othersIn(dir, QStringLiteral("take.wav")), QStringList());
}

TEST_F(Download, RefusesADirectoryOrABadNameBeforeAskingTheServer)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("take.wav")));
    try {
        await(HttpClient::download(request("/file"), destination));
        FAIL() << "a directory must never be replaced";
    } catch (const LocalFileError &error) {
        EXPECT_EQ(error.errorNumber(), EISDIR);
    }
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
