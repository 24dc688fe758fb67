#include "FileServices/ChecksumCache.h"
#include "FileServices/FileChecksum.h"
#include "Platform/Async/CancelledError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

using quillmere::CancelledError;
using quillmere::ChecksumCache;
using quillmere::checksumsConcurrently;
using quillmere::computeFileChecksumSync;
using quillmere::test::await;
using quillmere::test::writeFile;

namespace {

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Reads through the real checksum, counting them per path.
struct CountingHash
{
    std::mutex mutex;
    std::map<QString, int> reads;
    std::function<void(const QString &)> during;

    ChecksumCache::HashFunction function()
    {
        return [this](const QString &path, std::stop_token stop) {
            {
                std::lock_guard lock(mutex);
                ++reads[path];
            }
            if (during)
                during(path);
            return computeFileChecksumSync(path, std::move(stop));
        };
    }
    int of(const QString &path)
    {
        std::lock_guard lock(mutex);
        return reads[path];
    }
};

void setModified(const QString &path, qint64 seconds)
{
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

TEST(ChecksumCache, AHeldChecksumIsGivenOnlyForTheVersionItWasTakenOf)
{
    QTemporaryDir dir;
    CountingHash counting;
    ChecksumCache cache(counting.function());
    const QString path = dir.filePath(QStringLiteral("take.wav"));
    writeFile(path, "first take");
    setModified(path, 1'000'000);

    const auto first = cache.checksum(path, {});
    ASSERT_TRUE(first);
    EXPECT_EQ(first->checksum, sha256("first take"));
    EXPECT_EQ(cache.checksum(path, {}), first);
    EXPECT_EQ(counting.of(path), 1) << "an unchanged file was read again";
    EXPECT_EQ(cache.held(path), first);

    // Rewritten in place at the same size; only the time tells.
    writeFile(path, "other take");
    setModified(path, 1'000'001);
    EXPECT_EQ(cache.checksum(path, {})->checksum, sha256("other take"));
    EXPECT_EQ(counting.of(path), 2);

    // Replaced by a rename at the same size and even the same time: another inode.
    const QString replacement = dir.filePath(QStringLiteral("take.tmp"));
    writeFile(replacement, "third take");
    setModified(replacement, 1'000'001);
    ASSERT_EQ(std::rename(QFile::encodeName(replacement).constData(), QFile::encodeName(path).constData()), 0);
    EXPECT_EQ(cache.checksum(path, {})->checksum, sha256("third take"));
    EXPECT_EQ(counting.of(path), 3);

    // Gone, or no regular file: nothing, and nothing held any more.
    QFile::remove(path);
    EXPECT_FALSE(cache.checksum(path, {}));
    EXPECT_FALSE(cache.held(path));
    EXPECT_FALSE(cache.checksum(dir.path(), {}));
}

// A link is no file of its own: neither in the file's place nor, for a folder's file, in
// place of a folder on the way to it, nor on another file system than the folder's.
TEST(ChecksumCache, ALinkIsNoRegularFile)
{
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    writeFile(elsewhere.filePath(QStringLiteral("Kit/hat.wav")), "outside");
    const QString root = dir.filePath(QStringLiteral("Loops"));
    writeFile(root + QStringLiteral("/Own/kick.wav"), "kick");
    ASSERT_TRUE(QFile::link(elsewhere.filePath(QStringLiteral("Kit/hat.wav")), root + QStringLiteral("/hat.wav")));
    ASSERT_TRUE(QFile::link(elsewhere.filePath(QStringLiteral("Kit")), root + QStringLiteral("/Kit")));

    ChecksumCache cache;
    EXPECT_FALSE(quillmere::regularFileStamp(root + QStringLiteral("/hat.wav")));
    EXPECT_FALSE(cache.checksum(root + QStringLiteral("/hat.wav"), {}));
    EXPECT_FALSE(quillmere::regularFileStampBelow(root, root + QStringLiteral("/hat.wav")));
    EXPECT_FALSE(quillmere::regularFileStampBelow(root, root + QStringLiteral("/Kit/hat.wav")));
    EXPECT_FALSE(quillmere::regularFileStampBelow(root, root + QStringLiteral("/Own")));
    EXPECT_FALSE(quillmere::regularFileStampBelow(root, root + QStringLiteral("/gone.wav")));
    const auto own = quillmere::regularFileStampBelow(root, root + QStringLiteral("/Own/kick.wav"));
    ASSERT_TRUE(own);
    EXPECT_EQ(own, quillmere::regularFileStamp(root + QStringLiteral("/Own/kick.wav")));
    EXPECT_EQ(own->size, 4);
    // The folder itself may be reached through a link the user chose.
    ASSERT_TRUE(QFile::link(root, dir.filePath(QStringLiteral("Shortcut"))));
    EXPECT_EQ(quillmere::regularFileStampBelow(dir.filePath(QStringLiteral("Shortcut")),
                                               dir.filePath(QStringLiteral("Shortcut/Own/kick.wav"))),
              own);
}

TEST(ChecksumCache, AFileChangedWhileItIsReadGetsNoChecksum)
{
    QTemporaryDir dir;
    CountingHash counting;
    const QString path = dir.filePath(QStringLiteral("busy.wav"));
    writeFile(path, "before");
    setModified(path, 2'000'000);
    bool rewrite = true;
    counting.during = [&](const QString &) {
        if (std::exchange(rewrite, false)) {
            writeFile(path, "after, and longer");
            setModified(path, 2'000'001);
        }
    };
    ChecksumCache cache(counting.function());
    EXPECT_FALSE(cache.checksum(path, {}));
    EXPECT_FALSE(cache.held(path)) << "a checksum of no one version was kept";
    EXPECT_EQ(cache.checksum(path, {})->checksum, sha256("after, and longer"));
}

TEST(ChecksumCache, ConcurrentChecksumsKeepTheirOrderUseAtMostFourWorkersAndStop)
{
    QTemporaryDir dir;
    QStringList paths;
    for (int i = 0; i < 12; ++i) {
        paths.append(dir.filePath(QStringLiteral("f%1.wav").arg(i)));
        writeFile(paths.back(), QByteArray::number(i));
    }
    paths.insert(5, dir.filePath(QStringLiteral("missing.wav")));

    std::atomic<int> running{0};
    std::atomic<int> most{0};
    CountingHash counting;
    counting.during = [&](const QString &) {
        const int now = ++running;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        --running;
    };
    auto cache = std::make_shared<ChecksumCache>(counting.function());
    const auto results = await(checksumsConcurrently(cache, paths, {}));
    ASSERT_EQ(results.size(), paths.size());
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (i == 5) {
            EXPECT_FALSE(results[i]);
            continue;
        }
        ASSERT_TRUE(results[i]) << i;
        EXPECT_EQ(results[i]->checksum, sha256(QByteArray::number(i < 5 ? i : i - 1))) << i;
    }
    EXPECT_LE(most.load(), 4);
    EXPECT_GE(most.load(), 2) << "the files were hashed one after another";

    // The workers share the caller's list, which another holder still shares in turn: reading
    // it must never detach it under the other workers.
    QStringList many;
    for (int i = 0; i < 400; ++i)
        many.append(dir.filePath(QStringLiteral("absent-%1.wav").arg(i)));
    auto plain = std::make_shared<ChecksumCache>();
    for (int round = 0; round < 50; ++round) {
        const QStringList alsoHeld = many;
        const auto none = await(checksumsConcurrently(plain, alsoHeld, {}));
        ASSERT_EQ(none.size(), many.size());
        EXPECT_TRUE(std::none_of(none.begin(), none.end(), [](const auto &taken) { return taken.has_value(); }));
    }

    std::stop_source stop;
    stop.request_stop();
    auto fresh = std::make_shared<ChecksumCache>(counting.function());
    EXPECT_THROW(await(checksumsConcurrently(fresh, paths, stop.get_token())), CancelledError);
}

} // namespace
