#include "StoreFixture.h"

#include "Model/LaneQueries.h"
#include "Model/SyncFile.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <climits>

using namespace quillmere;
using quillmere::test::StoreFixture;
using DS = SyncFile::DesiredState;
using Status = SyncFile::SyncStatus;

namespace {

constexpr qint64 settleMs = 400;
const QDateTime now = QDateTime::fromMSecsSinceEpoch(1'714'564'800'000, Qt::UTC);

// Store order as the lane means it: row id, unsaved inserts after every row.
void sortInStoreOrder(std::vector<std::shared_ptr<SyncFile>> &files)
{
    auto key = [](const auto &f) { return f->persistentID() ? f->persistentID() : LLONG_MAX; };
    std::stable_sort(files.begin(), files.end(), [&](const auto &a, const auto &b) { return key(a) < key(b); });
}

int referenceRank(std::optional<DS> s)
{
    if (s == DS::deletedRemote || s == DS::deletedLocal)
        return 0;
    if (s == DS::conflictResolutionPending)
        return 1;
    if (s == DS::uploadPending)
        return 2;
    if (s == DS::downloadPending)
        return 3;
    return INT_MAX;
}

// A retry time ahead, but not further ahead than any back-off (one set by a clock that ran
// ahead is due).
bool waitsForRetry(const SyncFile &f)
{
    return f.nextRetryAt() && *f.nextRetryAt() > now
           && *f.nextRetryAt() <= now.addSecs(std::chrono::seconds(longestRetryWait).count());
}

// Changed within the settle window; a change time further ahead than that was stamped by a
// clock that ran ahead and holds nothing.
bool settling(const SyncFile &f)
{
    return f.localModifiedAt() && *f.localModifiedAt() > now.addMSecs(-settleMs)
           && *f.localModifiedAt() <= now.addMSecs(settleMs);
}

// The plain rule: every record of the folder through an ordinary fetch, filtered, and one
// strict scan for the lowest rank, then the earliest change (absent = distant past).
std::shared_ptr<SyncFile> referenceNextOwed(ModelContext &context, const QUuid &folder, const QSet<QString> &excluded)
{
    auto files = context.fetch(SyncFile::inFolder(folder));
    sortInStoreOrder(files);
    auto earlier = [](const std::optional<QDateTime> &a, const std::optional<QDateTime> &b) {
        return b && (!a || *a < *b);
    };
    std::shared_ptr<SyncFile> best;
    for (const auto &f : files) {
        const auto s = f->desiredState();
        if (f->syncStatus() != Status::pending || !s || *s == DS::syncedLocal || *s == DS::downloadHeld
            || excluded.contains(f->localPath()) || waitsForRetry(*f)
            || settling(*f))
            continue;
        const int r = referenceRank(s), rb = best ? referenceRank(best->desiredState()) : INT_MAX;
        if (!best || r < rb || (r == rb && earlier(f->localModifiedAt(), best->localModifiedAt())))
            best = f;
    }
    return best;
}

std::shared_ptr<SyncFile> nextOwed(ModelContext &context, const QUuid &folder, const QSet<QString> &excluded = {})
{
    return fetchWorkOwedRecords(folder, std::chrono::milliseconds(settleMs), now, context, excluded);
}

QStringList pathsOf(const std::vector<std::shared_ptr<SyncFile>> &files)
{
    QStringList out;
    for (const auto &f : files)
        out << f->localPath();
    return out;
}

std::shared_ptr<SyncFile> owed(const QString &path, const QUuid &folder, std::optional<DS> state,
                               std::optional<qint64> modifiedAgoMs = std::nullopt)
{
    auto f = std::make_shared<SyncFile>(path, path.section(QLatin1Char('/'), -1));
    f->setFolderID(folder);
    f->setSyncStatus(Status::pending);
    f->setDesiredState(state);
    if (modifiedAgoMs)
        f->setLocalModifiedAt(now.addMSecs(-*modifiedAgoMs));
    return f;
}

} // namespace

