#include "Model/ModelContainer.h"

#include "Model/ModelContext.h"
#include "Model/QuillmereSchemaV1.h"
#include "Model/StoreLock.h"
#include "Model/StoreLog.h"

#include <QFileInfo>

#include <algorithm>
#include <sqlite3.h>
#include <sys/vfs.h>

namespace quillmere {

namespace {
constexpr long nfsMagic = 0x6969;
constexpr long smbMagic = 0x517B;
constexpr long cifsMagic = 0xFF534D42;
constexpr long smb2Magic = 0xFE534D42;
constexpr int busyTimeoutMs = 5000;

QString errorOf(sqlite3 *db)
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory");
}

// Only a verdict on the file's content proves it damaged: our own checks (no SQLite code), or
// SQLite finding the file corrupt or no database. A full disk, an I/O error, a file that
// cannot be opened or a refused permission says nothing about the file, which may hold every
// record and open again once the cause is gone.
StoreError openFailure(const StoreError &e)
{
    const int code = e.sqliteCode();
    switch (code & 0xff) {
    case SQLITE_OK:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return StoreError(StoreError::Kind::cannotOpen, e.detail(), code);
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
    case SQLITE_BUSY: // another program holds it past the busy timeout
    case SQLITE_LOCKED:
        return StoreError(StoreError::Kind::noAccess, e.detail(), code);
    default:
        return StoreError(StoreError::Kind::noSpace, e.detail(), code);
    }
}
} // namespace

bool ModelContainer::isNetworkFileSystem(const QString &folder)
{
    struct statfs fs{};
    if (::statfs(folder.toLocal8Bit().constData(), &fs) != 0)
        return false;
    const long type = long(fs.f_type) & 0xFFFFFFFFL;
    return type == nfsMagic || type == smbMagic || type == cifsMagic || type == smb2Magic;
}

ModelContainer::ModelContainer(QString path, sqlite3 *db, std::shared_ptr<StoreLock> lock)
    : m_path(std::move(path))
    , m_db(db)
    , m_lock(std::move(lock))
{
}

std::shared_ptr<ModelContainer> ModelContainer::open(const QString &path, std::shared_ptr<StoreLock> lock,
                                                     CheckpointPolicy checkpoints)
{
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        const QString detail = errorOf(db);
        const int code = db ? sqlite3_extended_errcode(db) : rc;
        sqlite3_close(db);
        throw openFailure(StoreError(StoreError::Kind::cannotOpen, detail, code));
    }
    std::shared_ptr<ModelContainer> container(new ModelContainer(path, db, std::move(lock)));
    try {
        container->configureAndCheck(); // a throw closes the connection through the destructor
    } catch (const StoreError &e) {
        throw openFailure(e);
    }
    // Only a store that passed the checks gets a second connection: a rejected one goes to
    // quarantine exactly as it was.
    if (container->m_journalMode == QLatin1String("wal")) {
        // SQLite would checkpoint on the committing thread, syncs and all, every 1,000 pages.
        try {
            container->m_checkpointer = std::make_unique<WalCheckpointer>(path, db, checkpoints);
        } catch (const StoreError &e) {
            // SQLite's own checkpoints still keep the log bounded.
            qCWarning(storeLog) << "Checkpoints stay on the committing thread:" << e.detail();
        }
    }
    return container;
}

ModelContainer::~ModelContainer()
{
    m_checkpointer.reset(); // its connection closes before this one, which then removes the log
    for (sqlite3_stmt *stmt : std::as_const(m_statements))
        sqlite3_finalize(stmt);
    sqlite3_close_v2(m_db);
}

void ModelContainer::execute(const char *sql, StoreError::Kind errorKind)
{
    char *message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const QString detail = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db));
        sqlite3_free(message);
        throw StoreError(errorKind, detail, sqlite3_extended_errcode(m_db));
    }
}

SqlStatement ModelContainer::prepare(const QString &sql, StoreError::Kind errorKind, bool cache)
{
    if (cache) {
        if (sqlite3_stmt *stmt = m_statements.value(sql))
            return SqlStatement(m_db, stmt, false, errorKind);
    }
    sqlite3_stmt *stmt = nullptr;
    const QByteArray utf8 = sql.toUtf8();
    if (sqlite3_prepare_v2(m_db, utf8.constData(), int(utf8.size()), &stmt, nullptr) != SQLITE_OK)
        throw StoreError(errorKind, errorOf(m_db), sqlite3_extended_errcode(m_db));
    if (cache)
        m_statements.insert(sql, stmt);
    return SqlStatement(m_db, stmt, !cache, errorKind);
}

