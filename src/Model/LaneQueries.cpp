#include "Model/LaneQueries.h"

#include "Model/ModelContext.h"
#include "Model/SqlStatement.h"
#include "Model/StoreLog.h"
#include "Model/SyncFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <algorithm>
#include <limits>
#include <tuple>
#include <unordered_set>

namespace quillmere {

// The context's unsaved SyncFile changes and its identity map, for the statements below.
// A stored row that is changed or deleted here is skipped in (or excluded from) the
// statement and its record judged in memory instead, as are records not saved yet.
struct LaneQueryAccess
{
    struct Pending
    {
        std::unordered_set<qint64> rows;             // stored rows changed or deleted here
        std::vector<std::shared_ptr<SyncFile>> changed;  // stored, changed, not deleted
        std::vector<std::shared_ptr<SyncFile>> inserted; // in insertion order
    };

    static Pending pending(const ModelContext &context)
    {
        Pending p;
        for (const auto &r : context.m_touched) {
            if (r->tableInfo().typeIndex != SyncFile::typeIndex)
                continue;
            p.rows.insert(r->persistentID());
            if (!r->isDeleted())
                p.changed.push_back(std::static_pointer_cast<SyncFile>(r));
        }
        for (const auto &r : context.m_inserted)
            if (r->tableInfo().typeIndex == SyncFile::typeIndex && !r->isDeleted())
                p.inserted.push_back(std::static_pointer_cast<SyncFile>(r));
        return p;
    }

