#include "Model/FolderPolicy.h"
#include "Model/SyncFolder.h"

#include <algorithm>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

using namespace quillmere;

namespace {

// What each mode and each kind did before the decisions had names, one row each: the lane's
// and the engine's behaviour rests on these, so a capability moved to another row is a fault.
struct ModeRow
{
    SyncFolderSyncMode mode;
    bool sendsLocalChanges, deletesAtService, appliesRemoteInFullSync, appliesFeed, localEditsSurviveDownload,
        downloadsWaitForOpenApplications;
};
constexpr ModeRow modeRows[] = {
    {SyncFolderSyncMode::uploadOnly, true, true, false, true, true, true},
    {SyncFolderSyncMode::bidirectional, true, true, true, true, true, true},
    {SyncFolderSyncMode::downloadOnly, false, false, true, true, false, false},
};

struct KindRow
{
    SyncFolderType kind;
    bool hasWatcher, mirrorsPlanLayout, flat, projectTree, audioLibrary;
};
constexpr KindRow kindRows[] = {
    {SyncFolderType::harborly, false, true, false, false, false},
    {SyncFolderType::references, true, false, false, false, true},
    {SyncFolderType::unorganisedAudio, true, false, true, false, true},
    {SyncFolderType::projectsFolder, true, false, false, true, false},
};

} // namespace

TEST(FolderPolicy, EveryModeAndKindGetsItsCapabilities)
{
    // Every value the store knows, so a mode or kind added later has no row and fails here.
    for (const auto &[mode, modeName] : EnumStrings<SyncFolderSyncMode>::table) {
        const auto modeRow = std::find_if(std::begin(modeRows), std::end(modeRows),
                                          [mode](const ModeRow &row) { return row.mode == mode; });
        ASSERT_NE(modeRow, std::end(modeRows)) << modeName;
        for (const auto &[kind, kindName] : EnumStrings<SyncFolderType>::table) {
            const auto kindRow = std::find_if(std::begin(kindRows), std::end(kindRows),
                                              [kind](const KindRow &row) { return row.kind == kind; });
            ASSERT_NE(kindRow, std::end(kindRows)) << kindName;
            SCOPED_TRACE(std::string(modeName) + " " + kindName);

            const FolderPolicy policy = FolderPolicy::of(mode, kind);
            EXPECT_EQ(policy.sendsLocalChanges, modeRow->sendsLocalChanges);
            EXPECT_EQ(policy.deletesAtService, modeRow->deletesAtService);
            EXPECT_EQ(policy.appliesRemoteInFullSync, modeRow->appliesRemoteInFullSync);
            EXPECT_EQ(policy.appliesFeed, modeRow->appliesFeed);
            EXPECT_EQ(policy.localEditsSurviveDownload, modeRow->localEditsSurviveDownload);
            EXPECT_EQ(policy.downloadsWaitForOpenApplications, modeRow->downloadsWaitForOpenApplications);
            EXPECT_EQ(policy.hasWatcher, kindRow->hasWatcher);
            EXPECT_EQ(policy.mirrorsPlanLayout, kindRow->mirrorsPlanLayout);
            EXPECT_EQ(policy.flat, kindRow->flat);
            EXPECT_EQ(policy.projectTree, kindRow->projectTree);
            EXPECT_EQ(policy.audioLibrary, kindRow->audioLibrary);
        }
    }
}

TEST(FolderPolicy, FolderAsksWithItsOwnModeAndKindAndOnlyTheFlatKindScopesToTheRoot)
{
    SyncFolder folder(QStringLiteral("Loops"), SyncFolderType::unorganisedAudio, QStringLiteral("/loops"),
                      {QStringLiteral(".wav")}, SyncFolderSyncMode::uploadOnly, true, 0, true, std::nullopt,
                      true, {});
    EXPECT_EQ(folder.policy(),
              FolderPolicy::of(SyncFolderSyncMode::uploadOnly, SyncFolderType::unorganisedAudio));
    EXPECT_TRUE(folder.scope().isFlat());

    folder.setFolderType(SyncFolderType::references);
    folder.setSyncMode(SyncFolderSyncMode::downloadOnly);
    EXPECT_EQ(folder.policy(),
              FolderPolicy::of(SyncFolderSyncMode::downloadOnly, SyncFolderType::references));
    EXPECT_FALSE(folder.scope().isFlat());
}
