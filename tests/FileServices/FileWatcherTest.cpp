#include "FileServices/FileWatcher.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using quillmere::FileWatcher;
using quillmere::test::runFor;
using quillmere::test::runUntil;
using quillmere::test::writeFile;

namespace {

constexpr auto window = 100ms;

// Batches arrive on the watcher's thread; the test reads them from its own.
class Batches
{
public:
    FileWatcher::Callback callback()
    {
        return [this](const QSet<QString> &paths) {
            std::lock_guard lock(m_mutex);
            m_batches.push_back(paths);
        };
    }
    std::vector<QSet<QString>> all() const
    {
        std::lock_guard lock(m_mutex);
        return m_batches;
    }
    QSet<QString> seen() const
    {
        QSet<QString> all;
        for (const auto &batch : this->all())
            all.unite(batch);
        return all;
    }
    bool waitFor(const QStringList &paths, std::chrono::milliseconds timeout = 5s) const
    {
        return runUntil([&] { return seen().contains(QSet<QString>(paths.begin(), paths.end())); }, timeout);
    }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_batches.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<QSet<QString>> m_batches;
};

void rename(const QString &from, const QString &to)
{
    ASSERT_EQ(::rename(qPrintable(from), qPrintable(to)), 0) << from.toStdString();
}

class FileWatcherTest : public ::testing::Test
{
protected:
    QTemporaryDir temp;
    Batches batches;
    FileWatcher watcher{batches.callback(), window};

    QString root() const { return temp.path(); }
    QString at(const QString &relative) const { return root() + u'/' + relative; }