    // The context's one handle of the row the statement is on (columns as selectFiles()).
    static std::shared_ptr<SyncFile> record(ModelContext &context, const SqlStatement &row)
    {
        return std::static_pointer_cast<SyncFile>(context.materialize(SyncFile::typeIndex, row));
    }
};

namespace {

using Pending = LaneQueryAccess::Pending;

const QString &selectFiles()
{
    static const QString prefix = [] {
        QStringList cols{QStringLiteral("pk")};
        for (const QString &c : SyncFile::layout().info.columns)
            cols << c;
        return QStringLiteral("SELECT %1 FROM SyncFile").arg(cols.join(QStringLiteral(", ")));
    }();
    return prefix;
}

QString quoted(SyncFile::DesiredState state)
{
    return QLatin1Char('\'') + rawValue(state) + QLatin1Char('\'');
}

qint64 nanoseconds(const QDateTime &date)
{
    return std::get<qint64>(sql::encode(date));
}

QString jsonArray(const QJsonArray &values)
{
    return QString::fromUtf8(QJsonDocument(values).toJson(QJsonDocument::Compact));
}

QString rowList(const std::unordered_set<qint64> &rows)
{
    QJsonArray list;
    for (qint64 pk : rows)
        list.append(pk);
    return jsonArray(list);
}

// A lane excludes the same paths dispatch after dispatch: their list is written once per set.
const QString &excludedList(const QSet<QString> &paths)
{
    static QSet<QString> listed;
    static QString list;
    if (list.isEmpty() || listed != paths) { // equal at once while the two share their data
        listed = paths;
        list = jsonArray(QJsonArray::fromStringList(QStringList(paths.begin(), paths.end())));
    }
    return list;
}

bool inFolder(const SyncFile &file, const QUuid &folderID)
{
    return file.folderID() && *file.folderID() == folderID;
}

SqlStatement prepare(ModelContext &context, const QString &sql)
{
    return context.container().prepare(sql, StoreError::Kind::fetchFailed);
}

void logFailure(const char *what, const StoreError &error)
{
    qCWarning(storeLog) << what << "failed:" << error.detail();
}

// Rows in statement order, without those changed or deleted in the context.
std::vector<std::shared_ptr<SyncFile>> storedRows(ModelContext &context, SqlStatement &stmt, const Pending &pending)
{
    std::vector<std::shared_ptr<SyncFile>> result;
    while (stmt.step())
        if (!pending.rows.count(stmt.integer(0)))
            result.push_back(LaneQueryAccess::record(context, stmt));
    return result;
}

// The rows of a statement ordered by row id, merged with the pending records that pass.
template<typename Passes>
std::vector<std::shared_ptr<SyncFile>> inStoreOrder(ModelContext &context, SqlStatement &stmt, const Pending &pending,
                                                    Passes passes)
{
    auto result = storedRows(context, stmt, pending);
    bool changedAdded = false;
    for (const auto &f : pending.changed)
        if (passes(*f)) {
            result.push_back(f);
            changedAdded = true;
        }
    if (changedAdded)
        std::stable_sort(result.begin(), result.end(),
                         [](const auto &a, const auto &b) { return a->persistentID() < b->persistentID(); });
    for (const auto &f : pending.inserted)
        if (passes(*f))
            result.push_back(f);
    return result;
}

// Counts the folder's records that pass: the stored ones by a statement of countStatement
// (the same test in SQL), those the context changed or added by `passes`.
template<typename Passes>
qint64 countInFolder(ModelContext &context, const QUuid &folderID, const QString &plain,
                     const QString &excludingRows, Passes passes, const char *what)
{
    try {
        const Pending pending = LaneQueryAccess::pending(context);
        auto stmt = prepare(context, pending.rows.empty() ? plain : excludingRows);
        stmt.bind(1, sql::encode(folderID));
        if (!pending.rows.empty())
            stmt.bind(2, rowList(pending.rows));
        qint64 count = stmt.step() ? stmt.integer(0) : 0;
        for (const auto *list : {&pending.changed, &pending.inserted})
            count += std::count_if(list->begin(), list->end(),
                                   [&](const auto &f) { return inFolder(*f, folderID) && passes(*f); });
        return count;
    } catch (const StoreError &error) {
        logFailure(what, error);
        return 0;
    }
}

// A COUNT of the folder's rows where `condition` holds, plain or leaving out the rows the
// context holds changed (bound second, as a JSON list).
QString countStatement(const QString &condition, bool excludingRows)
{
    return QStringLiteral("SELECT COUNT(*) FROM SyncFile WHERE folderID = ? AND ") + condition
        + (excludingRows ? QStringLiteral(" AND pk NOT IN (SELECT value FROM json_each(?))") : QString());
}

} // namespace

bool isSettling(const SyncFile &record, std::chrono::nanoseconds settle, const QDateTime &now)
{
    if (!record.localModifiedAt())
        return false;
    const qint64 nowNs = nanoseconds(now);
    const qint64 changedNs = nanoseconds(*record.localModifiedAt());
    return changedNs > nowNs - qint64(settle.count()) && changedNs <= nowNs + qint64(settle.count());
}

std::shared_ptr<SyncFile> fetchWorkOwedRecords(const QUuid &folderID, std::chrono::nanoseconds settle,
                                               const QDateTime &now, ModelContext &context,
                                               const QSet<QString> &excludedPaths)
{
    // Walks the dispatch index of (folder, 'pending') in rank, change time, row-id order and
    // stops at the first due row: no sort, and only rows that are owed but not due yet are
    // stepped over. The rank is a range (">= 0"), not "IS NOT NULL", which SQLite would
    // check row by row: the pending records that are never dispatched (held downloads) sort
    // first, and the walk would look each one up.
    static const auto statement = [](bool excluding) {
        const QString &rank = SyncFile::dispatchRankSql();
        return selectFiles()
            + QStringLiteral(" WHERE folderID = ? AND syncStatus = '%1' AND (%2) >= 0"
                             " AND (nextRetryAt IS NULL OR nextRetryAt <= ? OR nextRetryAt > ?)"
                             " AND (localModifiedAt IS NULL OR localModifiedAt <= ? OR localModifiedAt > ?)")
                  .arg(rawValue(SyncFile::SyncStatus::pending), rank)
            + (excluding ? QStringLiteral(" AND localPath NOT IN (SELECT value FROM json_each(?))") : QString())
            + QStringLiteral(" ORDER BY (%1), localModifiedAt, pk LIMIT ?").arg(rank);
    };
    static const QString plain = statement(false);
    static const QString excluding = statement(true);

    const qint64 nowNs = nanoseconds(now);
    const qint64 cutoffNs = nowNs - qint64(settle.count());
    const qint64 retryHorizonNs = nowNs + qint64(std::chrono::nanoseconds(longestRetryWait).count());
    // A change seen later than now + settle was stamped by a clock that ran ahead: settled.
    const qint64 changeHorizonNs = nowNs + qint64(settle.count());
    // Ordering key: rank, change time (absent first), then store order with unsaved inserts
    // after every row.
    using Key = std::tuple<int, qint64, bool, qint64>;
    auto changeTime = [](const SyncFile &f) {
        return f.localModifiedAt() ? nanoseconds(*f.localModifiedAt()) : std::numeric_limits<qint64>::min();
    };
    auto dueRank = [&](const SyncFile &f) -> std::optional<int> {
        if (!inFolder(f, folderID) || f.syncStatus() != SyncFile::SyncStatus::pending)
            return std::nullopt;
        const auto rank = SyncFile::dispatchRank(f.desiredState());
        if (!rank || excludedPaths.contains(f.localPath()))
            return std::nullopt;
        if (f.nextRetryAt()) {
            const qint64 retryNs = nanoseconds(*f.nextRetryAt());
            if (retryNs > nowNs && retryNs <= retryHorizonNs)
                return std::nullopt;
        }
        if (isSettling(f, settle, now))
            return std::nullopt;
        return rank;
    };

    std::shared_ptr<SyncFile> best;
    Key bestKey;
    try {
        const Pending pending = LaneQueryAccess::pending(context);
        auto stmt = prepare(context, excludedPaths.isEmpty() ? plain : excluding);
        int i = 1;
        stmt.bind(i++, sql::encode(folderID));
        stmt.bind(i++, nowNs);
        stmt.bind(i++, retryHorizonNs);
        stmt.bind(i++, cutoffNs);
        stmt.bind(i++, changeHorizonNs);
        if (!excludedPaths.isEmpty())
            stmt.bind(i++, excludedList(excludedPaths));
        // Every row changed or deleted here may come before the first one that is not.
        stmt.bind(i, qint64(pending.rows.size()) + 1);
        while (stmt.step()) {
            if (pending.rows.count(stmt.integer(0)))
                continue;
            best = LaneQueryAccess::record(context, stmt);
            bestKey = Key{SyncFile::dispatchRank(best->desiredState()).value_or(std::numeric_limits<int>::max()),
                          changeTime(*best), false, best->persistentID()};
            break;
        }
        auto consider = [&](const std::shared_ptr<SyncFile> &f, bool inserted, qint64 order) {
            const auto rank = dueRank(*f);
            if (!rank)
                return;
            const Key key{*rank, changeTime(*f), inserted, order};
            if (!best || key < bestKey) {
                best = f;
                bestKey = key;
            }
        };
        for (const auto &f : pending.changed)
            consider(f, false, f->persistentID());
        for (size_t k = 0; k < pending.inserted.size(); ++k)
            consider(pending.inserted[k], true, qint64(k));
    } catch (const StoreError &error) {
        logFailure("work-owed query", error);
        return nullptr;
    }
    return best;
}

qint64 fetchOutstandingRecordCount(ModelContext &context, const QUuid &folderID)
{
    // The owed states listed (rather than "<> syncedLocal"), so that the count only walks
    // their entries of the (folder, desiredState) index, not the folder's synced majority,
    // and a value that names no state counts as no state, as it reads.
    static const QString condition = [] {
        QStringList owed;
        for (auto state : allCases<SyncFile::DesiredState>())
            if (state != SyncFile::DesiredState::syncedLocal)
                owed << quoted(state);
        return QStringLiteral("desiredState IN (%1)").arg(owed.join(QStringLiteral(", ")));
    }();
    static const QString plain = countStatement(condition, false);
    static const QString excludingRows = countStatement(condition, true);
    auto owes = [](const SyncFile &f) {
        return f.desiredState() && *f.desiredState() != SyncFile::DesiredState::syncedLocal;
    };
    return countInFolder(context, folderID, plain, excludingRows, owes, "outstanding count");
}

qint64 fetchFailedRecordCount(ModelContext &context, const QUuid &folderID)
{
    static const QString condition =
        QStringLiteral("syncStatus = '%1'").arg(rawValue(SyncFile::SyncStatus::error));
    static const QString plain = countStatement(condition, false);
    static const QString excludingRows = countStatement(condition, true);
    auto failed = [](const SyncFile &f) { return f.syncStatus() == SyncFile::SyncStatus::error; };
    return countInFolder(context, folderID, plain, excludingRows, failed, "failed count");
}

qint64 fetchConflictToReviewCount(ModelContext &context, const QUuid &folderID)
{
    // The index's own condition as one term, so that the count walks only the conflict index
    // (the records that carry a conflict), within the statuses that list one.
    static const QString condition =
        QStringLiteral("syncStatus IN ('%1', '%2', '%3', '%4') AND %5")
            .arg(rawValue(SyncFile::SyncStatus::conflict), rawValue(SyncFile::SyncStatus::pending),
                 rawValue(SyncFile::SyncStatus::syncing), rawValue(SyncFile::SyncStatus::error),
                 SyncFile::conflictCondition());
    static const QString plain = countStatement(condition, false);
    static const QString excludingRows = countStatement(condition, true);
    auto toReview = [](const SyncFile &f) {
        switch (f.syncStatus()) {
        case SyncFile::SyncStatus::conflict:
            return true;
        case SyncFile::SyncStatus::pending:
        case SyncFile::SyncStatus::syncing:
        case SyncFile::SyncStatus::error:
            return f.conflictID().has_value();
        case SyncFile::SyncStatus::synced:
            break;
        }
        return false;
    };
    return countInFolder(context, folderID, plain, excludingRows, toReview, "conflict count");
}

std::vector<std::shared_ptr<SyncFile>> fetchHeldDownloads(ModelContext &context, const QUuid &folderID)
{
    static const QString sql =
        selectFiles()
        + QStringLiteral(" WHERE folderID = ? AND desiredState = %1 ORDER BY pk").arg(quoted(SyncFile::DesiredState::downloadHeld));
    try {
        const Pending pending = LaneQueryAccess::pending(context);
        auto stmt = prepare(context, sql);
        stmt.bind(1, sql::encode(folderID));
        return inStoreOrder(context, stmt, pending, [&](const SyncFile &f) {
            return inFolder(f, folderID) && f.desiredState() == SyncFile::DesiredState::downloadHeld;
        });
    } catch (const StoreError &error) {
        logFailure("held-download query", error);
        return {};
    }
}

std::vector<std::shared_ptr<SyncFile>> fetchRecordsUnderDirectory(ModelContext &context, const QUuid &folderID,
                                                                  const QString &directory)
{
    // Every path that begins with d + "/" lies in [d + "/", d + "0"): '0' follows '/' and the
    // index compares bytes. The folder test is kept off the folder indexes ("+") so that the
    // planner walks the path range, which is already in the order returned.
    static const QString sql =
        selectFiles() + QStringLiteral(" WHERE localPath >= ? AND localPath < ? AND +folderID = ? ORDER BY localPath");
    const QString prefix = directory + QLatin1Char('/');
    try {
        const Pending pending = LaneQueryAccess::pending(context);
        auto stmt = prepare(context, sql);
        stmt.bind(1, prefix);
        stmt.bind(2, directory + QLatin1Char('0'));
        stmt.bind(3, sql::encode(folderID));
        auto result = storedRows(context, stmt, pending);
        const size_t stored = result.size();
        for (const auto *list : {&pending.changed, &pending.inserted})
            for (const auto &f : *list)
                if (inFolder(*f, folderID) && f->localPath().startsWith(prefix))
                    result.push_back(f);
        if (result.size() != stored)
            std::stable_sort(result.begin(), result.end(), [](const auto &a, const auto &b) {
                return compareSqlValues(a->localPath(), b->localPath()) < 0;
            });
        return result;
    } catch (const StoreError &error) {
        logFailure("directory query", error);
        return {};
    }
}

QHash<QString, std::shared_ptr<SyncFile>> fetchRecordsAtPaths(ModelContext &context, const QUuid &folderID,
                                                              const QStringList &paths)
{
    static const QString sql =
        selectFiles() + QStringLiteral(" WHERE localPath IN (SELECT value FROM json_each(?)) AND +folderID = ?");
    // A bound list of this many paths stays a small statement; the path index answers each.
    constexpr qsizetype chunk = 500;
    QHash<QString, std::shared_ptr<SyncFile>> found;
    try {
        const Pending pending = LaneQueryAccess::pending(context);
        for (qsizetype start = 0; start < paths.size(); start += chunk) {
            const QJsonArray list = QJsonArray::fromStringList(paths.mid(start, chunk));
            auto stmt = prepare(context, sql);
            stmt.bind(1, QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact)));
            stmt.bind(2, sql::encode(folderID));
            for (auto &record : storedRows(context, stmt, pending))
                found.insert(record->localPath(), std::move(record));
        }
        if (!pending.changed.empty() || !pending.inserted.empty()) {
            const QSet<QString> wanted(paths.cbegin(), paths.cend());
            for (const auto *list : {&pending.changed, &pending.inserted})
                for (const auto &f : *list)
                    if (inFolder(*f, folderID) && wanted.contains(f->localPath()))
                        found.insert(f->localPath(), f);
        }
        return found;
    } catch (const StoreError &error) {
        logFailure("path query", error);
        return {};
    }
}

