#include "FileServices/FileChecksum.h"
#include "Platform/Async/CancelledError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>
#include <future>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using quillmere::CancelledError;
using quillmere::computeFileChecksum;
using quillmere::computeFileChecksumSync;
using quillmere::FileChecksumError;
using quillmere::test::await;

namespace {

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) % 256);
    return bytes;
}

TEST(FileChecksum, DigestIsLowerCaseHexWhateverTheChunkBoundaries)
{
    QTemporaryDir dir;
    for (int size : {0, 65535, 65536, 65537, 3 * 65536 + 17}) {
        const QString path = dir.filePath(QStringLiteral("f%1.bin").arg(size));
        const QByteArray content = pattern(size);
        quillmere::test::writeFile(path, content);
        EXPECT_EQ(computeFileChecksumSync(path),
                  QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()))
            << size << " bytes";
    }

    // Resumes on the calling thread.
    QThread *resumedOn = nullptr;
    auto task = [&]() -> QCoro::Task<QString> {
        QString sum = co_await computeFileChecksum(dir.filePath("f0.bin"));
        resumedOn = QThread::currentThread();
        co_return sum;
    };
    EXPECT_EQ(await(task()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(resumedOn, QThread::currentThread());
}

TEST(FileChecksum, MissingFilesAndDirectoriesFailAndAStoppedTokenCancels)
{
    QTemporaryDir dir;
    const auto errorNumberOf = [](const QString &path) {
        const auto error = quillmere::test::failureOf<FileChecksumError>([&] { computeFileChecksumSync(path); });
        return error ? error->errorNumber() : 0;
    };
    EXPECT_EQ(errorNumberOf(dir.filePath("missing.wav")), ENOENT);
    ASSERT_TRUE(QDir(dir.path()).mkdir("Take.wav"));
    EXPECT_EQ(errorNumberOf(dir.filePath("Take.wav")), EISDIR) << "a directory must not hash as empty content";

    // A FIFO in a file's place is refused at once, with no writer coming to release it.
    const QString fifo = dir.filePath("Take.aif");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    auto hashing = std::async(std::launch::async, [&] { return errorNumberOf(fifo); });
    if (hashing.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "hashing a FIFO waits for a writer";
        const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        ::close(writer);
    }
    EXPECT_EQ(hashing.get(), EINVAL);

    // A link in a file's place is not the file: what it leads to is never read.
    const QString target = dir.filePath("elsewhere.wav");
    quillmere::test::writeFile(target, "outside");
    ASSERT_TRUE(QFile::link(target, dir.filePath("Linked.wav")));
    EXPECT_EQ(errorNumberOf(dir.filePath("Linked.wav")), ELOOP);

    const QString path = dir.filePath("big.bin");
    quillmere::test::writeFile(path, pattern(200000));
    std::stop_source source;
    source.request_stop();
    EXPECT_THROW(await(computeFileChecksum(path, source.get_token())), CancelledError);
}

} // namespace
