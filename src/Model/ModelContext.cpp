#include "Model/ModelContext.h"

#include "Model/DAWConfiguration.h"
#include "Model/QuillmereSchemaV1.h"
#include "Model/SqlStatement.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Model/SyncRule.h"

#include <QPointer>
#include <QStringList>

#include <algorithm>
#include <limits>
#include <map>
#include <sqlite3.h>
#include <stdexcept>
#include <unordered_set>

namespace quillmere {

namespace {

constexpr auto saveFailed = StoreError::Kind::saveFailed;
constexpr auto fetchFailed = StoreError::Kind::fetchFailed;
const QString linkTable = QStringLiteral("SyncFolder_associatedDAWs");

const QString &selectPrefix(int type)
{
    static std::array<QString, ModelContext::typeCount> prefixes;
    QString &p = prefixes[size_t(type)];
    if (p.isEmpty()) {
        const TableInfo &t = QuillmereSchemaV1::model(type);
        QStringList cols{QStringLiteral("pk")};
        for (const QString &c : t.columns)
            cols << c;
        p = QStringLiteral("SELECT %1 FROM %2").arg(cols.join(QStringLiteral(", ")), t.name);
    }
    return p;
}

const QString &insertSql(int type)
{
    static std::array<QString, ModelContext::typeCount> statements;
    QString &s = statements[size_t(type)];
    if (s.isEmpty()) {
        const TableInfo &t = QuillmereSchemaV1::model(type);
        QStringList marks;
        for (size_t c = 0; c < t.columns.size(); ++c)
            marks << QStringLiteral("?");
        // No RETURNING: SQLite gathers returned rows in a temporary table, opened and
        // closed for every row inserted. The new row id is the connection's last one.
        s = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                .arg(t.name, QStringList(t.columns.begin(), t.columns.end()).join(QStringLiteral(", ")),
                     marks.join(QStringLiteral(", ")));
    }
    return s;
}

// Built once per table and set of changed columns: a lane's saves change the same few
// columns again and again.
const QString &updateSql(const TableInfo &t, quint64 columns)
{
    static std::map<std::pair<int, quint64>, QString> statements;
    QString &s = statements[{t.typeIndex, columns}];
    if (s.isEmpty()) {
        QStringList sets;
        for (size_t c = 0; c < t.columns.size(); ++c)
            if (columns & (quint64(1) << c))
                sets << t.columns[c] + QStringLiteral(" = ?");
        s = QStringLiteral("UPDATE %1 SET %2 WHERE pk = ?").arg(t.name, sets.join(QStringLiteral(", ")));
    }
    return s;
}

const QString &deleteSql(int type)
{
    static std::array<QString, ModelContext::typeCount> statements;
    QString &s = statements[size_t(type)];
    if (s.isEmpty())
        s = QStringLiteral("DELETE FROM %1 WHERE pk = ?").arg(QuillmereSchemaV1::model(type).name);
    return s;
}

// An insert whose unique value a row took since the context looked: that row takes every
// value of the inserted record (the bound values, then the unique value).
const QString &replaceSql(int type)
{
    static std::array<QString, ModelContext::typeCount> statements;
    QString &s = statements[size_t(type)];
    if (s.isEmpty()) {
        const TableInfo &t = QuillmereSchemaV1::model(type);
        QStringList sets;
        for (const QString &c : t.columns)
            sets << c + QStringLiteral(" = ?");
        s = QStringLiteral("UPDATE %1 SET %2 WHERE %3 = ? RETURNING pk")
                .arg(t.name, sets.join(QStringLiteral(", ")), t.uniqueColumn);
    }
    return s;
}

class SaveResolver : public PkResolver
{
public:
    qint64 pkOf(const Record *record) const override
    {
        if (!record)
            return 0;
        auto it = pks.find(record);
        return it != pks.end() ? it->second : record->persistentID();
    }
    std::unordered_map<const Record *, qint64> pks;
};

} // namespace

ModelContext::ModelContext(std::shared_ptr<ModelContainer> container, QObject *parent)
    : QObject(parent)
    , m_container(std::move(container))
{
    m_container->registerContext(this);
}

ModelContext::~ModelContext()
{
    m_container->unregisterContext(this);
    // Records may outlive the context; they keep their values and forget it.
    for (auto &map : m_objects)
        for (auto &entry : map)
            if (auto r = entry.second.lock())
                r->m_context = nullptr;
    for (auto &r : m_inserted) {
        r->m_context = nullptr;
        r->m_state = Record::State::detached;
        r->m_pinned = false;
    }
    for (auto &r : m_touched) {
        r->m_context = nullptr;
        r->m_pinned = false;
    }
}

std::shared_ptr<Record> ModelContext::insertRecord(std::shared_ptr<Record> record)
{
    if (!record || record->m_context == this || record->m_state == Record::State::deleted)
        return record;
    if (record->m_context)
        throw std::logic_error("the record belongs to another model context");

    const int type = record->tableInfo().typeIndex;
    if (type == SyncFile::typeIndex) {
        auto *file = static_cast<SyncFile *>(record.get());
        if (auto existing = fetchFirst(SyncFile::withLocalPath(file->localPath()))) {
            existing->takeValuesOf(*file);
            return existing;
        }
    }

    record->m_context = this;
    record->m_type = qint8(type);
    record->m_state = Record::State::inserted;
    record->m_pinned = true;
    m_inserted.push_back(record);
    if (type == SyncFile::typeIndex)
        m_pendingPaths.insert(static_cast<SyncFile *>(record.get())->localPath(), record.get());

    // Related records are inserted with the record that names them.
    if (type == SyncRule::typeIndex) {
        adopt(static_cast<SyncRule *>(record.get())->dawConfiguration());
    } else if (type == SyncFolder::typeIndex) {
        for (const auto &daw : static_cast<SyncFolder *>(record.get())->associatedDAWs())
            adopt(daw);
    }
    return record;
}

void ModelContext::adopt(const std::shared_ptr<Record> &record)
{
    if (record && !record->m_context && record->m_state == Record::State::detached)
        insertRecord(record);
}

void ModelContext::remove(const std::shared_ptr<Record> &record)
{
    if (!record || record->m_state == Record::State::deleted)
        return;
    if (record->m_context != this) {
        if (!record->m_context)
            record->m_state = Record::State::deleted;
        return;
    }

    const int type = record->m_type;
    if (type == DAWConfiguration::typeIndex) {
        auto &daw = static_cast<DAWConfiguration &>(*record);
        // Cascade to the profile's rules; nullify the folders' links.
        for (const auto &rule : rulesOf(daw))
            remove(rule);
        std::vector<std::shared_ptr<SyncFolder>> folders;
        for (auto &entry : m_objects[SyncFolder::typeIndex])
            if (auto f = entry.second.lock())
                folders.push_back(std::static_pointer_cast<SyncFolder>(f));
        for (auto &r : m_inserted)
            if (r->m_type == SyncFolder::typeIndex)
                folders.push_back(std::static_pointer_cast<SyncFolder>(r));
        for (auto &folder : folders) {
            if (!folder->m_d.associatedDAWs || folder->isDeleted())
                continue;
            auto list = *folder->m_d.associatedDAWs;
            const auto end = std::remove(list.begin(), list.end(), record);
            if (end != list.end()) {
                list.erase(end, list.end());
                folder->setAssociatedDAWs(std::move(list));
            }
        }
    }

    if (type == SyncFile::typeIndex)
        m_pendingPaths.remove(static_cast<SyncFile *>(record.get())->localPath(), record.get());

    if (record->m_state == Record::State::inserted) {
        m_inserted.erase(std::find(m_inserted.begin(), m_inserted.end(), record));
        record->m_state = Record::State::deleted;
        record->m_pinned = false;
        record->m_context = nullptr;
        return;
    }
    record->m_state = Record::State::deleted;
    if (!record->m_pinned) {
        record->m_pinned = true;
        m_touched.push_back(record);
    }
}

void ModelContext::recordDidChange(Record *record, int field)
{
    if (record->m_state != Record::State::persisted)
        return;
    record->m_dirty |= quint64(1) << field;
    if (!record->m_pinned) {
        record->m_pinned = true;
        m_touched.push_back(record->shared_from_this());
        if (record->m_type == SyncFile::typeIndex)
            m_pendingPaths.insert(static_cast<SyncFile *>(record)->localPath(), record);
    }
}

void ModelContext::syncFilePathChanged(SyncFile *file, const QString &oldPath)
{
    if (!file->m_pinned || file->isDeleted())
        return;
    m_pendingPaths.remove(oldPath, file);
    if (!m_pendingPaths.contains(file->localPath(), file))
        m_pendingPaths.insert(file->localPath(), file);
}

void ModelContext::syncFileRenamed(SyncFile *file, const QString &oldPath)
{
    syncFilePathChanged(file, oldPath);
    if (!file->m_pinned || file->isDeleted())
        return;
    // One record per path: the renamed record replaces whichever record holds its new path,
    // as a rename over a tracked file does on disk.
    FetchDescriptor<SyncFile> atPath;
    atPath.equals(SyncFile::Field::localPath, file->localPath());
    for (const auto &other : fetch(atPath))
        if (other.get() != file)
            remove(other);
}

void ModelContext::release(const std::shared_ptr<Record> &record)
{
    m_objects[size_t(record->m_type)].erase(record->m_pk);
    record->m_state = Record::State::deleted;
    record->m_context = nullptr;
    record->m_pinned = false;
}

void ModelContext::forget(Record *record)
{
    if (record->m_type < 0 || !record->m_pk)
        return;
    auto &map = m_objects[size_t(record->m_type)];
    auto it = map.find(record->m_pk);
    if (it != map.end() && it->second.expired())
        map.erase(it);
}

qsizetype ModelContext::liveObjects(int type) const
{
    const auto &map = m_objects[size_t(type)];
    return qsizetype(std::count_if(map.begin(), map.end(), [](const auto &entry) { return !entry.second.expired(); }));
}

bool ModelContext::hasChanges() const
{
    return !m_inserted.empty() || !m_touched.empty();
}

bool ModelContext::hasChangesOtherThan(const std::function<bool(const Record &)> &known) const
{
    const auto unknown = [&](const std::shared_ptr<Record> &r) { return !known(*r); };
    return std::any_of(m_inserted.begin(), m_inserted.end(), unknown)
           || std::any_of(m_touched.begin(), m_touched.end(), unknown);
}

void ModelContext::save()
{
    if (!hasChanges())
        return;

    // The row ids the inserts get, by their place in m_inserted. Only records that others name
    // by row id (profiles, folders) are looked up by address too: a save of 100,000 new files
    // would otherwise hold a hash map of them, and a copy of the list, beside the page cache.
    SaveResolver resolver;
    std::vector<qint64> insertedPks(m_inserted.size(), 0);
    const quint64 pathBit = quint64(1) << int(SyncFile::Field::localPath);
    auto renamed = [&](const Record &r) {
        return r.m_type == SyncFile::typeIndex && r.m_state == Record::State::persisted && (r.m_dirty & pathBit);
    };
    std::vector<qint64> replaced;                   // SyncFile rows a renamed record took the path of
    std::unordered_set<const Record *> tookOverRow; // inserts that landed on a row stored meanwhile
    sqlite3 *db = m_container->database();

    // Prepared once for the container's life, like every statement of the save: a lane
    // saves at every dispatch.
    m_container->prepare(QStringLiteral("BEGIN IMMEDIATE"), saveFailed).run();
    try {
        auto insertRow = [&](std::size_t index) {
            const std::shared_ptr<Record> &r = m_inserted[index];
            const TableInfo &t = r->tableInfo();
            bool taken = false;
            {
                auto stmt = m_container->prepare(insertSql(r->m_type), saveFailed);
                for (size_t c = 0; c < t.columns.size(); ++c)
                    stmt.bind(int(c) + 1, r->columnValue(int(c), &resolver));
                try {
                    stmt.run();
                    insertedPks[index] = sqlite3_last_insert_rowid(db);
                } catch (const StoreError &) {
                    // Only this statement was undone; the transaction goes on.
                    if (t.uniqueColumn.isEmpty() || sqlite3_extended_errcode(db) != SQLITE_CONSTRAINT_UNIQUE)
                        throw;
                    taken = true;
                }
            }
            if (taken) {
                // Another context stored the unique value after this one looked: the record
                // replaces that row's values and takes its id, as an insert of a stored path does.
                const int unique = int(std::find(t.columns.begin(), t.columns.end(), t.uniqueColumn) - t.columns.begin());
                auto stmt = m_container->prepare(replaceSql(r->m_type), saveFailed);
                for (size_t c = 0; c < t.columns.size(); ++c)
                    stmt.bind(int(c) + 1, r->columnValue(int(c), &resolver));
                stmt.bind(int(t.columns.size()) + 1, r->columnValue(unique, &resolver));
                if (!stmt.step())
                    throw StoreError(saveFailed, QStringLiteral("replaced row not found"));
                insertedPks[index] = stmt.integer(0);
                stmt.run();
                tookOverRow.insert(r.get());
            }
            if (r->m_type != SyncFile::typeIndex)
                resolver.pks[r.get()] = insertedPks[index];
        };
        // Deletes first, so that a path deleted and inserted again is free.
        for (const auto &r : m_touched) {
            if (r->m_state != Record::State::deleted)
                continue;
            auto stmt = m_container->prepare(deleteSql(r->m_type), saveFailed);
            stmt.bind(1, r->m_pk);
            stmt.run();
        }
        // Records that others name by row id go in before the updates that may name them,
        // profiles first (rules and folder links name them); files, which nothing names, go
        // in last, once renamed files have left their paths.
        for (std::size_t i = 0; i < m_inserted.size(); ++i)
            if (m_inserted[i]->m_type == DAWConfiguration::typeIndex)
                insertRow(i);
        for (std::size_t i = 0; i < m_inserted.size(); ++i)
            if (m_inserted[i]->m_type != DAWConfiguration::typeIndex && m_inserted[i]->m_type != SyncFile::typeIndex)
                insertRow(i);
        // Renamed records leave their old paths before any record takes a path, so a swap or
        // a new record at a renamed record's old path never meets a row still there. The
        // parking names start with a control character, which no path does.
        for (const auto &r : m_touched) {
            if (!renamed(*r))
                continue;
            auto park = m_container->prepare(QStringLiteral("UPDATE SyncFile SET localPath = ? WHERE pk = ?"), saveFailed);
            park.bind(1, QStringLiteral("\u0001moving/%1").arg(r->m_pk));
            park.bind(2, r->m_pk);
            park.run();
        }
        for (const auto &r : m_touched) {
            if (r->m_state != Record::State::persisted)
                continue;
            if (renamed(*r)) {
                // Whatever holds the new path now is replaced by the renamed record.
                auto clear = m_container->prepare(
                    QStringLiteral("DELETE FROM SyncFile WHERE localPath = ? AND pk <> ? RETURNING pk"), saveFailed);
                clear.bind(1, r->columnValue(int(SyncFile::Field::localPath), &resolver));
                clear.bind(2, r->m_pk);
                while (clear.step())
                    replaced.push_back(clear.integer(0));
            }
            const TableInfo &t = r->tableInfo();
            const quint64 columns = r->m_dirty & (t.columns.size() < 64 ? (quint64(1) << t.columns.size()) - 1 : ~quint64(0));
            if (!columns)
                continue;
            auto stmt = m_container->prepare(updateSql(t, columns), saveFailed);
            int i = 1;
            for (size_t c = 0; c < t.columns.size(); ++c)
                if (columns & (quint64(1) << c))
                    stmt.bind(i++, r->columnValue(int(c), &resolver));
            stmt.bind(i, r->m_pk);
            stmt.run();
        }
        for (std::size_t i = 0; i < m_inserted.size(); ++i)
            if (m_inserted[i]->m_type == SyncFile::typeIndex)
                insertRow(i);
        // Folder links: rewritten for each folder whose list changed.
        const quint64 linkBit = quint64(1) << int(SyncFolder::Field::associatedDAWs);
        auto writeLinks = [&](const std::shared_ptr<Record> &r) {
            auto *folder = static_cast<SyncFolder *>(r.get());
            const qint64 folderPk = resolver.pkOf(folder);
            auto clear = m_container->prepare(QStringLiteral("DELETE FROM %1 WHERE folder = ?").arg(linkTable), saveFailed);
            clear.bind(1, folderPk);
            clear.run();
            for (const auto &daw : folder->associatedDAWs()) {
                const qint64 dawPk = resolver.pkOf(daw.get());
                if (!dawPk)
                    throw StoreError(saveFailed, QStringLiteral("a linked profile is in no context"));
                auto link = m_container->prepare(
                    QStringLiteral("INSERT OR IGNORE INTO %1 (folder, daw) VALUES (?, ?)").arg(linkTable), saveFailed);
                link.bind(1, folderPk);
                link.bind(2, dawPk);
                link.run();
            }
        };
        for (const auto &r : m_inserted)
            if (r->m_type == SyncFolder::typeIndex)
                writeLinks(r);
        for (const auto &r : m_touched)
            if (r->m_type == SyncFolder::typeIndex && r->m_state == Record::State::persisted && (r->m_dirty & linkBit))
                writeLinks(r);
        m_container->prepare(QStringLiteral("COMMIT"), saveFailed).run();
    } catch (const StoreError &e) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw StoreError(saveFailed, e.detail());
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }

