#include "Platform/Http/ConcatenatedBodyDevice.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Http/HttpTestHelpers.h"

#include <QFile>
#include <QTemporaryDir>

using quillmere::ConcatenatedBodyDevice;
using quillmere::HttpClient;
using quillmere::HttpRequest;
using quillmere::test::await;
using quillmere::test::LocalServer;

namespace {

class UploadBody : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (int i = 0; i < 300000; ++i)
            content.append(char('A' + i % 23));
        path = dir.filePath(QStringLiteral("take.wav"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    // Reads the whole device in odd-sized pieces, as Qt's uploader does.
    static QByteArray drain(QIODevice &device)
    {
        QByteArray all;
        char buffer[7001];
        for (;;) {
            const qint64 got = device.read(buffer, sizeof buffer);
            if (got <= 0)
                break;
            all.append(buffer, got);
        }
        return all;
    }

    const QByteArray prefix = "--b\r\nContent-Type: audio/wav\r\n\r\n";
    const QByteArray suffix = "\r\n--b--\r\n";
    QByteArray content;
    QTemporaryDir dir;
    QString path;
};

} // namespace

TEST_F(UploadBody, ConcatenationJoinsPrefixFileAndSuffixAtAnyPosition)
{
    ConcatenatedBodyDevice body(prefix, std::make_unique<QFile>(path), suffix);
    ASSERT_TRUE(body.open(QIODevice::ReadOnly));
    const QByteArray expected = prefix + content + suffix;
    EXPECT_EQ(body.size(), expected.size());
    EXPECT_TRUE(drain(body) == expected);
    for (const qint64 at : {qint64(0), qint64(prefix.size() - 1), qint64(prefix.size() + content.size() - 1),
                            qint64(expected.size() - 1)}) {
        ASSERT_TRUE(body.seek(at));
        EXPECT_TRUE(drain(body) == expected.mid(at)) << at;
    }
}

TEST_F(UploadBody, StreamedBodiesArriveExactAndCanBeSentAgain)
{
    LocalServer local;
    quillmere::test::addEcho(local);
    quillmere::test::routeAll(local.server(), "/again", [](const httplib::Request &, httplib::Response &res) {
        res.set_redirect("/echo", 307);
    });
    local.start();

    HttpRequest filePut;
    filePut.url = local.url(QStringLiteral("/echo"));
    filePut.method = "PUT";
    filePut.bodyDevice = std::make_shared<QFile>(path);
    ASSERT_TRUE(filePut.bodyDevice->open(QIODevice::ReadOnly));

    HttpRequest formPost;
    formPost.url = local.url(QStringLiteral("/again")); // 307: the body goes twice on one send
    formPost.method = "POST";
    // (No multipart Content-Type: the test server would parse the parts instead of echoing.)
    auto file = std::make_unique<QFile>(path);
    formPost.bodyDevice = std::make_shared<ConcatenatedBodyDevice>(prefix, std::move(file), suffix);
    ASSERT_TRUE(formPost.bodyDevice->open(QIODevice::ReadOnly));

    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto put = await(HttpClient::send(filePut));
        EXPECT_TRUE(put.body == content) << "attempt " << attempt;
        const auto post = await(HttpClient::send(formPost));
        EXPECT_EQ(post.headers.value("X-Seen-Method"), QByteArray("POST"));
        EXPECT_TRUE(post.body == prefix + content + suffix) << "attempt " << attempt;
    }
}
