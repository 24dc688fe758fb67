#include "StoreFixture.h"

#include "Model/DAWConfiguration.h"
#include "Model/MultipartUploadState.h"
#include "Model/OperationResolution.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Model/SyncSettings.h"

#include <cstdlib>
#include <functional>
#include <limits>
#include <map>

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

// A damaged or foreign store may hold any value in any column.
TEST(StoredColumns, RealsAndExtremeTimesReadAsValuesThatWriteBack)
{
    // As SQLite casts a real: its whole part, saturated; NaN is 0. (Read from text, as a
    // column is: a constant would be folded by the compiler, which saturates on its own.)
    const std::pair<const char *, qint64> reals[] = {{"1e300", std::numeric_limits<qint64>::max()},
                                                     {"-1e300", std::numeric_limits<qint64>::min()},
                                                     {"nan", 0},
                                                     {"-2.9", -2}};
    for (const auto &[text, expected] : reals) {
        qint64 number = 1;
        sql::decode(SqlValue(std::strtod(text, nullptr)), number);
        EXPECT_EQ(number, expected) << text;
    }

    for (const SqlValue &stored : {SqlValue(std::numeric_limits<qint64>::min()), SqlValue(std::numeric_limits<qint64>::max()),
                                   SqlValue(std::strtod("-1e300", nullptr)), SqlValue(qint64(-1))}) {
        QDateTime read;
        sql::decode(stored, read);
        QDateTime again;
        sql::decode(sql::encode(read), again);
        EXPECT_TRUE(read.isValid());
        EXPECT_EQ(again, read) << read.toString(Qt::ISODateWithMs).toStdString();
    }
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

namespace {

// A record's stored fields by column name, as the store must hold them. The names are
// written out here, apart from the layouts, so that a column written under another
// field's name fails.
using Columns = std::map<QString, SqlValue>;

QDateTime at(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

Columns columnsOf(const SyncFile &f)
{
    return {
        {"localPath", sql::encode(f.localPath())},
        {"remoteId", sql::encode(f.remoteId())},
        {"filename", sql::encode(f.filename())},
        {"localChecksum", sql::encode(f.localChecksum())},
        {"remoteChecksum", sql::encode(f.remoteChecksum())},
        {"lfsOid", sql::encode(f.lfsOid())},
        {"localModifiedAt", sql::encode(f.localModifiedAt())},
        {"remoteModifiedAt", sql::encode(f.remoteModifiedAt())},
        {"lastSyncedAt", sql::encode(f.lastSyncedAt())},
        {"syncDirection", sql::encode(f.syncDirection())},
        {"syncStatus", sql::encode(f.syncStatus())},
        {"errorMessage", sql::encode(f.errorMessage())},
        {"fileSize", sql::encode(f.fileSize())},
        {"folderID", sql::encode(f.folderID())},
        {"desiredState", sql::encode(f.desiredState())},
        {"generation", sql::encode(f.generation())},
        {"retryCount", sql::encode(f.retryCount())},
        {"nextRetryAt", sql::encode(f.nextRetryAt())},
        {"fileUUID", sql::encode(f.fileUUID())},
        {"baseCommitSha", sql::encode(f.baseCommitSha())},
        {"inode", sql::encode(f.inode())},
        {"conflictID", sql::encode(f.conflictID())},
        {"conflictType", sql::encode(f.conflictType())},
        {"conflictCommonAncestor", sql::encode(f.conflictCommonAncestor())},
        {"conflictServerOid", sql::encode(f.conflictServerOid())},
        {"conflictMessage", sql::encode(f.conflictMessage())},
    };
}

Columns columnsOf(const SyncFolder &f)
{
    return {
        {"stableID", sql::encode(f.stableID())},
        {"name", sql::encode(f.name())},
        {"folderType", sql::encode(f.folderType())},
        {"folderPath", sql::encode(f.folderPath())},
        {"fileExtensions", sql::encode(f.fileExtensions())},
        {"syncMode", sql::encode(f.syncMode())},
        {"isEnabled", sql::encode(f.isEnabled())},
        {"sortOrder", sql::encode(f.sortOrder())},
        {"needsResync", sql::encode(f.needsResync())},
        {"deltaCursor", sql::encode(f.deltaCursor())},
        {"headCommitSha", sql::encode(f.headCommitSha())},
        {"allDAWs", sql::encode(f.allDAWs())},
        {"applicationGuardsEnabled", sql::encode(f.applicationGuardsEnabled())},
        {"storedDefaultSyncPriority", sql::encode(f.storedDefaultSyncPriority())},
    };
}

Columns columnsOf(const SyncSettings &s)
{
    return {
        {"launchAtLogin", sql::encode(s.launchAtLogin())},
        {"lastDeltaSyncCursor", sql::encode(s.lastDeltaSyncCursor())},
        {"pauseUntil", sql::encode(s.pauseUntil())},
        {"syncFolderPath", sql::encode(s.syncFolderPath())},
        {"fileExtensions", sql::encode(s.fileExtensions())},
        {"syncMode", sql::encode(s.syncMode())},
    };
}

Columns columnsOf(const DAWConfiguration &d)
{
    return {
        {"appName", sql::encode(d.appName())},
        {"appBundlePath", sql::encode(d.appBundlePath())},
        {"priorityWhenOpen", sql::encode(d.priorityWhenOpen())},
        {"priorityWhenClosed", sql::encode(d.priorityWhenClosed())},
        {"isEnabled", sql::encode(d.isEnabled())},
        {"sortOrder", sql::encode(d.sortOrder())},
    };
}

Columns columnsOf(const SyncRule &r)
{
    const auto daw = r.dawConfiguration();
    return {
        {"name", sql::encode(r.name())},
        {"isEnabled", sql::encode(r.isEnabled())},
        {"sortOrder", sql::encode(r.sortOrder())},
        {"conditionType", sql::encode(r.conditionType())},
        {"conditionValue", sql::encode(r.conditionValue())},
        {"actionLocation", sql::encode(r.actionLocation())},
        {"actionPriority", sql::encode(r.actionPriority())},
        {"dawConfiguration", daw ? SqlValue(daw->persistentID()) : SqlValue()},
    };
}

Columns columnsOf(const OperationResolution &o)
{
    return {
        {"id", sql::encode(o.id())},
        {"fileUUID", sql::encode(o.fileUUID())},
        {"operationType", sql::encode(o.operationType())},
        {"beforePath", sql::encode(o.beforePath())},
        {"beforeChecksum", sql::encode(o.beforeChecksum())},
        {"beforeBaseCommitSha", sql::encode(o.beforeBaseCommitSha())},
        {"afterPath", sql::encode(o.afterPath())},
        {"afterChecksum", sql::encode(o.afterChecksum())},
        {"afterBaseCommitSha", sql::encode(o.afterBaseCommitSha())},
        {"serverFileID", sql::encode(o.serverFileID())},
        {"serverCommitSha", sql::encode(o.serverCommitSha())},
        {"conflictType", sql::encode(o.conflictType())},
        {"conflictServerOid", sql::encode(o.conflictServerOid())},
        {"attemptedAt", sql::encode(o.attemptedAt())},
        {"resolvedAt", sql::encode(o.resolvedAt())},
        {"outcome", sql::encode(o.outcome())},
        {"errorMessage", sql::encode(o.errorMessage())},
    };
}

Columns columnsOf(const MultipartUploadState &m)
{
    return {
        {"uploadId", sql::encode(m.uploadId())},
        {"oid", sql::encode(m.oid())},
        {"localPath", sql::encode(m.localPath())},
        {"stagedPath", sql::encode(m.stagedPath())},
        {"fileSize", sql::encode(m.fileSize())},
        {"partSize", sql::encode(m.partSize())},
        {"totalParts", sql::encode(m.totalParts())},
        {"completedPartsData", sql::encode(m.completedPartsData())},
        {"createdAt", sql::encode(m.createdAt())},
        {"folderID", sql::encode(m.folderID())},
    };
}

} // namespace

// Each record type with every field set to a value other than its initial one (and, within
// a record, values that differ from field to field) is saved, the store is closed, and the
// record is read back from a new container; the row must hold each value under its own
// column.
class StoredValues : public StoreFixture
{
protected:
    template<typename T>
    void expectRoundTrip(const std::shared_ptr<T> &record, const T &initial,
                         const std::function<void(ModelContext &)> &insertRelated = {})
    {
        const QString table = record->tableInfo().name;
        Columns written;
        {
            ModelContext context(container);
            if (insertRelated)
                insertRelated(context);
            written = columnsOf(*record);
            const Columns defaults = columnsOf(initial);
            for (const auto &[column, value] : written)
                EXPECT_NE(compareSqlValues(value, defaults.at(column)), 0) << column.toStdString() << " keeps its initial value";
            context.insert(record);
            context.save();
        }
        container.reset();
        container = ModelContainerFactory::makeContainer(storePath);

        EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM pragma_table_info('%1') WHERE name <> 'pk'").arg(table)),
                  qint64(written.size()))
            << "a stored column is not checked here";
        for (const auto &[column, value] : written) {
            auto stmt = container->prepare(QStringLiteral("SELECT %1 FROM %2").arg(column, table),
                                           StoreError::Kind::fetchFailed, false);
            ASSERT_TRUE(stmt.step());
            EXPECT_EQ(compareSqlValues(stmt.value(0), value), 0) << table.toStdString() << "." << column.toStdString();
        }
        ModelContext fresh(container);
        auto read = fresh.fetch(FetchDescriptor<T>{});
        ASSERT_EQ(read.size(), 1u);
        EXPECT_EQ(columnsOf(*read[0]), written);
    }
};

TEST_F(StoredValues, SyncFileFieldsRoundTrip)
{
    auto f = std::make_shared<SyncFile>(QStringLiteral("/x/ü take.wav"), QStringLiteral("ü take.wav"));
    f->setRemoteId(101);
    f->setLocalChecksum(QStringLiteral("local-sum"));
    f->setRemoteChecksum(QStringLiteral("remote-sum"));
    f->setLfsOid(QStringLiteral("lfs-oid"));
    f->setLocalModifiedAt(at(1'700'000'000'001));
    f->setRemoteModifiedAt(at(1'700'000'000'002));
    f->setLastSyncedAt(at(1'700'000'000'003));
    f->setSyncDirection(SyncFile::SyncDirection::conflict);
    f->setSyncStatus(SyncFile::SyncStatus::syncing);
    f->setErrorMessage(QStringLiteral("error-text"));
    f->setFileSize(102);
    f->setFolderID(QUuid::createUuid());
    f->setDesiredState(SyncFile::DesiredState::downloadHeld);
    f->setGeneration(103);
    f->setRetryCount(104);
    f->setNextRetryAt(at(1'700'000'000'004));
    f->setFileUUID(QStringLiteral("file-uuid"));
    f->setBaseCommitSha(QStringLiteral("base-sha"));
    f->setInode(105);
    f->setConflictID(106);
    f->setConflictType(QStringLiteral("conflict-type"));
    f->setConflictCommonAncestor(QStringLiteral("ancestor"));
    f->setConflictServerOid(QStringLiteral("server-oid"));
    f->setConflictMessage(QStringLiteral("conflict-message"));
    expectRoundTrip(f, SyncFile());
    // The stored forms other programs read: integer nanoseconds, upper-case UUID text.
    EXPECT_EQ(scalar(QStringLiteral("SELECT localModifiedAt FROM SyncFile")), 1'700'000'000'001'000'000LL);
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile WHERE folderID = '%1'")
                         .arg(f->folderID()->toString(QUuid::WithoutBraces).toUpper())),
              1);

    // An absent desired state stays absent rather than reading the column's default.
    ModelContext context(container);
    auto read = context.fetchFirst(SyncFile::withLocalPath(f->localPath()));
    read->setDesiredState(std::nullopt);
    context.save();
    ModelContext other(container);
    EXPECT_FALSE(other.fetchFirst(SyncFile::withLocalPath(f->localPath()))->desiredState());
}