    // Committed: only now does the context take the new state. Deleted and replaced rows
    // are let go before the inserts take their ids, since SQLite may give a new row the id
    // of one deleted in the same transaction.
    SavedChanges changes;
    StoreChanges announced;
    auto entry = [](const Record &r) { return StoreChanges::Entry{r.tableInfo().name, r.m_pk}; };
    const std::unordered_set<qint64> replacedSet(replaced.begin(), replaced.end());
    for (const auto &r : m_touched) {
        if (r->m_state == Record::State::deleted) {
            release(r);
            changes.deleted.emplace_back(r->m_type, r->m_pk);
            announced.deleted.push_back(entry(*r));
        } else if (r->m_type == SyncFile::typeIndex && replacedSet.count(r->m_pk)) {
            release(r); // announced with the replaced rows below
        } else {
            r->m_pinned = false;
            if (r->m_dirty) {
                changes.written.emplace_back(r, r->m_dirty);
                announced.changed.push_back(entry(*r));
            }
            r->m_dirty = 0;
            r->dropSnapshot();
        }
    }
    for (qint64 pk : replaced) {
        auto &map = m_objects[SyncFile::typeIndex];
        if (auto it = map.find(pk); it != map.end())
            if (auto held = it->second.lock())
                release(held);
        changes.deleted.emplace_back(SyncFile::typeIndex, pk);
        announced.deleted.push_back({SyncFile::layout().info.name, pk});
    }
    for (std::size_t i = 0; i < m_inserted.size(); ++i) {
        const std::shared_ptr<Record> &r = m_inserted[i];
        const qint64 pk = insertedPks[i];
        auto &slot = m_objects[size_t(r->m_type)][pk];
        if (auto other = slot.lock(); other && other != r) {
            // The insert took over a row held here under another handle.
            other->m_state = Record::State::deleted;
            other->m_context = nullptr;
            other->m_pinned = false;
        }
        r->m_pk = pk;
        r->m_state = Record::State::persisted;
        r->m_dirty = 0;
        r->m_pinned = false;
        slot = r;
        changes.written.emplace_back(r, ~quint64(0));
        (tookOverRow.count(r.get()) ? announced.changed : announced.inserted).push_back(entry(*r));
    }
    m_inserted.clear();
    m_touched.clear();
    m_pendingPaths.clear();

