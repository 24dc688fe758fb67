#include "FileServices/FileChecksum.h"
#include "Platform/Async/CancelledError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>

using quillmere::CancelledError;
using quillmere::computeFileChecksum;
using quillmere::computeFileChecksumSync;
using quillmere::FileChecksumError;
using quillmere::test::await;

namespace {

class FileChecksumTest : public ::testing::Test
{
protected:
    QString write(const QString &name, const QByteArray &content)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return path;
    }

    static QByteArray pattern(int size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            bytes[i] = char((i * 7 + i / 251) % 256);
        return bytes;
    }

    static QString reference(const QByteArray &content)
    {
        return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    }

    static int errorNumberOf(const QString &path)
    {
        const auto error = quillmere::test::failureOf<FileChecksumError>([&] { computeFileChecksumSync(path); });
        return error ? error->errorNumber() : 0;
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(FileChecksumTest, HashesKnownContentAsLowerCaseHex)
{
    EXPECT_EQ(computeFileChecksumSync(write("empty.wav", QByteArray())),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(computeFileChecksumSync(write("abc.txt", "abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(FileChecksumTest, ChunkBoundariesDoNotChangeTheDigest)
{
    for (int size : {65535, 65536, 65537, 3 * 65536 + 17}) {
        const QByteArray content = pattern(size);
        EXPECT_EQ(computeFileChecksumSync(write(QStringLiteral("f%1.bin").arg(size), content)),
                  reference(content))
            << size << " bytes";
    }
}

TEST_F(FileChecksumTest, MissingFilesAndDirectoriesFail)
{
    EXPECT_EQ(errorNumberOf(dir.filePath("missing.wav")), ENOENT);

    ASSERT_TRUE(QDir(dir.path()).mkdir("Take.wav"));
    EXPECT_EQ(errorNumberOf(dir.filePath("Take.wav")), EISDIR)
        << "a directory must not hash as empty content";

    EXPECT_THROW(await(computeFileChecksum(dir.filePath("missing.wav"))), FileChecksumError);
}

TEST_F(FileChecksumTest, StoppedTokenCancels)
{
    const QString path = write("big.bin", pattern(200000));
    std::stop_source source;
    source.request_stop();
    EXPECT_THROW(computeFileChecksumSync(path, source.get_token()), CancelledError);
    EXPECT_THROW(await(computeFileChecksum(path, source.get_token())), CancelledError);
}

TEST_F(FileChecksumTest, AsyncResultComesBackOnTheCallingThread)
{
    const QByteArray content = pattern(100000);
    const QString path = write("a.wav", content);
    QThread *resumedOn = nullptr;
    auto task = [&]() -> QCoro::Task<QString> {
        QString sum = co_await computeFileChecksum(path);
        resumedOn = QThread::currentThread();
        co_return sum;
    };
    EXPECT_EQ(await(task()), reference(content));
    EXPECT_EQ(resumedOn, QThread::currentThread());
}