TEST_F(StoredValues, SyncFolderFieldsAndProfileLinksRoundTrip)
{
    auto live = std::make_shared<DAWConfiguration>(QStringLiteral("Live"), QStringLiteral("/apps/live"),
                                                   SyncRule::RulePriority::low, SyncRule::RulePriority::none, true, 1);
    auto f = std::make_shared<SyncFolder>(QStringLiteral("Sessions"), SyncFolder::FolderType::unorganisedAudio,
                                          QStringLiteral("/home/u/Sessions"), QStringList{QStringLiteral(".flac")},
                                          SyncFolder::SyncMode::downloadOnly, true, 7, true,
                                          SyncRule::RulePriority::low, false,
                                          std::vector<std::shared_ptr<DAWConfiguration>>{live});
    f->setNeedsResync(true);
    f->setDeltaCursor(QStringLiteral("cursor"));
    f->setHeadCommitSha(QStringLiteral("head-sha"));
    expectRoundTrip(f, SyncFolder());
    ModelContext fresh(container);
    auto folders = fresh.fetch(SyncFolder::all());
    ASSERT_EQ(folders.size(), 1u);
    ASSERT_EQ(folders[0]->associatedDAWs().size(), 1u);
    EXPECT_EQ(folders[0]->associatedDAWs()[0]->appName(), QStringLiteral("Live"));
}