    // A receiver may drop this context, or the last other owner of the container.
    const std::shared_ptr<ModelContainer> container = m_container;
    QPointer<ModelContext> self(this);
    container->broadcast(this, changes, announced);
    if (self)
        Q_EMIT didSave();
}

void ModelContext::rollback()
{
    for (const auto &r : m_inserted) {
        r->m_context = nullptr;
        r->m_state = Record::State::detached;
        r->m_pinned = false;
    }
    for (const auto &r : m_touched) {
        if (r->m_state == Record::State::deleted)
            r->m_state = Record::State::persisted;
        r->restoreSnapshot();
        r->m_dirty = 0;
        r->m_pinned = false;
    }
    m_inserted.clear();
    m_touched.clear();
    m_pendingPaths.clear();
}

void ModelContext::rollback(const std::shared_ptr<Record> &record)
{
    if (!record)
        return;
    if (const auto inserted = std::find(m_inserted.begin(), m_inserted.end(), record); inserted != m_inserted.end()) {
        if (record->m_type == SyncFile::typeIndex)
            m_pendingPaths.remove(static_cast<SyncFile *>(record.get())->localPath(), record.get());
        m_inserted.erase(inserted);
        record->m_context = nullptr;
        record->m_state = Record::State::detached;
        record->m_pinned = false;
        return;
    }
    const auto touched = std::find(m_touched.begin(), m_touched.end(), record);
    if (touched == m_touched.end())
        return;
    if (record->m_type == SyncFile::typeIndex)
        m_pendingPaths.remove(static_cast<SyncFile *>(record.get())->localPath(), record.get());
    m_touched.erase(touched);
    if (record->m_state == Record::State::deleted)
        record->m_state = Record::State::persisted;
    record->restoreSnapshot();
    record->m_dirty = 0;
    record->m_pinned = false;
}

