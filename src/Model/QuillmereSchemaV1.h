#pragma once

#include "Model/TableInfo.h"

#include <QString>
#include <QStringList>

#include <vector>

struct sqlite3;

namespace quillmere {

// The one schema version of the store: its record types and the DDL that stores them.
class QuillmereSchemaV1
{
public:
    QuillmereSchemaV1() = delete;

    static QString versionIdentifier(); // "1.0.0"
    // SyncSettings, SyncRule, SyncFile, SyncFolder, DAWConfiguration, OperationResolution,
    // MultipartUploadState; each type's typeIndex is its place here.
    static const std::vector<const TableInfo *> &models();
    static const TableInfo &model(int typeIndex) { return *models()[size_t(typeIndex)]; }
    // Every statement that creates the schema, the meta table included.
    static QStringList ddl();
    // SHA-256 of the schema as SQLite records it, for a store made by ddl().
    static QString expectedFingerprint();
    // The same digest of an open database's schema.
    static QString fingerprintOf(sqlite3 *db);

    // A store of this version made by an earlier build: the same tables, other indexes. It
    // is recognised by its fingerprint (recorded and actual alike) and brought up to date
    // by the statements, which leave the tables and their rows as they are.
    struct EarlierLayout
    {
        QString fingerprint;
        QStringList upgrade;
    };
    static const std::vector<EarlierLayout> &earlierLayouts();

    static constexpr const char *metaTable = "quillmere_meta";
};

// The migration plan: one schema and no stages. A store that does not match the schema
// cannot be opened (and is quarantined by ModelContainerFactory); one in an earlier layout
// of it has its indexes brought up to date when it is opened.
class QuillmereMigrationPlan
{
public:
    QuillmereMigrationPlan() = delete;
    static QStringList schemas() { return {QuillmereSchemaV1::versionIdentifier()}; }
    static int stageCount() { return 0; }
};

} // namespace quillmere
