#pragma once

#include "Model/QuillmereSchemaV1.h"
#include "Model/SqlStatement.h"
#include "Model/StoreError.h"
#include "Model/WalCheckpointer.h"

#include <QHash>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace quillmere {

class ModelContext;
class StoreLock;
struct SavedChanges;

// What one committed save did, for whoever follows the store: each entry names the record
// type (its table, e.g. "SyncFile") and the row id. A file renamed onto a tracked path
// leaves the row it replaced under deleted; an insert of a path that another context stored
// meanwhile keeps that row's id and counts as changed.
struct StoreChanges
{
    struct Entry
    {
        QString type;
        qint64 id = 0;
        friend bool operator==(const Entry &, const Entry &) = default;
    };
    std::vector<Entry> inserted;
    std::vector<Entry> changed;
    std::vector<Entry> deleted;
};

// One open store: the SQLite connection that every context of the process shares, the
// lock that keeps other instances out, and the list of contexts to tell about saves.
class ModelContainer : public QObject
{
    Q_OBJECT

public:
    // Opens (creating when the file is new) the store at path under the given lock.
    // Throws StoreError: cannotOpen only on proof that the file is damaged or not a store of
    // this schema (its checks' verdict, SQLITE_CORRUPT or SQLITE_NOTADB); noSpace for a full
    // disk or an I/O error; noAccess when it cannot be opened or access was refused. The
    // connection is closed again before the throw. In WAL mode the log is copied back
    // by a WalCheckpointer under the given policy, never on this thread.
    static std::shared_ptr<ModelContainer> open(const QString &path, std::shared_ptr<StoreLock> lock,
                                                CheckpointPolicy checkpoints = {});

    ~ModelContainer() override;

    const QString &path() const { return m_path; }
    sqlite3 *database() const { return m_db; }
    // "wal", or "delete" on a network home.
    const QString &journalMode() const { return m_journalMode; }

    // A statement ready to bind; cached statements are kept prepared for the container's life.
    SqlStatement prepare(const QString &sql, StoreError::Kind errorKind, bool cache = true);
    void execute(const char *sql, StoreError::Kind errorKind);

    // True for NFS and SMB/CIFS, where SQLite's shared-memory WAL index is unsafe.
    static bool isNetworkFileSystem(const QString &folder);

Q_SIGNALS:
    // A save of any context of this container was committed. Emitted on the main thread
    // after every other context has taken the saved values, so a receiver that fetches
    // sees them.
    void saved(const quillmere::StoreChanges &changes);

private:
    friend class ModelContext;

    ModelContainer(QString path, sqlite3 *db, std::shared_ptr<StoreLock> lock);
    void configureAndCheck();
    void upgradeLayout(const QuillmereSchemaV1::EarlierLayout &layout);

    void registerContext(ModelContext *context) { m_contexts.push_back(context); }
    void unregisterContext(ModelContext *context);
    void broadcast(ModelContext *source, const SavedChanges &changes, const StoreChanges &announced);

    QString m_path;
    sqlite3 *m_db;
    std::shared_ptr<StoreLock> m_lock;
    QString m_journalMode;
    QHash<QString, sqlite3_stmt *> m_statements;
    std::vector<ModelContext *> m_contexts;
    std::unique_ptr<WalCheckpointer> m_checkpointer; // closed before the main connection
};

} // namespace quillmere

Q_DECLARE_METATYPE(quillmere::StoreChanges)