std::shared_ptr<Record> ModelContext::materialize(int type, const SqlStatement &row)
{
    const qint64 pk = row.integer(0);
    auto &slot = m_objects[size_t(type)][pk];
    if (auto existing = slot.lock())
        return existing;
    const TableInfo &t = QuillmereSchemaV1::model(type);
    auto record = t.create();
    for (size_t c = 0; c < t.columns.size(); ++c)
        record->loadColumn(int(c), row.value(int(c) + 1));
    record->m_pk = pk;
    record->m_context = this;
    record->m_type = qint8(type);
    record->m_state = Record::State::persisted;
    slot = record;
    return record;
}

bool ModelContext::matches(const Record &record, const FetchRequest &request) const
{
    for (const auto &c : request.conditions) {
        const SqlValue v = record.columnValue(c.column, nullptr);
        const bool null = std::holds_alternative<std::monostate>(v);
        bool ok = false;
        switch (c.op) {
        case FetchRequest::Op::equals:
            ok = !null && !std::holds_alternative<std::monostate>(c.values[0]) && compareSqlValues(v, c.values[0]) == 0;
            break;
        case FetchRequest::Op::notEquals:
            ok = compareSqlValues(v, c.values[0]) != 0;
            break;
        case FetchRequest::Op::in:
            ok = !null && std::any_of(c.values.begin(), c.values.end(),
                                      [&](const SqlValue &x) { return compareSqlValues(v, x) == 0; });
            break;
        case FetchRequest::Op::isNull:
            ok = null;
            break;
        case FetchRequest::Op::notNull:
            ok = !null;
            break;
        case FetchRequest::Op::atMost:
            ok = !null && !std::holds_alternative<std::monostate>(c.values[0]) && compareSqlValues(v, c.values[0]) <= 0;
            break;
        }
        if (!ok)
            return false;
    }
    return true;
}