std::vector<std::shared_ptr<SyncFile>> fetchRecordsHoldingIds(ModelContext &context, const QUuid &folderID,
                                                              const QList<qint64> &ids)
{
    // Ordered here, not by the statement: the index gives each id's rows in turn.
    static const QString sql =
        selectFiles() + QStringLiteral(" WHERE folderID = ? AND remoteId IN (SELECT value FROM json_each(?))");
    constexpr qsizetype chunk = 500;
    std::vector<std::shared_ptr<SyncFile>> found;
    try {
        const Pending pending = LaneQueryAccess::pending(context);
        for (qsizetype start = 0; start < ids.size(); start += chunk) {
            QJsonArray list;
            for (const qint64 id : ids.mid(start, chunk))
                list.append(id);
            auto stmt = prepare(context, sql);
            stmt.bind(1, sql::encode(folderID));
            stmt.bind(2, jsonArray(list));
            for (auto &record : storedRows(context, stmt, pending))
                found.push_back(std::move(record));
        }
        std::sort(found.begin(), found.end(),
                  [](const auto &a, const auto &b) { return a->persistentID() < b->persistentID(); });
        if (!pending.changed.empty() || !pending.inserted.empty()) {
            const QSet<qint64> wanted(ids.cbegin(), ids.cend());
            std::vector<std::shared_ptr<SyncFile>> changed;
            for (const auto &f : pending.changed)
                if (inFolder(*f, folderID) && f->remoteId() && wanted.contains(*f->remoteId()))
                    changed.push_back(f);
            std::sort(changed.begin(), changed.end(),
                      [](const auto &a, const auto &b) { return a->persistentID() < b->persistentID(); });
            std::vector<std::shared_ptr<SyncFile>> merged;
            std::merge(found.begin(), found.end(), changed.begin(), changed.end(), std::back_inserter(merged),
                       [](const auto &a, const auto &b) { return a->persistentID() < b->persistentID(); });
            found = std::move(merged);
            for (const auto &f : pending.inserted)
                if (inFolder(*f, folderID) && f->remoteId() && wanted.contains(*f->remoteId()))
                    found.push_back(f);
        }
        return found;
    } catch (const StoreError &error) {
        logFailure("id query", error);
        return {};
    }
}