    // Sub-folders present at start are watched from the watcher's thread; a probe that gets
    // reported proves the watch is there. Leaves no batches behind.
    void waitUntilWatched(const QString &dir)
    {
        bool watched = false;
        for (int i = 0; i < 100 && !watched; ++i) {
            const QString probe = dir + "/probe" + QString::number(i);
            writeFile(probe);
            watched = batches.waitFor({probe}, 50ms);
        }
        ASSERT_TRUE(watched) << dir.toStdString();
        runFor(window * 3);
        batches.clear();
    }
};

TEST_F(FileWatcherTest, ReportsCreationChangeRenameAndRemoval)
{
    watcher.start(root());
    const auto reported = [&](const QStringList &paths) {
        const bool all = batches.waitFor(paths);
        batches.clear();
        return all;
    };
    writeFile(at("a.wav"));
    ASSERT_TRUE(reported({at("a.wav")}));
    writeFile(at("a.wav"), "more", QIODevice::Append);
    ASSERT_TRUE(reported({at("a.wav")}));
    rename(at("a.wav"), at("b.wav"));
    ASSERT_TRUE(reported({at("a.wav"), at("b.wav")}));
    ASSERT_TRUE(QFile::remove(at("b.wav")));
    ASSERT_TRUE(batches.waitFor({at("b.wav")}));
    EXPECT_EQ(batches.seen(), QSet<QString>{at("b.wav")});
}

TEST_F(FileWatcherTest, MergesOneWindowIntoOneBatchAndDropsAttributeChanges)
{
    FileWatcher slow(batches.callback(), 400ms);
    writeFile(at("take.wav"));
    slow.start(root());
    for (int i = 0; i < 10; ++i)
        writeFile(at("take.wav"), QByteArray::number(i), QIODevice::Append);
    writeFile(at("other.wav"));
    ASSERT_TRUE(batches.waitFor({at("take.wav"), at("other.wav")}));
    runFor(600ms);
    ASSERT_EQ(batches.all().size(), 1u);
    EXPECT_EQ(batches.all().front(), (QSet<QString>{at("take.wav"), at("other.wav")}));
    batches.clear();

    ASSERT_EQ(chmod(qPrintable(at("take.wav")), 0600), 0);
    ASSERT_EQ(truncate(qPrintable(at("other.wav")), 0), 0); // a real change, as a marker
    ASSERT_TRUE(batches.waitFor({at("other.wav")}));
    runFor(600ms);
    EXPECT_EQ(batches.seen(), QSet<QString>{at("other.wav")});
}

// Made while the watcher is still starting: files written before a folder's watch landed are
// reported from its listing.
TEST_F(FileWatcherTest, FilesInsideANewFolderAreReportedAndTheFolderIsWatched)
{
    watcher.start(root());
    QStringList expected;
    ASSERT_TRUE(QDir().mkpath(at("Song/Audio/Bounces")));
    for (const QString dir : {"Song", "Song/Audio", "Song/Audio/Bounces"}) {
        for (int i = 0; i < 20; ++i) {
            expected << at(dir + "/f" + QString::number(i) + ".wav");
            writeFile(expected.back());
        }
    }
    ASSERT_TRUE(batches.waitFor(expected));
    batches.clear();

    writeFile(at("Song/Audio/Bounces/later.wav"));
    EXPECT_TRUE(batches.waitFor({at("Song/Audio/Bounces/later.wav")}));
}

TEST_F(FileWatcherTest, FoldersMovedInRenamedOrMovedOutAreWatchedUnderTheirNewPlace)
{
    QTemporaryDir outside;
    const QString prepared = outside.path() + "/Session";
    writeFile(prepared + "/mix.als");
    writeFile(prepared + "/Audio/vox.wav");
    writeFile(prepared + "/Audio/.asd");
    ASSERT_TRUE(QDir().mkpath(at("Old/Deep")));
    ASSERT_TRUE(QDir().mkpath(at("Gone")));
    watcher.start(root());
    waitUntilWatched(at("Old/Deep"));
    waitUntilWatched(at("Gone"));

    // Moved in from outside: reported with its files, and watched.
    rename(prepared, at("Session"));
    ASSERT_TRUE(batches.waitFor({at("Session"), at("Session/mix.als"), at("Session/Audio/vox.wav")}));
    EXPECT_FALSE(batches.seen().contains(at("Session/Audio/.asd")));
    // Renamed inside the tree, and moved out of it.
    rename(at("Old"), at("New"));
    rename(at("Gone"), outside.path() + "/Gone");
    ASSERT_TRUE(batches.waitFor({at("Old"), at("New"), at("Gone")}));
    runFor(window * 3);
    batches.clear();

    writeFile(at("Session/Audio/gtr.wav"));
    writeFile(at("New/Deep/kick.wav"));
    writeFile(outside.path() + "/Gone/after.wav");
    ASSERT_TRUE(batches.waitFor({at("Session/Audio/gtr.wav"), at("New/Deep/kick.wav")}));
    runFor(window * 3);
    EXPECT_EQ(batches.seen(), (QSet<QString>{at("Session/Audio/gtr.wav"), at("New/Deep/kick.wav")}));
}

TEST_F(FileWatcherTest, HiddenPathsLinksAndOwnTemporariesAreNotReported)
{
    ASSERT_TRUE(QDir().mkpath(at(".git")));
    watcher.start(root());
    writeFile(at(".DS_Store"));
    writeFile(at(".git/index"));
    writeFile(at("mix.quillmere-tmp.wav"));
    ASSERT_TRUE(QDir().mkpath(at(".cache/sub")));
    writeFile(at(".cache/sub/x.wav"));
    ASSERT_EQ(symlink(qPrintable(root()), qPrintable(at("loop"))), 0);
    ASSERT_EQ(symlink("/nonexistent", qPrintable(at("dangling.wav"))), 0);
    writeFile(at("marker.wav"));
    ASSERT_TRUE(batches.waitFor({at("marker.wav")}));
    runFor(window * 3);
    EXPECT_EQ(batches.seen(), QSet<QString>{at("marker.wav")});
}

TEST_F(FileWatcherTest, RootRemovedMovedOrMissingAtTheStartIsReportedAsTheRoot)
{
    const QString tree = at("tree");
    ASSERT_TRUE(QDir().mkpath(tree + "/sub"));
    watcher.start(tree);
    ASSERT_TRUE(QDir(tree).removeRecursively());
    EXPECT_TRUE(batches.waitFor({tree}));

    ASSERT_TRUE(QDir().mkpath(tree));
    batches.clear();
    watcher.start(tree);
    rename(tree, at("elsewhere"));
    ASSERT_TRUE(batches.waitFor({tree}));
    batches.clear();
    // Nothing under the new name would be reported under the right path: nothing is.
    writeFile(at("elsewhere/late.wav"));
    runFor(window * 3);
    EXPECT_TRUE(batches.all().empty());

    // Gone, or a file in its place, before the watch could be set: reported all the same, once.
    watcher.start(tree);
    ASSERT_TRUE(batches.waitFor({tree}));
    writeFile(at("file"));
    watcher.start(at("file"));
    ASSERT_TRUE(batches.waitFor({at("file")}));
    runFor(window * 3);
    EXPECT_EQ(batches.all().size(), 2u);
}

TEST_F(FileWatcherTest, NothingIsDeliveredAfterStopEvenFromTheCallbackAndASecondStartReplacesTheFirst)
{
    watcher.stop(); // idle: harmless
    watcher.start(root());
    writeFile(at("pending.wav"));
    runFor(10ms); // the change sits in the open window
    watcher.stop();
    watcher.stop();
    runFor(window * 3);
    EXPECT_TRUE(batches.all().empty());

    QTemporaryDir second;
    watcher.start(root());
    watcher.start(second.path());
    writeFile(at("first.wav"));
    writeFile(second.path() + "/second.wav");
    ASSERT_TRUE(batches.waitFor({second.path() + "/second.wav"}));
    runFor(window * 3);
    EXPECT_EQ(batches.seen(), QSet<QString>{second.path() + "/second.wav"});

    // Stopped from within its own callback: no deadlock, and nothing more.
    std::atomic<int> calls = 0;
    std::unique_ptr<FileWatcher> selfStopping;
    selfStopping = std::make_unique<FileWatcher>(
        [&](const QSet<QString> &) {
            ++calls;
            selfStopping->stop();
        },
        window);
    selfStopping->start(root());
    writeFile(at("one.wav"));
    ASSERT_TRUE(runUntil([&] { return calls == 1; }, 5s));
    writeFile(at("two.wav"));
    runFor(window * 3);
    EXPECT_EQ(calls, 1);
    selfStopping.reset();
}

} // namespace