void ModelContainer::configureAndCheck()
{
    constexpr auto fail = StoreError::Kind::cannotOpen;
    sqlite3_busy_timeout(m_db, busyTimeoutMs);
    sqlite3_extended_result_codes(m_db, 1);
    // Until the file has proved to be our store, nothing may change it: no journal-mode
    // switch, and no checkpoint on close (that would fold its -wal into it and delete it).
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);

    {
        // The first read of the header: a file that is no database fails here.
        auto check = prepare(QStringLiteral("PRAGMA quick_check"), fail, false);
        if (!check.step())
            throw StoreError(fail, QStringLiteral("quick_check gave no answer"));
        const SqlValue verdict = check.value(0);
        if (!std::holds_alternative<QString>(verdict) || std::get<QString>(verdict) != QLatin1String("ok"))
            throw StoreError(fail, QStringLiteral("quick_check failed"));
    }
    qint64 objects = 0;
    const QuillmereSchemaV1::EarlierLayout *earlier = nullptr;
    {
        auto count = prepare(QStringLiteral("SELECT count(*) FROM sqlite_master"), fail, false);
        count.step();
        objects = count.integer(0);
    }
    if (objects != 0) {
        // An existing file must be exactly this schema: the version and fingerprint it
        // recorded, and the schema SQLite actually holds.
        QString version, fingerprint;
        try {
            auto meta = prepare(
                QStringLiteral("SELECT key, value FROM %1").arg(QLatin1String(QuillmereSchemaV1::metaTable)), fail, false);
            while (meta.step()) {
                QString key, value;
                sql::decode(meta.value(0), key);
                sql::decode(meta.value(1), value);
                if (key == QLatin1String("version"))
                    version = value;
                else if (key == QLatin1String("fingerprint"))
                    fingerprint = value;
            }
        } catch (const StoreError &e) {
            // No meta table is the schema's verdict; a read that failed is not.
            if ((e.sqliteCode() & 0xff) != SQLITE_ERROR)
                throw;
            throw StoreError(fail, QStringLiteral("not a store of this application"));
        }
        if (version != QuillmereSchemaV1::versionIdentifier())
            throw StoreError(fail, QStringLiteral("schema version %1 is not %2")
                                       .arg(version, QuillmereSchemaV1::versionIdentifier()));
        const QString expected = QuillmereSchemaV1::expectedFingerprint();
        const QString actual = QuillmereSchemaV1::fingerprintOf(m_db);
        if (actual.isEmpty()) // the schema could not be read: the error says why
            throw StoreError(fail, errorOf(m_db), sqlite3_extended_errcode(m_db));
        if (fingerprint != expected || actual != expected) {
            for (const auto &layout : QuillmereSchemaV1::earlierLayouts())
                if (fingerprint == layout.fingerprint && actual == layout.fingerprint)
                    earlier = &layout;
            if (!earlier)
                throw StoreError(fail, QStringLiteral("schema does not match version %1").arg(version));
        }
    }

    const bool network = isNetworkFileSystem(QFileInfo(m_path).absolutePath());
    {
        auto mode = prepare(network ? QStringLiteral("PRAGMA journal_mode=DELETE") : QStringLiteral("PRAGMA journal_mode=WAL"),
                            fail, false);
        if (!mode.step())
            throw StoreError(fail, QStringLiteral("journal mode not reported"));
        m_journalMode = std::get<QString>(mode.value(0)).toLower();
    }
    execute("PRAGMA synchronous=NORMAL", fail);
    execute("PRAGMA foreign_keys=ON", fail);
    // A save holds up to 8 MB of changed pages before it writes any to the WAL (the cache
    // itself stays at 2 MB, and shrinks back to it once the save ends). Index keys that come
    // in no order, as file UUIDs do, touch pages all over their index: with only the cache's
    // 2 MB, a save of 100,000 such records wrote pages out and read them back again and
    // again, about 40% of its time. With 8 MB that save writes out and reads back about 6,500
    // pages, against 70,000 with 2 MB; 16 MB spared those few and raised its peak by 8 MB.
    execute("PRAGMA cache_spill=2000", fail);

    if (objects == 0) {
        execute("BEGIN IMMEDIATE", fail);
        try {
            for (const QString &statement : QuillmereSchemaV1::ddl())
                execute(statement.toUtf8().constData(), fail);
            auto meta = prepare(QStringLiteral("INSERT INTO %1 (key, value) VALUES (?, ?), (?, ?)")
                                    .arg(QLatin1String(QuillmereSchemaV1::metaTable)),
                                fail, false);
            meta.bind(1, QStringLiteral("version"));
            meta.bind(2, QuillmereSchemaV1::versionIdentifier());
            meta.bind(3, QStringLiteral("fingerprint"));
            meta.bind(4, QuillmereSchemaV1::expectedFingerprint());
            meta.run();
            execute("COMMIT", fail);
        } catch (...) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    if (earlier)
        upgradeLayout(*earlier);
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
}

void ModelContainer::upgradeLayout(const QuillmereSchemaV1::EarlierLayout &layout)
{
    constexpr auto fail = StoreError::Kind::cannotOpen;
    try {
        execute("BEGIN IMMEDIATE", fail);
        try {
            for (const QString &statement : layout.upgrade)
                execute(statement.toUtf8().constData(), fail);
            auto meta = prepare(QStringLiteral("UPDATE %1 SET value = ? WHERE key = 'fingerprint'")
                                    .arg(QLatin1String(QuillmereSchemaV1::metaTable)),
                                fail, false);
            meta.bind(1, QuillmereSchemaV1::expectedFingerprint());
            meta.run();
            if (QuillmereSchemaV1::fingerprintOf(m_db) != QuillmereSchemaV1::expectedFingerprint())
                throw StoreError(fail, QStringLiteral("the upgraded schema does not match"));
            execute("COMMIT", fail);
        } catch (...) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    } catch (const StoreError &e) {
        // The earlier layout holds the same records and answers every query: it stays as it
        // is, and the next start tries again.
        qCWarning(storeLog) << "The store's indexes were not brought up to date:" << e.detail();
    }
}

void ModelContainer::unregisterContext(ModelContext *context)
{
    m_contexts.erase(std::remove(m_contexts.begin(), m_contexts.end(), context), m_contexts.end());
}

void ModelContainer::broadcast(ModelContext *source, const SavedChanges &changes, const StoreChanges &announced)
{
    const auto contexts = m_contexts; // a handler may make or drop contexts
    for (ModelContext *context : contexts)
        if (context != source && std::find(m_contexts.begin(), m_contexts.end(), context) != m_contexts.end())
            context->mergeSavedChanges(changes);
    Q_EMIT saved(announced);
}

} // namespace quillmere