std::vector<std::shared_ptr<Record>> ModelContext::fetchRecords(int type, const FetchRequest &request)
{
    const TableInfo &t = QuillmereSchemaV1::model(type);
    // At most this many stored rows can drop out (changed or deleted here). Not counted by
    // type: a lane that moves thousands of records fetches by path once per move.
    const qint64 touchedOfType = qint64(m_touched.size());

    QString sql = selectPrefix(type);
    std::vector<const SqlValue *> binds;
    QStringList where;
    for (const auto &c : request.conditions) {
        const QString &col = t.columns[size_t(c.column)];
        switch (c.op) {
        case FetchRequest::Op::equals:
            where << col + QStringLiteral(" = ?");
            binds.push_back(&c.values[0]);
            break;
        case FetchRequest::Op::notEquals:
            where << col + QStringLiteral(" IS NOT ?");
            binds.push_back(&c.values[0]);
            break;
        case FetchRequest::Op::in: {
            if (c.values.empty()) {
                where << QStringLiteral("0");
                break;
            }
            QStringList marks;
            for (const auto &v : c.values) {
                marks << QStringLiteral("?");
                binds.push_back(&v);
            }
            where << col + QStringLiteral(" IN (") + marks.join(QStringLiteral(", ")) + QStringLiteral(")");
            break;
        }
        case FetchRequest::Op::isNull:
            where << col + QStringLiteral(" IS NULL");
            break;
        case FetchRequest::Op::notNull:
            where << col + QStringLiteral(" IS NOT NULL");
            break;
        case FetchRequest::Op::atMost:
            where << col + QStringLiteral(" <= ?");
            binds.push_back(&c.values[0]);
            break;
        }
    }
    if (!where.isEmpty())
        sql += QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "));
    if (request.sort)
        sql += QStringLiteral(" ORDER BY %1 %2, pk").arg(t.columns[size_t(request.sort->column)],
                                                          request.sort->ascending ? QStringLiteral("ASC") : QStringLiteral("DESC"));
    // Rows changed or deleted here may drop out of the result: fetch that many more.
    const qint64 sqlLimit = request.limit ? qint64(std::max(0, *request.limit)) + touchedOfType : -1;
    if (request.limit)
        sql += QStringLiteral(" LIMIT ?");

    auto stmt = m_container->prepare(sql, fetchFailed);
    int i = 1;
    for (const SqlValue *v : binds)
        stmt.bind(i++, *v);
    if (request.limit)
        stmt.bind(i, sqlLimit);

    std::vector<std::shared_ptr<Record>> result;
    std::unordered_set<const Record *> seen;
    bool holdsPending = false;
    while (stmt.step()) {
        auto r = materialize(type, stmt);
        if (r->m_state == Record::State::deleted)
            continue;
        if (r->m_pinned) {
            if (!matches(*r, request))
                continue;
            holdsPending = true;
        }
        seen.insert(r.get());
        result.push_back(std::move(r));
    }

    auto consider = [&](const std::shared_ptr<Record> &r) {
        if (r->m_type != type || r->m_state == Record::State::deleted || seen.count(r.get()) || !matches(*r, request))
            return;
        seen.insert(r.get());
        result.push_back(r);
        holdsPending = true;
    };
    const bool byPath = type == SyncFile::typeIndex
        && std::any_of(request.conditions.begin(), request.conditions.end(), [](const auto &c) {
               return c.column == int(SyncFile::Field::localPath) && c.op == FetchRequest::Op::equals;
           });
    if (byPath) {
        for (const auto &c : request.conditions)
            if (c.column == int(SyncFile::Field::localPath) && c.op == FetchRequest::Op::equals) {
                if (auto path = std::get_if<QString>(&c.values[0]))
                    for (Record *r : m_pendingPaths.values(*path))
                        consider(r->shared_from_this());
                break;
            }
    } else {
        for (const auto &r : m_inserted)
            consider(r);
        for (const auto &r : m_touched)
            consider(r);
    }

    if (request.sort && holdsPending) {
        const int col = request.sort->column;
        const bool asc = request.sort->ascending;
        auto pkKey = [](const Record *r) { return r->m_pk ? r->m_pk : std::numeric_limits<qint64>::max(); };
        std::stable_sort(result.begin(), result.end(), [&](const auto &a, const auto &b) {
            const int c = compareSqlValues(a->columnValue(col, nullptr), b->columnValue(col, nullptr));
            if (c != 0)
                return asc ? c < 0 : c > 0;
            return pkKey(a.get()) < pkKey(b.get());
        });
    }
    if (request.limit && result.size() > size_t(std::max(0, *request.limit)))
        result.resize(size_t(std::max(0, *request.limit)));
    return result;
}

