#include "Model/SyncFile.h"

#include <functional>
#include <map>
#include <memory>

#include <gtest/gtest.h>

using namespace quillmere;

namespace {

// Reads the stored values as the store writes them, column by column.
struct Probe : SyncFile
{
    using SyncFile::SyncFile;
    const SyncFileData &data() const { return m_d; }
};

const QDateTime changedAt = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000);
const QDateTime retryAt = changedAt.addSecs(45);

// Every field away from the value any transition writes, so a write shows as a change.
std::unique_ptr<Probe> filled()
{
    auto r = std::make_unique<Probe>(QStringLiteral("/music/a.wav"), QStringLiteral("a.wav"));
    r->setRemoteId(7);
    r->setLocalChecksum(QStringLiteral("aa"));
    r->setRemoteChecksum(QStringLiteral("bb"));
    r->setLfsOid(QStringLiteral("cc"));
    r->setLocalModifiedAt(changedAt);
    r->setRemoteModifiedAt(changedAt);
    r->setLastSyncedAt(changedAt);
    r->setSyncDirection(SyncFileDirection::conflict);
    r->setSyncStatus(SyncFileStatus::error);
    r->setErrorMessage(QStringLiteral("refused"));
    r->setFileSize(12);
    r->setFolderID(QUuid::fromString(QStringLiteral("{0b8f1c2e-1111-4c1e-9a6d-3f2b5c7d9e01}")));
    r->setDesiredState(SyncFileDesiredState::conflictResolutionPending);
    r->setGeneration(4);
    r->setRetryCount(3);
    r->setNextRetryAt(retryAt);
    r->setFileUUID(QStringLiteral("uuid"));
    r->setBaseCommitSha(QStringLiteral("sha"));
    r->setInode(99);
    r->setConflictID(5);
    r->setConflictType(QStringLiteral("edit"));
    r->setConflictCommonAncestor(QStringLiteral("base"));
    r->setConflictServerOid(QStringLiteral("oid"));
    r->setConflictMessage(QStringLiteral("both changed"));
    return r;
}

using Writes = std::map<QString, SqlValue>;

// The transition writes exactly `writes` (column name to stored value) and leaves every other
// column as it was.
void expectWrites(const char *name, const std::function<void(SyncFile &)> &transition, const Writes &writes)
{
    SCOPED_TRACE(name);
    const auto before = filled();
    const auto after = filled();
    transition(*after);
    const auto &columns = SyncFile::layout().columns;
    size_t seen = 0;
    for (const auto &column : columns) {
        const SqlValue value = column.get(after->data(), nullptr);
        if (const auto it = writes.find(column.name); it != writes.end()) {
            ++seen;
            EXPECT_EQ(compareSqlValues(value, it->second), 0) << "wrong value in " << column.name.toStdString();
        } else {
            EXPECT_EQ(compareSqlValues(value, column.get(before->data(), nullptr)), 0)
                << "unexpected write to " << column.name.toStdString();
        }
    }
    EXPECT_EQ(seen, writes.size()) << "a named column is not a column of the record";
}

template<typename T>
SqlValue stored(const T &value)
{
    return sql::encode(value);
}

const SqlValue none = sql::encode(std::optional<QString>());

} // namespace

TEST(SyncFileTransitions, OweTransitionsWriteTheirStateAndMakeTheOperationDueNow)
{
    const Writes dueNow{{QStringLiteral("retryCount"), stored(qint64(0))}, {QStringLiteral("nextRetryAt"), none}};
    auto with = [&](Writes more) {
        more.insert(dueNow.begin(), dueNow.end());
        return more;
    };
    expectWrites("oweUpload", &SyncFile::oweUpload,
                 with({{QStringLiteral("syncDirection"), stored(SyncFileDirection::upload)},
                       {QStringLiteral("desiredState"), stored(SyncFileDesiredState::uploadPending)}}));
    expectWrites("oweDownload", &SyncFile::oweDownload,
                 with({{QStringLiteral("syncDirection"), stored(SyncFileDirection::download)},
                       {QStringLiteral("desiredState"), stored(SyncFileDesiredState::downloadPending)}}));
    expectWrites("oweLocalDelete", &SyncFile::oweLocalDelete,
                 with({{QStringLiteral("syncDirection"), stored(SyncFileDirection::download)},
                       {QStringLiteral("desiredState"), stored(SyncFileDesiredState::deletedLocal)}}));
    // The direction is left as it was: a delete at the service follows either way.
    expectWrites("oweRemoteDelete", &SyncFile::oweRemoteDelete,
                 with({{QStringLiteral("desiredState"), stored(SyncFileDesiredState::deletedRemote)},
                       {QStringLiteral("localModifiedAt"), none}}));
}

TEST(SyncFileTransitions, RetryAndSettleTransitionsTouchOnlyStatusMessageAndRetry)
{
    const Writes again{{QStringLiteral("syncStatus"), stored(SyncFileStatus::pending)},
                       {QStringLiteral("retryCount"), stored(qint64(0))},
                       {QStringLiteral("nextRetryAt"), none}};
    // The failure message and the owed operation stay.
    expectWrites("oweAgain", &SyncFile::oweAgain, again);
    Writes cleared = again;
    cleared.emplace(QStringLiteral("errorMessage"), none);
    expectWrites("clearFailure", &SyncFile::clearFailure, cleared);

    // The record carries a conflict nobody acknowledged: settled, it stays in conflict.
    Writes synced{{QStringLiteral("syncStatus"), stored(SyncFileStatus::conflict)},
                  {QStringLiteral("desiredState"), stored(SyncFileDesiredState::syncedLocal)},
                  {QStringLiteral("errorMessage"), none},
                  {QStringLiteral("retryCount"), stored(qint64(0))},
                  {QStringLiteral("nextRetryAt"), none}};
    expectWrites("markSynced", [](SyncFile &r) { r.markSynced(); }, synced);
    expectWrites("markSynced(conflict)", [](SyncFile &r) { r.markSynced(SyncFileStatus::conflict); }, synced);

    // Without one, the status is the one asked for.
    SyncFile plain(QStringLiteral("/music/b.wav"), QStringLiteral("b.wav"));
    plain.setSyncStatus(SyncFileStatus::syncing);
    plain.markSynced();
    EXPECT_EQ(plain.syncStatus(), SyncFileStatus::synced);
    plain.markSynced(SyncFileStatus::conflict);
    EXPECT_EQ(plain.syncStatus(), SyncFileStatus::conflict);
}
