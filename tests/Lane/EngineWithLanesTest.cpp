#include "Lane/LaneTestSupport.h"

#include "Engine/SyncEngine.h"

#include <gmock/gmock.h>

#include <QDir>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// The engine as the application runs it, over the real lanes of the lane layer.
class EngineWithLanesTest : public LaneTest
{
protected:
    void SetUp() override
    {
        LaneTest::SetUp();
        QObject::connect(engine.get(), &SyncEngine::syncStateChanged, &logWatch,
                         [this] { announced.push_back(engine->syncState().kind); });
    }
    // The storage check of a start must not outlive the harness's service and clock.
    void TearDown() override
    {
        engine->stop();
        EXPECT_TRUE(runUntil([&] { return !engine->isStorageMonitorRunning(); }));
    }

    std::vector<std::shared_ptr<SyncLane>> realLanes() const
    {
        std::vector<std::shared_ptr<SyncLane>> lanes;
        for (const auto &lane : engine->lanes())
            lanes.push_back(std::dynamic_pointer_cast<SyncLane>(lane));
        return lanes;
    }

    std::unique_ptr<SyncEngine> engine = h.makeEngine();
    // The engine's state at each change it announced.
    std::vector<SyncEngineState::Kind> announced;
};

TEST_F(EngineWithLanesTest, StartMakesALanePerFolderWithALocationWhichSyncsAndStopEndsThemAll)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    auto stems = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Stems"));
    auto nowhere = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Nowhere"));
    nowhere->setFolderPath(std::nullopt);
    h.context->save();
    writeFile(*loops->folderPath() + QStringLiteral("/take.wav"), "RIFF take");

    engine->start();
    const auto lanes = realLanes();
    ASSERT_EQ(lanes.size(), 2u);
    ASSERT_TRUE(lanes[0] && lanes[1]);
    EXPECT_EQ(lanes[0]->laneID(), loops->stableID());
    EXPECT_EQ(lanes[1]->laneID(), stems->stableID());
    h.runUntilIdle(*engine);

    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("RIFF take")}}));
    EXPECT_THAT(announced, Contains(SyncEngineState::Kind::syncing));
    EXPECT_EQ(engine->syncState(), SyncEngineState::idle());
    EXPECT_TRUE(lanes[0]->hasFileWatcher() && lanes[1]->hasFileWatcher());
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore + 2);

    engine->stop();
    EXPECT_THAT(engine->lanes(), IsEmpty());
    for (const auto &lane : lanes) {
        EXPECT_FALSE(lane->hasFileWatcher());
        EXPECT_TRUE(lane->isSettled());
    }
    EXPECT_EQ(LaneHarness::inotifyInstances(), inotifyBefore);
    // Nothing of the stopped lanes acts on a change any more.
    writeFile(*stems->folderPath() + QStringLiteral("/late.wav"), "RIFF late");
    runFor(std::chrono::milliseconds(300));
    EXPECT_FALSE(lanes[1]->hasLocalChanges());
    EXPECT_EQ(h.serviceFiles().size(), 1u);
    EXPECT_EQ(engine->syncState(), SyncEngineState::idle());
}

// An unplugged drive or another folder at the path shows in the tray from the start.
TEST_F(EngineWithLanesTest, AFolderThatLostItsAccessBeforeTheStartIsTheEnginesError)
{
    auto folder = h.addFolder(SyncFolderType::projectsFolder);
    const QString path = *folder->folderPath();
    // Another folder at its path: made before the first goes, so it is another inode.
    ASSERT_TRUE(QDir().mkpath(path + QStringLiteral(".other")));
    ASSERT_TRUE(QDir(path).removeRecursively());
    ASSERT_TRUE(QDir().rename(path + QStringLiteral(".other"), path));

    engine->start();
    h.runUntilIdle(*engine);

    ASSERT_EQ(realLanes().size(), 1u);
    EXPECT_EQ(realLanes()[0]->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));
    EXPECT_EQ(engine->syncState(), SyncEngineState::error(SyncLane::accessLostMessage()));
    EXPECT_THAT(announced, ElementsAre(SyncEngineState::Kind::error));
    EXPECT_THAT(h.destructiveRequests(), IsEmpty());
}

// A 507 stops the uploads of the lane that met it; bytes the service takes show there is room
// again, before any storage check says so.
TEST_F(EngineWithLanesTest, AnUploadThatGoesThroughEndsStorageFull)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    writeFile(*loops->folderPath() + QStringLiteral("/take.wav"), "RIFF take");
    h.fake.answerNext("/api/v1/storage", 500, R"({"message":"busy"})", -1);
    engine->handleStorageFull();

    engine->start();
    h.runUntilIdle(*engine);
    ASSERT_EQ(h.serviceFiles().size(), 1u);
    EXPECT_FALSE(engine->isStorageFull());
}

// An upload refused for storage is not lost: the first storage check that finds room (the
// monitor's, every 300 s) owes it again and the lane sends it.
TEST_F(EngineWithLanesTest, UploadsRefusedForStorageGoOnceACheckFindsRoom)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    writeFile(*loops->folderPath() + QStringLiteral("/take.wav"), "RIFF take");
    h.fake.storageFullNext("/api/v1/files/check-hash");

    engine->start();
    h.runUntilIdle(*engine);
    ASSERT_TRUE(engine->isStorageFull());
    ASSERT_TRUE(h.serviceFiles().empty());
    ASSERT_FALSE(engine->syncErrors().isEmpty());

    h.clock.advance(SyncEngine::storageCheckInterval);
    ASSERT_TRUE(runUntil([&] { return !engine->isStorageFull(); }));
    h.runUntilIdle(*engine);
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("RIFF take")}}));
    EXPECT_THAT(engine->syncErrors(), IsEmpty());
    EXPECT_FALSE(engine->lastError());
}

// A first sync the service failed (503) is the engine's error until a try goes through: a
// network change already tries again, and the pass that goes through clears the error.
TEST_F(EngineWithLanesTest, AFullSyncTheServiceFailedIsShownUntilATryGoesThrough)
{
    auto loops = h.addFolder(SyncFolderType::projectsFolder);
    writeFile(*loops->folderPath() + QStringLiteral("/take.wav"), "RIFF take");
    h.fake.answerNext("/api/v1/files/library", 503, R"({"message":"busy"})");

    engine->start();
    ASSERT_TRUE(runUntil([&] { return engine->syncState().isError(); }));
    const auto lane = realLanes().at(0);
    ASSERT_TRUE(runUntil([&] { return lane->fullSyncRetryTask().isRunning() && !lane->syncTask().isRunning(); }));
    EXPECT_TRUE(engine->syncState().isError());
    EXPECT_TRUE(engine->lastError());
    EXPECT_TRUE(h.serviceFiles().empty());

    const auto before = h.clock.now();
    engine->handleNetworkChange();
    h.runUntilIdle(*engine);
    EXPECT_LT(h.clock.now() - before, Clock::Duration(std::chrono::seconds(60)));
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("RIFF take")}}));
    EXPECT_EQ(engine->syncState(), SyncEngineState::idle());
    EXPECT_FALSE(engine->lastError());
}

} // namespace