TEST_F(StoredValues, SettingsProfilesRulesJournalAndUploadStateRoundTrip)
{
    auto settings = std::make_shared<SyncSettings>();
    settings->setLaunchAtLogin(true);
    settings->setLastDeltaSyncCursor(QStringLiteral("delta"));
    settings->setPauseUntil(at(1'700'000'000'010));
    settings->setSyncFolderPath(QStringLiteral("/home/u/Audio"));
    settings->setFileExtensions({QStringLiteral(".aiff"), QStringLiteral(".flac")});
    settings->setSyncMode(SyncFolder::SyncMode::uploadOnly);
    expectRoundTrip(settings, SyncSettings());

    auto daw = std::make_shared<DAWConfiguration>(QStringLiteral("Reaper"), QStringLiteral("/apps/reaper"),
                                                  SyncRule::RulePriority::low, SyncRule::RulePriority::none, false, 9);
    expectRoundTrip(daw, DAWConfiguration());

    // The rule's profile is the stored one above, found again in the new container.
    auto rule = std::make_shared<SyncRule>(QStringLiteral("rule"), false, 11, SyncRule::RuleConditionType::timeWindow,
                                           QStringLiteral("22:00-06:00"), QStringLiteral("/home/u/Audio/Stems"),
                                           SyncRule::RulePriority::balanced);
    expectRoundTrip(rule, SyncRule(), [&](ModelContext &context) {
        rule->setDawConfiguration(context.fetch(DAWConfiguration::all()).at(0));
    });

    expectRoundTrip(std::make_shared<OperationResolution>(OperationResolution::Data{
                        .id = QUuid::createUuid(),
                        .fileUUID = QStringLiteral("file-uuid"),
                        .operationType = QStringLiteral("upload"),
                        .beforePath = QStringLiteral("/before"),
                        .beforeChecksum = QStringLiteral("before-sum"),
                        .beforeBaseCommitSha = QStringLiteral("before-sha"),
                        .afterPath = QStringLiteral("/after"),
                        .afterChecksum = QStringLiteral("after-sum"),
                        .afterBaseCommitSha = QStringLiteral("after-sha"),
                        .serverFileID = 201,
                        .serverCommitSha = QStringLiteral("server-sha"),
                        .conflictType = QStringLiteral("conflict-type"),
                        .conflictServerOid = QStringLiteral("server-oid"),
                        .attemptedAt = at(1'700'000'000'020),
                        .resolvedAt = at(1'700'000'000'021),
                        .outcome = QStringLiteral("applied"),
                        .errorMessage = QStringLiteral("error-text"),
                    }),
                    OperationResolution());

    expectRoundTrip(std::make_shared<MultipartUploadState>(MultipartUploadState::Data{
                        .uploadId = QStringLiteral("upload-id"),
                        .oid = QStringLiteral("oid"),
                        .localPath = QStringLiteral("/x/big.wav"),
                        .stagedPath = QStringLiteral("/cache/staged"),
                        .fileSize = 301,
                        .partSize = 302,
                        .totalParts = 303,
                        .completedPartsData = QByteArray("\x00\x01parts", 7),
                        .createdAt = at(1'700'000'000'030),
                        .folderID = QUuid::createUuid(),
                    }),
                    MultipartUploadState());
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