std::vector<std::shared_ptr<Record>> ModelContext::recordsWithIDs(int type, const std::vector<qint64> &ids)
{
    std::unordered_map<qint64, std::shared_ptr<Record>> found;
    std::vector<qint64> missing;
    for (qint64 id : ids) {
        auto it = m_objects[size_t(type)].find(id);
        if (it != m_objects[size_t(type)].end()) {
            if (auto r = it->second.lock()) {
                found[id] = r;
                continue;
            }
        }
        missing.push_back(id);
    }
    constexpr size_t chunk = 500;
    for (size_t start = 0; start < missing.size(); start += chunk) {
        const size_t n = std::min(chunk, missing.size() - start);
        QStringList marks;
        for (size_t k = 0; k < n; ++k)
            marks << QStringLiteral("?");
        auto stmt = m_container->prepare(
            selectPrefix(type) + QStringLiteral(" WHERE pk IN (%1)").arg(marks.join(QStringLiteral(", "))), fetchFailed,
            false);
        for (size_t k = 0; k < n; ++k)
            stmt.bind(int(k) + 1, missing[start + k]);
        while (stmt.step()) {
            auto r = materialize(type, stmt);
            found[r->m_pk] = r;
        }
    }
    std::vector<std::shared_ptr<Record>> result;
    for (qint64 id : ids) {
        auto it = found.find(id);
        if (it != found.end() && !it->second->isDeleted())
            result.push_back(it->second);
    }
    return result;
}

