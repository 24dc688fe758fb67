// The lane's path helpers: drive paths by folder kind, and the rename pairings that the
// watcher intake builds moves from.

#include "Lane/LaneTestSupport.h"

#include <gmock/gmock.h>

#include <QFile>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Pair = SyncLane::RenamePair;

class LaneHelpersTest : public LaneTest
{
};

TEST_F(LaneHelpersTest, DrivePathsExistOnlyInFoldersThatKeepSubfolders)
{
    struct Case
    {
        SyncFolderType kind;
        const char *name;
        bool keepsFolders;
    };
    for (const Case &c : {Case{SyncFolderType::projectsFolder, "Projects", true},
                          Case{SyncFolderType::references, "References", true},
                          Case{SyncFolderType::unorganisedAudio, "Unsorted", false},
                          Case{SyncFolderType::harborly, "Plans", false}}) {
        auto folder = h.addFolder(c.kind, SyncFolderSyncMode::bidirectional, QLatin1String(c.name));
        auto lane = h.makeLane(folder);
        const QString root = *folder->folderPath();
        SCOPED_TRACE(c.name);
        EXPECT_EQ(lane->relativePath(root + QStringLiteral("/A/B/take.wav")),
                  c.keepsFolders ? QStringLiteral("A/B") : QStringLiteral("."));
        EXPECT_EQ(lane->relativePath(root + QStringLiteral("/take.wav")), QStringLiteral("."));
        // A sibling whose name starts with the folder's is not inside it.
        EXPECT_EQ(lane->relativePath(root + QStringLiteral("2/A/take.wav")), QStringLiteral("."));
    }
}

TEST_F(LaneHelpersTest, RenamePairsFollowADirectoryAndNothingBesideIt)
{
    const QStringList tracked{QStringLiteral("/m/Old/z.wav"), QStringLiteral("/m/Old/Sub/a.wav"),
                              QStringLiteral("/m/Older/b.wav"), QStringLiteral("/m/Old"), QStringLiteral("/m/c.wav")};
    const auto expected = ElementsAre(Pair{QStringLiteral("/m/Old/Sub/a.wav"), QStringLiteral("/m/New/Sub/a.wav")},
                                      Pair{QStringLiteral("/m/Old/z.wav"), QStringLiteral("/m/New/z.wav")});
    EXPECT_THAT(SyncLane::renamePairs(QStringLiteral("/m/Old"), QStringLiteral("/m/New/"), tracked), expected);
    EXPECT_THAT(SyncLane::renamePairs(QStringLiteral("/m/Old/"), QStringLiteral("/m/New"), tracked), expected);
    EXPECT_THAT(SyncLane::renamePairs(QStringLiteral("/m/Gone"), QStringLiteral("/m/New"), tracked), IsEmpty());
}

TEST_F(LaneHelpersTest, InodePairsAreMovesOfOneInodeSortedByOldPath)
{
    const QHash<qint64, QString> before{{1, QStringLiteral("/m/b.wav")},
                                        {2, QStringLiteral("/m/a.wav")},
                                        {3, QStringLiteral("/m/same.wav")},
                                        {4, QStringLiteral("/m/deleted.wav")}};
    const QHash<qint64, QString> after{{1, QStringLiteral("/m/B/b.wav")},
                                       {2, QStringLiteral("/m/z.wav")},
                                       {3, QStringLiteral("/m/same.wav")},
                                       {5, QStringLiteral("/m/created.wav")}};
    EXPECT_THAT(SyncLane::inodeRenamePairs(before, after),
                ElementsAre(Pair{QStringLiteral("/m/a.wav"), QStringLiteral("/m/z.wav")},
                            Pair{QStringLiteral("/m/b.wav"), QStringLiteral("/m/B/b.wav")}));
}

TEST_F(LaneHelpersTest, RenamedPathsExistOnlyWhenEveryNewPathHoldsSomething)
{
    const QString root = h.rootPath;
    writeFile(root + QStringLiteral("/New/a.wav"));
    ASSERT_TRUE(QFile::link(root + QStringLiteral("/nowhere"), root + QStringLiteral("/New/link.wav")));
    const QStringList tracked{root + QStringLiteral("/Old/a.wav"), root + QStringLiteral("/Old/link.wav"),
                              root + QStringLiteral("/Else/x.wav")};

    // A dangling link still stands at its path.
    EXPECT_TRUE(SyncLane::allRenamedPathsExist(root + QStringLiteral("/Old"), root + QStringLiteral("/New"), tracked));
    EXPECT_FALSE(SyncLane::allRenamedPathsExist(root + QStringLiteral("/Old"), root + QStringLiteral("/New"),
                                                tracked + QStringList{root + QStringLiteral("/Old/missing.wav")}));
    EXPECT_TRUE(SyncLane::allRenamedPathsExist(root + QStringLiteral("/None"), root + QStringLiteral("/New"), tracked));
}

} // namespace
