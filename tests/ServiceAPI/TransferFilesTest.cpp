#include "Platform/Async/CancelledError.h"
#include "Platform/Http/LocalFileError.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "ServiceAPI/TransferFiles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace quillmere;
using quillmere::test::readFile;
using quillmere::test::writeFile;

namespace {

QByteArray content(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 2654435761u) >> 13);
    return bytes;
}

dev_t deviceOf(const QString &path)
{
    struct stat st{};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_dev : dev_t(-1);
}

// Larger than one kernel step and not a multiple of any block, so the last pieces are short.
const QByteArray kBig = content(9 * 1024 * 1024 + 4321);

void expectFaithfulCopy(const QString &source, const QString &destination)
{
    std::vector<qint64> reported;
    const CopiedFile copied = copyFileHashing(source, destination, {}, [&](qint64 bytes) { reported.push_back(bytes); });

    EXPECT_EQ(copied.size, kBig.size());
    EXPECT_EQ(copied.sha256, QString::fromLatin1(QCryptographicHash::hash(kBig, QCryptographicHash::Sha256).toHex()));
    EXPECT_TRUE(readFile(destination) == kBig);
    ASSERT_FALSE(reported.empty());
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    EXPECT_EQ(reported.back(), kBig.size());
}

} // namespace

TEST(TransferFiles, CopiesAndHashesWithinOneFileSystem)
{
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("source")), kBig);
    expectFaithfulCopy(dir.filePath(QStringLiteral("source")), dir.filePath(QStringLiteral("copy")));
}

TEST(TransferFiles, CopiesAndHashesAcrossFileSystems)
{
    // Where the kernel will not copy between the two, the bytes go through our own buffers.
    QTemporaryDir memory(QStringLiteral("/dev/shm/transferfiles-XXXXXX"));
    QTemporaryDir disk;
    if (!memory.isValid() || deviceOf(memory.path()) == deviceOf(disk.path()))
        GTEST_SKIP() << "no second file system to copy from";
    writeFile(memory.filePath(QStringLiteral("source")), kBig);
    expectFaithfulCopy(memory.filePath(QStringLiteral("source")), disk.filePath(QStringLiteral("copy")));
}

TEST(TransferFiles, AStoppedOrRefusedCopyLeavesNothingOfItsOwn)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source"));
    writeFile(source, kBig);

    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(copyFileHashing(source, dir.filePath(QStringLiteral("stopped")), stop.get_token()), CancelledError);
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("stopped"))));

    // Never over an existing file, which stays as it was.
    const QString taken = dir.filePath(QStringLiteral("taken"));
    writeFile(taken, "mine");
    EXPECT_THROW(copyFileHashing(source, taken), LocalFileError);
    EXPECT_EQ(readFile(taken), QByteArray("mine"));

    EXPECT_THROW(copyFileHashing(dir.filePath(QStringLiteral("missing")), dir.filePath(QStringLiteral("copy"))),
                 LocalFileError);
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("copy"))));
}

// The source is taken only as the file itself: never through a link at its name, and, when
// the caller names the version it hashed, only while the open file is that version (a link
// put in place of a folder on the way leads to another file, with another stamp).
TEST(TransferFiles, ASourceIsCopiedOnlyAsTheVersionNamed)
{
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    const QString outside = elsewhere.filePath(QStringLiteral("take.wav"));
    writeFile(outside, "outside");
    const QString link = dir.filePath(QStringLiteral("take.wav"));
    ASSERT_TRUE(QFile::link(outside, link));
    const auto refused = test::failureOf<LocalFileError>(
        [&] { copyFileHashing(link, dir.filePath(QStringLiteral("copy"))); });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->errorNumber(), ELOOP);

    const QString own = dir.filePath(QStringLiteral("own.wav"));
    writeFile(own, kBig);
    struct stat status{};
    ASSERT_EQ(::lstat(QFile::encodeName(own).constData(), &status), 0);
    const FileStamp hashed = FileStamp::of(status);
    // The same path now holds another file: nothing of it is copied.
    ASSERT_TRUE(QFile::rename(own, dir.filePath(QStringLiteral("own-before.wav"))));
    writeFile(own, content(4096));
    EXPECT_THROW(copyFileHashing(own, dir.filePath(QStringLiteral("other")), {}, {}, hashed),
                 LibraryAPIClient::ContentChangedError);
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("other"))));
    EXPECT_THROW(copyFileHashing(link, dir.filePath(QStringLiteral("linked")), {}, {}, hashed),
                 LibraryAPIClient::ContentChangedError);
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("linked"))));

    // The version named is copied as ever.
    const QString before = dir.filePath(QStringLiteral("own-before.wav"));
    EXPECT_EQ(copyFileHashing(before, dir.filePath(QStringLiteral("copy")), {}, {}, hashed).size, kBig.size());
    EXPECT_TRUE(readFile(dir.filePath(QStringLiteral("copy"))) == kBig);
}