std::vector<std::shared_ptr<DAWConfiguration>> ModelContext::loadAssociatedDAWs(qint64 folderID)
{
    std::vector<qint64> ids;
    {
        auto stmt = m_container->prepare(QStringLiteral("SELECT daw FROM %1 WHERE folder = ? ORDER BY daw").arg(linkTable),
                                         fetchFailed);
        stmt.bind(1, folderID);
        while (stmt.step())
            ids.push_back(stmt.integer(0));
    }
    std::vector<std::shared_ptr<DAWConfiguration>> result;
    for (auto &r : recordsWithIDs(DAWConfiguration::typeIndex, ids))
        result.push_back(std::static_pointer_cast<DAWConfiguration>(r));
    return result;
}

std::vector<std::shared_ptr<SyncRule>> ModelContext::rulesOf(const DAWConfiguration &daw)
{
    std::vector<std::shared_ptr<SyncRule>> result;
    auto owned = [&](const std::shared_ptr<SyncRule> &rule) { return rule->dawConfiguration().get() == &daw; };
    if (daw.persistentID()) {
        FetchDescriptor<SyncRule> d;
        d.equals(SyncRule::Field::dawConfiguration, daw.persistentID()).sortBy(SyncRule::Field::sortOrder);
        for (auto &rule : fetch(d))
            if (owned(rule))
                result.push_back(rule);
    } else {
        for (const auto &list : {&m_inserted, &m_touched})
            for (const auto &r : *list)
                if (r->m_type == SyncRule::typeIndex && !r->isDeleted()) {
                    auto rule = std::static_pointer_cast<SyncRule>(r);
                    if (owned(rule))
                        result.push_back(rule);
                }
        std::stable_sort(result.begin(), result.end(),
                         [](const auto &a, const auto &b) { return a->sortOrder() < b->sortOrder(); });
    }
    return result;
}