class LaneQueriesTest : public StoreFixture
{
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        context = std::make_unique<ModelContext>(container);
    }
    const QUuid folder = QUuid::createUuid();
    const QUuid other = QUuid::createUuid();
    std::unique_ptr<ModelContext> context;
};

// Random record sets around every boundary, with unsaved inserts, changes and deletes:
// each dispatch of a drain, the count, the held downloads and a directory's records
// equal the plain rule's.
TEST_F(LaneQueriesTest, AgreeWithThePlainRuleOnRandomRecordSets)
{
    const std::vector<QString> dirs{"/m/dir1", "/m/dir1/sub", "/m/dir10", "/m/dir1.0", "/m/dir1x", "/m/dir2"};
    // Negative: ahead of now, up to the settle window (holds) and beyond it (does not).
    const std::vector<std::optional<qint64>> modifiedAgo{std::nullopt, 0,    399,  400,  401,
                                                         5000,         5000, 60000, -1, -settleMs,
                                                         -settleMs - 1, qint64(-365) * 24 * 3600 * 1000};
    // Up to the longest back-off a retry time holds its record; past it (a clock that ran
    // ahead set it) it does not.
    const qint64 longest = std::chrono::milliseconds(longestRetryWait).count();
    const std::vector<std::optional<qint64>> retryIn{std::nullopt, std::nullopt, 0,           1,
                                                     -1,           60000,        longest,     longest + 1,
                                                     qint64(365) * 24 * 3600 * 1000};
    for (quint32 seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        SCOPED_TRACE(seed);
        QRandomGenerator rng(seed);
        // Conflict ids from a generator of their own: the other fields stay as they were drawn.
        QRandomGenerator conflicts(seed + 1000);
        context = std::make_unique<ModelContext>(container);
        const QUuid a = QUuid::createUuid(), b = QUuid::createUuid();
        auto pick = [&](const auto &list) { return list[rng.bounded(int(list.size()))]; };
        QSet<QString> excluded;
        auto randomise = [&](SyncFile &f) {
            const int folderRoll = rng.bounded(10);
            f.setFolderID(folderRoll < 7 ? std::optional<QUuid>(a) : folderRoll < 9 ? std::optional<QUuid>(b) : std::nullopt);
            f.setSyncStatus(rng.bounded(10) < 6 ? Status::pending : allCases<Status>()[rng.bounded(5)]);
            const int s = rng.bounded(8);
            f.setDesiredState(s == 7 ? std::nullopt : std::optional<DS>(allCases<DS>()[s]));
            const auto ago = pick(modifiedAgo);
            f.setLocalModifiedAt(ago ? std::optional<QDateTime>(now.addMSecs(-*ago)) : std::nullopt);
            const auto retry = pick(retryIn);
            f.setNextRetryAt(retry ? std::optional<QDateTime>(now.addMSecs(*retry)) : std::nullopt);
            f.setRemoteId(rng.bounded(3) == 0 ? std::nullopt : std::optional<qint64>(rng.bounded(8)));
            f.setConflictID(conflicts.bounded(3) == 0 ? std::optional<qint64>(conflicts.bounded(100)) : std::nullopt);
        };
        int serial = 0;
        auto fresh = [&] {
            auto f = std::make_shared<SyncFile>(QStringLiteral("%1/f%2.wav").arg(pick(dirs)).arg(serial++), QStringLiteral("f"));
            randomise(*f);
            if (rng.bounded(10) == 0)
                excluded.insert(f->localPath());
            return f;
        };
        std::vector<std::shared_ptr<SyncFile>> stored;
        for (int i = 0; i < 150; ++i)
            stored.push_back(context->insert(fresh()));
        context->save();
        for (int i = 0; i < 25; ++i) {
            auto &f = stored[size_t(rng.bounded(int(stored.size())))];
            switch (rng.bounded(4)) {
            case 0:
                context->remove(f);
                break;
            case 1:
                f->setLocalPath(QStringLiteral("%1/moved%2.wav").arg(pick(dirs)).arg(serial++));
                break;
            default:
                randomise(*f);
            }
        }
        for (int i = 0; i < 10; ++i)
            context->insert(fresh());
        ASSERT_TRUE(context->hasChanges());

        auto checkAggregates = [&] {
            const auto all = context->fetch(SyncFile::inFolder(a));
            EXPECT_EQ(fetchOutstandingRecordCount(*context, a),
                      std::count_if(all.begin(), all.end(), [](const auto &f) { return f->desiredState() && *f->desiredState() != DS::syncedLocal; }));
            // In conflict, or owed, running or failed with a conflict id: what the panel lists.
            const qint64 toReview = std::count_if(all.begin(), all.end(), [](const auto &f) {
                return f->syncStatus() == Status::conflict || (f->syncStatus() != Status::synced && f->conflictID());
            });
            EXPECT_EQ(fetchConflictToReviewCount(*context, a), toReview);
            EXPECT_EQ(qint64(fetchConflictsToReview(*context, a, INT_MAX).size()), toReview);
            std::vector<std::shared_ptr<SyncFile>> held, under, holders;
            for (const auto &f : all) {
                if (f->desiredState() == DS::downloadHeld)
                    held.push_back(f);
                if (f->remoteId() && (*f->remoteId() == 1 || *f->remoteId() == 4 || *f->remoteId() == 6))
                    holders.push_back(f);
                if (f->localPath().startsWith(QStringLiteral("/m/dir1/")))
                    under.push_back(f);
            }
            sortInStoreOrder(held);
            std::sort(under.begin(), under.end(), [](const auto &x, const auto &y) { return x->localPath().toUtf8() < y->localPath().toUtf8(); });
            EXPECT_EQ(pathsOf(fetchHeldDownloads(*context, a)), pathsOf(held));
            sortInStoreOrder(holders);
            EXPECT_EQ(pathsOf(fetchRecordsHoldingIds(*context, a, {1, 4, 6})), pathsOf(holders));
            EXPECT_EQ(pathsOf(fetchRecordsUnderDirectory(*context, a, QStringLiteral("/m/dir1"))), pathsOf(under));
        };
        checkAggregates();
        int dispatched = 0;
        for (;; ++dispatched) {
            SCOPED_TRACE(dispatched);
            const auto expected = referenceNextOwed(*context, a, excluded);
            const auto got = nextOwed(*context, a, excluded);
            ASSERT_EQ(got, expected) << (got ? got->localPath() : QString()).toStdString() << " vs "
                                     << (expected ? expected->localPath() : QString()).toStdString();
            if (!got) {
                if (excluded.isEmpty())
                    break;
                excluded.clear(); // the held paths are released: their records become due
                continue;
            }
            got->setSyncStatus(Status::syncing);
            if (dispatched % 3 == 0)
                context->save();
        }
        EXPECT_GT(dispatched, 10);
        checkAggregates();
    }
}