bool visitFolderOutlines(ModelContext &context, const QUuid &folderID,
                         const std::function<void(const RecordOutline &)> &visit)
{
    static const QString sql =
        QStringLiteral("SELECT pk, localPath, remoteId, remoteChecksum, syncStatus = '%1' AND desiredState = %2"
                       " FROM SyncFile WHERE folderID = ?")
            .arg(rawValue(SyncFile::SyncStatus::conflict), quoted(SyncFile::DesiredState::uploadPending));
    try {
        const Pending pending = LaneQueryAccess::pending(context);
        auto stmt = prepare(context, sql);
        stmt.bind(1, sql::encode(folderID));
        RecordOutline outline;
        while (stmt.step()) {
            if (pending.rows.count(stmt.integer(0)))
                continue; // judged below, as the context holds it
            sql::decode(stmt.value(1), outline.localPath);
            sql::decode(stmt.value(2), outline.remoteId);
            sql::decode(stmt.value(3), outline.remoteChecksum);
            outline.holdsEditBack = stmt.integer(4) != 0;
            visit(outline);
        }
        for (const auto *list : {&pending.changed, &pending.inserted})
            for (const auto &f : *list)
                if (inFolder(*f, folderID))
                    visit(RecordOutline{f->localPath(), f->remoteId(), f->remoteChecksum(), f->holdsEditBack()});
        return true;
    } catch (const StoreError &error) {
        logFailure("outline query", error);
        return false;
    }
}

