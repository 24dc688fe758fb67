#include "StoreFixture.h"

#include "Model/DAWConfiguration.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Model/SyncSettings.h"

#include <gtest/gtest.h>

using namespace quillmere;
using quillmere::test::StoreFixture;

TEST(RecordEnums, StoredStringsDifferFromCaseNamesAndCompareExactly)
{
    EXPECT_EQ(rawValue(SyncFolder::FolderType::references), QStringLiteral("reference"));
    EXPECT_EQ(rawValue(SyncFolder::FolderType::unorganisedAudio), QStringLiteral("unorganised"));
    EXPECT_EQ(rawValue(SyncFolder::FolderType::projectsFolder), QStringLiteral("drive"));
    EXPECT_EQ(rawValue(SyncRule::RulePriority::none), QStringLiteral("none_priority"));
    EXPECT_EQ(rawValue(SyncFolder::SyncMode::uploadOnly), QStringLiteral("upload_only"));
    EXPECT_EQ(fromRawValue<SyncFolder::FolderType>(QStringLiteral("drive")), SyncFolder::FolderType::projectsFolder);
    EXPECT_FALSE(fromRawValue<SyncFolder::FolderType>(QStringLiteral("references")));
    EXPECT_FALSE(fromRawValue<SyncRule::RulePriority>(QStringLiteral("none")));
    EXPECT_FALSE(fromRawValue<SyncFile::SyncStatus>(QStringLiteral("Synced")));
    const auto types = allCases<SyncFolder::FolderType>();
    ASSERT_EQ(types.size(), 4u);
    EXPECT_EQ(types.front(), SyncFolder::FolderType::harborly);
    EXPECT_EQ(types.back(), SyncFolder::FolderType::projectsFolder);
}

TEST(RecordInitialValues, NewRecordsHoldTheirInitialValues)
{
    SyncFile file(QStringLiteral("/a/b.wav"), QStringLiteral("b.wav"));
    EXPECT_EQ(file.syncStatus(), SyncFile::SyncStatus::pending);
    EXPECT_EQ(file.desiredState(), SyncFile::DesiredState::syncedLocal);
    EXPECT_EQ(file.syncDirection(), SyncFile::SyncDirection::upload);
    EXPECT_FALSE(file.folderID());

    SyncFolder a(QStringLiteral("A"), SyncFolder::FolderType::references, std::nullopt, {},
                 SyncFolder::SyncMode::bidirectional, false, 0, true, std::nullopt, true, {});
    SyncFolder b(QStringLiteral("B"), SyncFolder::FolderType::references, std::nullopt, {},
                 SyncFolder::SyncMode::bidirectional, false, 0, true, std::nullopt, true, {});
    EXPECT_FALSE(a.stableID().isNull());
    EXPECT_NE(a.stableID(), b.stableID());
    const QUuid given = QUuid::createUuid();
    SyncFolder c(QStringLiteral("C"), SyncFolder::FolderType::references, std::nullopt, {},
                 SyncFolder::SyncMode::bidirectional, false, 0, true, std::nullopt, true, {}, given);
    EXPECT_EQ(c.stableID(), given);

    EXPECT_EQ(a.defaultSyncPriority(), SyncRule::RulePriority::high);
    EXPECT_FALSE(a.storedDefaultSyncPriority());
    a.setDefaultSyncPriority(SyncRule::RulePriority::high);
    EXPECT_EQ(a.storedDefaultSyncPriority(), SyncRule::RulePriority::high);

    SyncSettings settings;
    EXPECT_EQ(settings.fileExtensions(), (QStringList{QStringLiteral(".wav"), QStringLiteral(".mp3")}));
    EXPECT_EQ(settings.syncMode(), SyncFolder::SyncMode::bidirectional);
}

using StoredValues = StoreFixture;

TEST_F(StoredValues, EveryFieldRoundTripsThroughTheStore)
{
    const QUuid folder = QUuid::createUuid();
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(1'700'000'000'123, Qt::UTC);
    {
        ModelContext context(container);
        auto file = context.insert(std::make_shared<SyncFile>(QStringLiteral("/x/ü.wav"), QStringLiteral("ü.wav")));
        file->setFolderID(folder);
        file->setDesiredState(std::nullopt);
        file->setLocalModifiedAt(when);
        file->setRemoteId(42);
        file->setSyncStatus(SyncFile::SyncStatus::conflict);
        auto rule = std::make_shared<SyncRule>(QStringLiteral("r"), true, 3, SyncRule::RuleConditionType::appRunning,
                                               QStringLiteral("App"), QStringLiteral("*"), SyncRule::RulePriority::none);
        context.insert(rule);
        context.save();
    }
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile WHERE folderID = '%1'")
                         .arg(folder.toString(QUuid::WithoutBraces).toUpper())),
              1);
    EXPECT_EQ(scalar(QStringLiteral("SELECT localModifiedAt FROM SyncFile")), 1'700'000'000'123'000'000LL);
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncRule WHERE actionPriority = 'none_priority'")), 1);

    ModelContext fresh(container);
    auto file = fresh.fetchFirst(SyncFile::withLocalPath(QStringLiteral("/x/ü.wav")));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->folderID(), folder);
    EXPECT_FALSE(file->desiredState()); // absent stays absent
    EXPECT_EQ(file->localModifiedAt(), when);
    EXPECT_EQ(file->remoteId(), 42);
    EXPECT_EQ(file->syncStatus(), SyncFile::SyncStatus::conflict);
    auto rules = fresh.fetch(SyncRule::sortedByOrder());
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0]->actionPriority(), SyncRule::RulePriority::none);
}

TEST_F(StoredValues, RowsWithoutValuesReadTheStoreDefaultsAndDamagedEnumsReadSafely)
{
    container->execute("INSERT INTO SyncFile (localPath, filename, syncDirection, syncStatus, fileSize) "
                       "VALUES ('/p', 'p', 'sideways', 'weird', 0)",
                       StoreError::Kind::saveFailed);
    container->execute("INSERT INTO SyncFolder (stableID, name, folderType, fileExtensions, syncMode, isEnabled, "
                       "sortOrder, allDAWs) VALUES ('X', 'f', 'drive', '[]', 'bidirectional', 1, 0, 0)",
                       StoreError::Kind::saveFailed);
    ModelContext context(container);
    auto file = context.fetchFirst(SyncFile::withLocalPath(QStringLiteral("/p")));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->desiredState(), SyncFile::DesiredState::syncedLocal);
    EXPECT_EQ(file->generation(), 0);
    EXPECT_EQ(file->retryCount(), 0);
    EXPECT_EQ(file->syncStatus(), SyncFile::SyncStatus::error);
    EXPECT_EQ(file->syncDirection(), SyncFile::SyncDirection::upload);
    auto folders = context.fetch(SyncFolder::all());
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_FALSE(folders[0]->needsResync());
    EXPECT_TRUE(folders[0]->applicationGuardsEnabled());
}