// The lane's own examples, and what unsaved changes must do to the next record.
TEST_F(LaneQueriesTest, DispatchOrderTimingAndUnsavedChanges)
{
    // Settle window: 0.2 s ago is not due, exactly 0.4 s ago is.
    auto recent = context->insert(owed("/m/recent.wav", folder, DS::uploadPending, 200));
    context->save();
    EXPECT_EQ(nextOwed(*context, folder), nullptr);
    recent->setLocalModifiedAt(now.addMSecs(-settleMs));
    EXPECT_EQ(nextOwed(*context, folder), recent) << "unsaved";
    context->save();
    EXPECT_EQ(nextOwed(*context, folder), recent) << "saved";

    // A retry time in the future hides even a deletion; one equal to now does not.
    auto deletion = context->insert(owed("/m/gone.wav", folder, DS::deletedRemote, 10'000));
    deletion->setNextRetryAt(now.addMSecs(1));
    context->save();
    EXPECT_EQ(nextOwed(*context, folder), recent);
    deletion->setNextRetryAt(now);
    EXPECT_EQ(nextOwed(*context, folder), deletion) << "unsaved";
    context->save();
    EXPECT_EQ(nextOwed(*context, folder), deletion) << "a deletion 10 s old goes before an older upload";

    // Failed and running records are never returned; a held path only once released.
    deletion->setSyncStatus(Status::error);
    recent->setSyncStatus(Status::syncing);
    auto held = context->insert(owed("/m/held.wav", folder, DS::downloadPending, 1000));
    EXPECT_EQ(nextOwed(*context, folder, {held->localPath()}), nullptr) << "unsaved";
    context->save();
    EXPECT_EQ(nextOwed(*context, folder, {held->localPath()}), nullptr) << "saved";
    EXPECT_EQ(nextOwed(*context, folder), held);
    held->setSyncStatus(Status::syncing);
    context->save();

    // Among uploads: no change time first, then the oldest, then store order; an unsaved
    // insert with the same time comes after the stored one.
    auto tieFirst = context->insert(owed("/m/z-tie.wav", folder, DS::uploadPending, 5000));
    auto tieSecond = context->insert(owed("/m/a-tie.wav", folder, DS::uploadPending, 5000));
    context->save();
    EXPECT_EQ(nextOwed(*context, folder), tieFirst);
    auto undated = context->insert(owed("/m/undated.wav", folder, DS::uploadPending));
    EXPECT_EQ(nextOwed(*context, folder), undated) << "an unsaved insert counts";
    context->remove(undated);
    auto unsavedTie = context->insert(owed("/m/0-tie.wav", folder, DS::uploadPending, 5000));
    EXPECT_EQ(nextOwed(*context, folder), tieFirst);

    // A stored row whose unsaved version no longer qualifies is not returned; a deleted
    // one neither; a row moved here from another folder is.
    tieFirst->setSyncStatus(Status::syncing);
    EXPECT_EQ(nextOwed(*context, folder), tieSecond);
    context->remove(tieSecond);
    EXPECT_EQ(nextOwed(*context, folder), unsavedTie);
    auto moved = context->insert(owed("/m/moved.wav", other, DS::conflictResolutionPending, 50'000));
    context->save();
    EXPECT_EQ(nextOwed(*context, folder), unsavedTie);
    moved->setFolderID(folder);
    EXPECT_EQ(nextOwed(*context, folder), moved);
    context->save();
    moved->setFolderID(other);
    EXPECT_EQ(nextOwed(*context, folder), unsavedTie) << "moved away, unsaved";

    // A second context's handle is its own; the first context's unsaved changes are not its.
    ModelContext reader(container);
    const auto seen = nextOwed(reader, folder);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->localPath(), QStringLiteral("/m/moved.wav")) << "its move away is not saved";
    EXPECT_EQ(seen, reader.fetchFirst(SyncFile::withLocalPath(seen->localPath())));
}

// Each statement seeks its range of an index: no scan of the table or of a whole index, no
// sort, and the owed rank is part of the seek (held downloads sort before the owed ranks).
// The conflict count and list read only the conflict index, and a completion's lookup by file
// UUID seeks that id within the folder, not the folder's records.
TEST_F(LaneQueriesTest, EveryStatementSearchesAnIndex)
{
    auto f = context->insert(owed("/m/d/a.wav", folder, DS::downloadHeld, 1000));
    context->save();
    f->setGeneration(1); // an unsaved change makes the statements exclude changed rows
    for (bool withPending : {true, false}) {
        nextOwed(*context, folder, {QStringLiteral("/m/x.wav")});
        nextOwed(*context, folder);
        fetchOutstandingRecordCount(*context, folder);
        fetchConflictToReviewCount(*context, folder);
        fetchConflictsToReview(*context, folder, 10);
        auto byFileUUID = SyncFile::withFileUUID(QStringLiteral("4c1d"));
        byFileUUID.equals(SyncFile::Field::folderID, folder);
        context->fetchFirst(byFileUUID);
        fetchHeldDownloads(*context, folder);
        fetchRecordsUnderDirectory(*context, folder, QStringLiteral("/m/d"));
        fetchRecordsHoldingIds(*context, folder, {7, 8});
        if (withPending)
            context->save();
    }
    std::map<QString, QString> expectedIndex{
        {"ORDER BY (CASE", "INDEX SyncFile_dispatch (folderID=? AND syncStatus=? AND <expr>>?)"},
        {"COUNT(*) FROM SyncFile WHERE folderID = ? AND desiredState",
         "COVERING INDEX SyncFile_folder_desiredState (folderID=? AND desiredState=?)"},
        {"conflictID IS NOT NULL", "USING INDEX SyncFile_conflicts (folderID=? AND syncStatus=?)"},
        {"fileUUID = ?", "USING INDEX SyncFile_fileUUID_folder (fileUUID=? AND folderID=?)"},
        {"'downloadHeld' ORDER BY pk", "INDEX SyncFile_folder_desiredState (folderID=? AND desiredState=?)"},
        {"localPath >= ?", "INDEX SyncFile_localPath (localPath>? AND localPath<?)"},
        {"remoteId IN", "INDEX SyncFile_folder_remoteId (folderID=? AND remoteId=?)"},
    };
    std::map<QString, int> checked;
    sqlite3 *db = container->database();
    for (sqlite3_stmt *s = sqlite3_next_stmt(db, nullptr); s; s = sqlite3_next_stmt(db, s)) {
        const QString sql = QString::fromUtf8(sqlite3_sql(s));
        for (const auto &[marker, index] : expectedIndex) {
            if (!sql.contains(marker))
                continue;
            ++checked[marker];
            sqlite3_stmt *plan = nullptr;
            ASSERT_EQ(sqlite3_prepare_v2(db, ("EXPLAIN QUERY PLAN " + sql).toUtf8().constData(), -1, &plan, nullptr), SQLITE_OK);
            QStringList lines;
            while (sqlite3_step(plan) == SQLITE_ROW)
                lines << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(plan, 3)));
            sqlite3_finalize(plan);
            const QString text = lines.join(QLatin1Char('\n'));
            EXPECT_TRUE(text.contains(index)) << sql.toStdString() << "\n" << text.toStdString();
            EXPECT_FALSE(text.contains(QStringLiteral("TEMP B-TREE"))) << text.toStdString();
            for (const QString &line : lines) {
                if (line.contains(QStringLiteral(" SyncFile"))) {
                    EXPECT_TRUE(line.startsWith(QStringLiteral("SEARCH SyncFile USING"))) << line.toStdString();
                }
            }
        }
    }
    EXPECT_EQ(checked.size(), expectedIndex.size());
    EXPECT_EQ(checked["ORDER BY (CASE"], 2) << "with and without excluded paths";
    EXPECT_EQ(checked["COUNT(*) FROM SyncFile WHERE folderID = ? AND desiredState"], 2)
        << "with and without unsaved changes";
    EXPECT_EQ(checked["conflictID IS NOT NULL"], 3) << "the count with and without unsaved changes, and the list";
}

// The whole-folder reads of a full sync: the outlines, the ids held twice and the count equal
// what a plain fetch of the folder gives, with unsaved inserts, changes and deletes and after
// they are saved.
TEST_F(LaneQueriesTest, FolderOutlinesSharedIdsAndCountAgreeWithAPlainFetch)
{
    using Outline = std::tuple<QString, std::optional<qint64>, std::optional<QString>>;
    for (quint32 seed : {11u, 12u, 13u, 14u}) {
        SCOPED_TRACE(seed);
        QRandomGenerator rng(seed);
        context = std::make_unique<ModelContext>(container);
        const QUuid a = QUuid::createUuid(), b = QUuid::createUuid();
        auto randomise = [&](SyncFile &f) {
            const int folderRoll = rng.bounded(10);
            f.setFolderID(folderRoll < 7 ? std::optional<QUuid>(a) : folderRoll < 9 ? std::optional<QUuid>(b) : std::nullopt);
            const int s = rng.bounded(8);
            f.setDesiredState(s == 7 ? std::nullopt : std::optional<DS>(allCases<DS>()[s]));
            f.setRemoteId(rng.bounded(4) == 0 ? std::nullopt : std::optional<qint64>(rng.bounded(30)));
            f.setRemoteChecksum(rng.bounded(3) == 0 ? std::nullopt
                                                    : std::optional<QString>(QString::number(rng.bounded(5))));
        };
        int serial = 0;
        auto fresh = [&] {
            auto f = std::make_shared<SyncFile>(QStringLiteral("/m/f%1.wav").arg(serial++), QStringLiteral("f"));
            randomise(*f);
            return f;
        };
        std::vector<std::shared_ptr<SyncFile>> stored;
        for (int i = 0; i < 120; ++i)
            stored.push_back(context->insert(fresh()));
        context->save();
        for (int i = 0; i < 30; ++i) {
            auto &f = stored[size_t(rng.bounded(int(stored.size())))];
            switch (rng.bounded(4)) {
            case 0:
                context->remove(f);
                break;
            case 1:
                f->setLocalPath(QStringLiteral("/m/moved%1.wav").arg(serial++));
                break;
            default:
                randomise(*f);
            }
        }
        for (int i = 0; i < 10; ++i)
            context->insert(fresh());
        ASSERT_TRUE(context->hasChanges());

        for (const bool saved : {false, true}) {
            SCOPED_TRACE(saved);
            if (saved)
                context->save();
            const auto all = context->fetch(SyncFile::inFolder(a));
            std::vector<Outline> expected;
            QHash<qint64, int> holders;
            for (const auto &f : all) {
                expected.emplace_back(f->localPath(), f->remoteId(), f->remoteChecksum());
                if (f->remoteId() && f->desiredState() != DS::deletedRemote)
                    ++holders[*f->remoteId()];
            }
            QList<qint64> shared;
            for (auto entry = holders.cbegin(); entry != holders.cend(); ++entry)
                if (entry.value() > 1)
                    shared.append(entry.key());
            std::sort(shared.begin(), shared.end());
            ASSERT_FALSE(shared.isEmpty()) << "the sets are drawn to share ids";

            std::vector<Outline> visited;
            EXPECT_TRUE(visitFolderOutlines(*context, a, [&](const RecordOutline &outline) {
                visited.emplace_back(outline.localPath, outline.remoteId, outline.remoteChecksum);
            }));
            std::sort(expected.begin(), expected.end());
            std::sort(visited.begin(), visited.end());
            EXPECT_EQ(visited, expected);
            EXPECT_EQ(fetchSharedRemoteIds(*context, a), shared);
            EXPECT_EQ(fetchFolderRecordCount(*context, a), qint64(all.size()));
        }
    }
}

// The grouped statement walks the (folder, remoteId) index in order: no sort, with or without
// unsaved changes.
TEST_F(LaneQueriesTest, SharedIdsAreGroupedOnTheIndex)
{
    auto f = context->insert(owed("/m/d/a.wav", folder, DS::uploadPending));
    f->setRemoteId(3);
    context->insert(owed("/m/d/b.wav", folder, DS::uploadPending))->setRemoteId(3);
    context->save();
    EXPECT_EQ(fetchSharedRemoteIds(*context, folder), QList<qint64>{3});
    f->setRemoteId(4); // unsaved: the statement leaves its row out and counts it here
    EXPECT_TRUE(fetchSharedRemoteIds(*context, folder).isEmpty());
    sqlite3 *db = container->database();
    int checked = 0;
    for (sqlite3_stmt *s = sqlite3_next_stmt(db, nullptr); s; s = sqlite3_next_stmt(db, s)) {
        const QString sql = QString::fromUtf8(sqlite3_sql(s));
        if (!sql.contains(QStringLiteral("GROUP BY remoteId")))
            continue;
        ++checked;
        sqlite3_stmt *plan = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, ("EXPLAIN QUERY PLAN " + sql).toUtf8().constData(), -1, &plan, nullptr), SQLITE_OK);
        QStringList lines;
        while (sqlite3_step(plan) == SQLITE_ROW)
            lines << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(plan, 3)));
        sqlite3_finalize(plan);
        const QString text = lines.join(QLatin1Char('\n'));
        EXPECT_TRUE(text.contains(QStringLiteral("INDEX SyncFile_folder_remoteId (folderID=?"))) << text.toStdString();
        EXPECT_FALSE(text.contains(QStringLiteral("TEMP B-TREE"))) << text.toStdString();
    }
    EXPECT_EQ(checked, 2) << "with and without unsaved changes";
}