QList<qint64> fetchSharedRemoteIds(ModelContext &context, const QUuid &folderID)
{
    // The index gives each id's rows in turn: grouped without a sort. With unsaved changes the
    // rows they touch are left out and counted from the context instead, and the statement
    // also gives the stored count of every id an unsaved record holds.
    static const QString where =
        QStringLiteral("SELECT remoteId, COUNT(*) FROM SyncFile WHERE folderID = ? AND remoteId IS NOT NULL"
                       " AND desiredState IS NOT %1")
            .arg(quoted(SyncFile::DesiredState::deletedRemote));
    static const QString plain = where + QStringLiteral(" GROUP BY remoteId HAVING COUNT(*) > 1");
    static const QString excludingRows =
        where
        + QStringLiteral(" AND pk NOT IN (SELECT value FROM json_each(?)) GROUP BY remoteId"
                         " HAVING COUNT(*) > 1 OR remoteId IN (SELECT value FROM json_each(?))");
    try {
        const Pending pending = LaneQueryAccess::pending(context);
        QHash<qint64, qint64> unsaved;
        for (const auto *list : {&pending.changed, &pending.inserted})
            for (const auto &f : *list)
                if (inFolder(*f, folderID) && f->remoteId()
                    && f->desiredState() != SyncFile::DesiredState::deletedRemote)
                    ++unsaved[*f->remoteId()];
        auto stmt = prepare(context, pending.rows.empty() ? plain : excludingRows);
        stmt.bind(1, sql::encode(folderID));
        if (!pending.rows.empty()) {
            QJsonArray ids;
            for (auto id = unsaved.keyBegin(); id != unsaved.keyEnd(); ++id)
                ids.append(*id);
            stmt.bind(2, rowList(pending.rows));
            stmt.bind(3, jsonArray(ids));
        }
        QList<qint64> shared;
        while (stmt.step()) {
            const qint64 id = stmt.integer(0);
            if (stmt.integer(1) + unsaved.take(id) > 1)
                shared.append(id);
        }
        // Ids no stored row of the folder holds (unsaved records only).
        for (auto entry = unsaved.cbegin(); entry != unsaved.cend(); ++entry)
            if (entry.value() > 1)
                shared.append(entry.key());
        std::sort(shared.begin(), shared.end());
        return shared;
    } catch (const StoreError &error) {
        logFailure("shared id query", error);
        return {};
    }
}

