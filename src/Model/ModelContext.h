#pragma once

#include "Model/FetchDescriptor.h"
#include "Model/ModelContainer.h"
#include "Model/Record.h"

#include <QMultiHash>
#include <QObject>

#include <array>
#include <functional>
#include <memory>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace quillmere {

class DAWConfiguration;
class SyncFile;
class SyncFolder;
class SyncRule;

// What one context's save wrote, for the other contexts of the container.
struct SavedChanges
{
    std::vector<std::pair<std::shared_ptr<Record>, quint64>> written; // record and its changed fields
    std::vector<std::pair<int, qint64>> deleted;                      // type index and row id
};

// A unit of work on the store: one object per row (an identity map), per-field change
// tracking, and fetches that see the unsaved changes. Main thread only.
class ModelContext : public QObject
{
    Q_OBJECT

public:
    static constexpr int typeCount = 7;

    explicit ModelContext(std::shared_ptr<ModelContainer> container, QObject *parent = nullptr);
    ~ModelContext() override;

    ModelContainer &container() const { return *m_container; }

    // Adds a new record. A SyncFile whose localPath is already stored (or pending) is not
    // added: the existing record takes its values and is returned; use the returned handle.
    template<typename T>
    std::shared_ptr<T> insert(std::shared_ptr<T> record)
    {
        return std::static_pointer_cast<T>(insertRecord(std::move(record)));
    }

    // Deletes a record at the next save. Deleting a DAWConfiguration deletes its rules and
    // removes it from every folder's associatedDAWs.
    void remove(const std::shared_ptr<Record> &record);

    // Writes every change in one transaction (only changed columns of changed records),
    // with the result of applying the changes in the order they were made: a renamed
    // record leaves its old path before any record takes that path, so swaps and a new
    // record at a renamed one's old path save as made. A SyncFile renamed onto a path that
    // another record holds replaces that record (one record per path); the context removes
    // it at the rename, and the save removes a row that reached the path from elsewhere
    // since. Then the other contexts take the saved values and the container announces
    // the save (ModelContainer::saved).
    // On failure the transaction is rolled back, nothing is written, and StoreError
    // (saveFailed) is thrown; the context keeps every change as it was and stays usable:
    // a later save() writes them once the cause is gone, rollback() discards them.
    void save();
    // Discards every unsaved change: restores fields, un-inserts and un-deletes.
    void rollback();
    // The same for one record only: the other unsaved changes stay pending. Changes the
    // context made to other records on its behalf (a record replaced by a rename) stay.
    void rollback(const std::shared_ptr<Record> &record);
    bool hasChanges() const;
    // Whether an unsaved change (insert, change or delete) is of a record `known` does not
    // claim: one who follows its own unsaved records asks only about everyone else's.
    bool hasChangesOtherThan(const std::function<bool(const Record &)> &known) const;
    // How many records of the type have an object in this context (held by anyone).
    template<typename T>
    qsizetype liveObjectCount() const
    {
        return liveObjects(T::typeIndex);
    }

    // One SQL statement, then the unsaved changes laid over it; the limit applies last.
    template<typename T>
    std::vector<std::shared_ptr<T>> fetch(const FetchDescriptor<T> &descriptor = {})
    {
        std::vector<std::shared_ptr<T>> result;
        for (auto &r : fetchRecords(T::typeIndex, descriptor))
            result.push_back(std::static_pointer_cast<T>(std::move(r)));
        return result;
    }
    template<typename T>
    std::shared_ptr<T> fetchFirst(FetchDescriptor<T> descriptor)
    {
        descriptor.limit = 1;
        auto list = fetch<T>(descriptor);
        return list.empty() ? nullptr : list.front();
    }
    // The record with this row id, unless deleted.
    template<typename T>
    std::shared_ptr<T> object(qint64 persistentID)
    {
        auto list = recordsWithIDs(T::typeIndex, {persistentID});
        return list.empty() ? nullptr : std::static_pointer_cast<T>(list.front());
    }

    // Relationship support for the records.
    std::vector<std::shared_ptr<DAWConfiguration>> loadAssociatedDAWs(qint64 folderID);
    std::vector<std::shared_ptr<SyncRule>> rulesOf(const DAWConfiguration &daw);
    std::vector<std::shared_ptr<SyncFolder>> foldersLinkedTo(const DAWConfiguration &daw);
    // Inserts a related record that is in no context yet.
    void adopt(const std::shared_ptr<Record> &record);

Q_SIGNALS:
    void didSave();
    // Another context's save changed records held here.
    void didMergeChanges();

private:
    friend class Record;
    friend class SyncFile;
    friend class ModelContainer;
    // The lane's hand-written queries (LaneQueries.cpp) lay the unsaved changes over their
    // statements themselves.
    friend struct LaneQueryAccess;

    std::shared_ptr<Record> insertRecord(std::shared_ptr<Record> record);
    qsizetype liveObjects(int type) const;
    std::vector<std::shared_ptr<Record>> fetchRecords(int type, const FetchRequest &request);
    std::vector<std::shared_ptr<Record>> recordsWithIDs(int type, const std::vector<qint64> &ids);
    std::shared_ptr<Record> materialize(int type, const class SqlStatement &row);
    bool matches(const Record &record, const FetchRequest &request) const;

    void recordDidChange(Record *record, int field);
    void syncFilePathChanged(SyncFile *file, const QString &oldPath);
    void syncFileRenamed(SyncFile *file, const QString &oldPath);
    void release(const std::shared_ptr<Record> &record);
    void forget(Record *record);
    void mergeSavedChanges(const SavedChanges &changes);

    std::shared_ptr<ModelContainer> m_container;
    std::array<std::unordered_map<qint64, std::weak_ptr<Record>>, typeCount> m_objects;
    std::vector<std::shared_ptr<Record>> m_inserted; // in insertion order
    std::vector<std::shared_ptr<Record>> m_touched;  // stored records changed or deleted
    // localPath of every pending SyncFile (inserted or changed), for lookups by path.
    QMultiHash<QString, Record *> m_pendingPaths;
};

} // namespace quillmere
