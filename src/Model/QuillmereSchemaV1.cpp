#include "Model/QuillmereSchemaV1.h"

#include "Model/DAWConfiguration.h"
#include "Model/MultipartUploadState.h"
#include "Model/OperationResolution.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Model/SyncRule.h"
#include "Model/SyncSettings.h"

#include <QCryptographicHash>

#include <sqlite3.h>

namespace quillmere {

QString QuillmereSchemaV1::versionIdentifier()
{
    return QStringLiteral("1.0.0");
}

const std::vector<const TableInfo *> &QuillmereSchemaV1::models()
{
    static const std::vector<const TableInfo *> list{
        &SyncSettings::layout().info,     &SyncRule::layout().info,          &SyncFile::layout().info,
        &SyncFolder::layout().info,       &DAWConfiguration::layout().info, &OperationResolution::layout().info,
        &MultipartUploadState::layout().info,
    };
    return list;
}

QStringList QuillmereSchemaV1::ddl()
{
    QStringList statements;
    statements << QStringLiteral("CREATE TABLE %1 (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
                      .arg(QLatin1String(metaTable));
    for (const TableInfo *t : models()) {
        QStringList cols{QStringLiteral("pk INTEGER PRIMARY KEY")};
        for (size_t i = 0; i < t->columns.size(); ++i)
            cols << t->columns[i] + QLatin1Char(' ') + t->columnDDL[i];
        statements << QStringLiteral("CREATE TABLE %1 (%2)").arg(t->name, cols.join(QStringLiteral(", ")));
    }
    for (const TableInfo *t : models())
        for (const QString &extra : t->extraDDL)
            statements << extra;
    return statements;
}

QString QuillmereSchemaV1::fingerprintOf(sqlite3 *db)
{
    sqlite3_stmt *stmt = nullptr;
    const char *query = "SELECT type, name, tbl_name, sql FROM sqlite_master "
                        "WHERE name NOT LIKE 'sqlite_%' ORDER BY type, name";
    if (sqlite3_prepare_v2(db, query, -1, &stmt, nullptr) != SQLITE_OK)
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        for (int c = 0; c < 4; ++c) {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
            hash.addData(QByteArrayView(text ? text : ""));
            hash.addData(QByteArrayView("\x1f"));
        }
        hash.addData(QByteArrayView("\n"));
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE)
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

namespace {
QString fingerprintOfDDL(const QStringList &statements)
{
    sqlite3 *db = nullptr;
    sqlite3_open(":memory:", &db);
    for (const QString &statement : statements)
        sqlite3_exec(db, statement.toUtf8().constData(), nullptr, nullptr, nullptr);
    QString result = QuillmereSchemaV1::fingerprintOf(db);
    sqlite3_close(db);
    return result;
}
} // namespace

QString QuillmereSchemaV1::expectedFingerprint()
{
    static const QString fingerprint = fingerprintOfDDL(ddl());
    return fingerprint;
}

const std::vector<QuillmereSchemaV1::EarlierLayout> &QuillmereSchemaV1::earlierLayouts()
{
    static const QString remoteIdIndex =
        QStringLiteral("CREATE INDEX SyncFile_folder_remoteId ON SyncFile(folderID, remoteId)");
    static const QString folderStatusIndex =
        QStringLiteral("CREATE INDEX SyncFile_folder_status ON SyncFile(folderID, syncStatus, desiredState)");
    static const QString fileUUIDIndex = QStringLiteral("CREATE INDEX SyncFile_fileUUID ON SyncFile(fileUUID)");
    // The statements of today's indexes that replaced or joined the file UUID index.
    static const QStringList fileUUIDAndConflictIndexes = [] {
        QStringList statements;
        for (const QString &statement : SyncFile::layout().info.extraDDL)
            if (statement.contains(QLatin1String("SyncFile_fileUUID_folder"))
                || statement.contains(QLatin1String("SyncFile_conflicts")))
                statements << statement;
        return statements;
    }();
    // The layout before them: an index on the file UUID alone, none for conflicts.
    static const QStringList withFileUUIDAlone = [] {
        QStringList statements = ddl();
        for (const QString &statement : fileUUIDAndConflictIndexes)
            statements.removeAll(statement);
        return statements << fileUUIDIndex;
    }();
    static const QStringList fromFileUUIDAlone = QStringList{QStringLiteral("DROP INDEX SyncFile_fileUUID")}
                                                 + fileUUIDAndConflictIndexes;
    // And before that, the layout before the index on (folderID, remoteId).
    static const QStringList withoutRemoteId = [] {
        QStringList statements = withFileUUIDAlone;
        statements.removeAll(remoteIdIndex);
        return statements;
    }();
    static const std::vector<EarlierLayout> layouts{
        {fingerprintOfDDL(withFileUUIDAlone), fromFileUUIDAlone},
        // (folderID, syncStatus, desiredState): the dispatch index begins with the same two
        // columns, and every commit that changed a record's status paid for both.
        {fingerprintOfDDL(QStringList(withFileUUIDAlone) << folderStatusIndex),
         QStringList{QStringLiteral("DROP INDEX SyncFile_folder_status")} + fromFileUUIDAlone},
        {fingerprintOfDDL(QStringList(withoutRemoteId) << folderStatusIndex),
         QStringList{QStringLiteral("DROP INDEX SyncFile_folder_status"), remoteIdIndex} + fromFileUUIDAlone},
        {fingerprintOfDDL(withoutRemoteId), QStringList{remoteIdIndex} + fromFileUUIDAlone},
    };
    return layouts;
}

} // namespace quillmere