qint64 fetchFolderRecordCount(ModelContext &context, const QUuid &folderID)
{
    static const QString condition = QStringLiteral("1");
    static const QString plain = countStatement(condition, false);
    static const QString excludingRows = countStatement(condition, true);
    return countInFolder(context, folderID, plain, excludingRows, [](const SyncFile &) { return true; },
                         "record count");
}

std::vector<std::shared_ptr<SyncFile>> fetchConflictsToReview(ModelContext &context, const QUuid &folderID, int limit)
{
    if (limit <= 0)
        return {};
    try {
        // The first reads the folder's records in conflict through the dispatch index (the
        // folder and the status lead it); the second the conflict index, whose condition its
        // "carries a conflict id" implies: it never walks the folder's owed records.
        auto resting = SyncFile::inFolder(folderID);
        resting.equals(SyncFile::Field::syncStatus, SyncFileStatus::conflict).limitTo(limit);
        auto found = context.fetch(resting);
        if (int(found.size()) >= limit)
            return found;
        auto owed = SyncFile::inFolder(folderID);
        owed.in(SyncFile::Field::syncStatus,
                std::vector{SyncFileStatus::pending, SyncFileStatus::syncing, SyncFileStatus::error})
            .notNull(SyncFile::Field::conflictID)
            .limitTo(limit - int(found.size()));
        for (auto &record : context.fetch(owed))
            found.push_back(std::move(record));
        return found;
    } catch (const StoreError &error) {
        logFailure("conflict query", error);
        return {};
    }
}

} // namespace quillmere