std::vector<std::shared_ptr<SyncFolder>> ModelContext::foldersLinkedTo(const DAWConfiguration &daw)
{
    std::vector<std::shared_ptr<Record>> candidates;
    if (daw.persistentID()) {
        std::vector<qint64> ids;
        auto stmt = m_container->prepare(QStringLiteral("SELECT folder FROM %1 WHERE daw = ? ORDER BY folder").arg(linkTable),
                                         fetchFailed);
        stmt.bind(1, daw.persistentID());
        while (stmt.step())
            ids.push_back(stmt.integer(0));
        candidates = recordsWithIDs(SyncFolder::typeIndex, ids);
    }
    for (const auto &list : {&m_inserted, &m_touched})
        for (const auto &r : *list)
            if (r->m_type == SyncFolder::typeIndex)
                candidates.push_back(r);

    std::vector<std::shared_ptr<SyncFolder>> result;
    std::unordered_set<const Record *> seen;
    for (const auto &r : candidates) {
        if (r->isDeleted() || !seen.insert(r.get()).second)
            continue;
        auto folder = std::static_pointer_cast<SyncFolder>(r);
        const auto daws = folder->associatedDAWs();
        if (std::any_of(daws.begin(), daws.end(), [&](const auto &d) { return d.get() == &daw; }))
            result.push_back(folder);
    }
    return result;
}

void ModelContext::mergeSavedChanges(const SavedChanges &changes)
{
    bool merged = false;
    // Deleted rows first: a row id deleted by that save may be the id of a record it
    // inserted, and a handle of the deleted row must not take the new record's values.
    for (const auto &[type, pk] : changes.deleted) {
        auto &map = m_objects[size_t(type)];
        auto it = map.find(pk);
        if (it == map.end())
            continue;
        auto local = it->second.lock();
        map.erase(it);
        if (!local)
            continue;
        if (local->m_pinned) {
            m_touched.erase(std::remove(m_touched.begin(), m_touched.end(), local), m_touched.end());
            if (type == SyncFile::typeIndex)
                m_pendingPaths.remove(static_cast<SyncFile *>(local.get())->localPath(), local.get());
        }
        local->m_state = Record::State::deleted;
        local->m_context = nullptr;
        local->m_pinned = false;
        merged = true;
    }
    for (const auto &[source, mask] : changes.written) {
        auto &map = m_objects[size_t(source->m_type)];
        auto it = map.find(source->m_pk);
        if (it == map.end())
            continue;
        auto local = it->second.lock();
        if (!local || local == source)
            continue;
        const bool path = local->m_type == SyncFile::typeIndex;
        const QString oldPath = path ? static_cast<SyncFile *>(local.get())->localPath() : QString();
        local->mergeFrom(*source, mask);
        if (path && oldPath != static_cast<SyncFile *>(local.get())->localPath())
            syncFilePathChanged(static_cast<SyncFile *>(local.get()), oldPath);
        merged = true;
    }
    if (merged)
        Q_EMIT didMergeChanges();
}

} // namespace quillmere
