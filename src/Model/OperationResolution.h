#pragma once

#include "Model/FetchDescriptor.h"
#include "Model/FieldMacros.h"
#include "Model/RecordOf.h"

#include <QDateTime>
#include <QUuid>

#include <optional>

namespace quillmere {

struct OperationResolutionData
{
    QUuid id;
    std::optional<QString> fileUUID;
    QString operationType;
    std::optional<QString> beforePath;
    std::optional<QString> beforeChecksum;
    std::optional<QString> beforeBaseCommitSha;
    std::optional<QString> afterPath;
    std::optional<QString> afterChecksum;
    std::optional<QString> afterBaseCommitSha;
    std::optional<qint64> serverFileID;
    std::optional<QString> serverCommitSha;
    std::optional<QString> conflictType;
    std::optional<QString> conflictServerOid;
    QDateTime attemptedAt;
    QDateTime resolvedAt;
    QString outcome;
    std::optional<QString> errorMessage;
};

// One row of the journal of applied sync operations; only ever inserted.
class OperationResolution : public RecordOf<OperationResolution, OperationResolutionData>
{
public:
    using Data = OperationResolutionData;
    enum class Field {
        id,
        fileUUID,
        operationType,
        beforePath,
        beforeChecksum,
        beforeBaseCommitSha,
        afterPath,
        afterChecksum,
        afterBaseCommitSha,
        serverFileID,
        serverCommitSha,
        conflictType,
        conflictServerOid,
        attemptedAt,
        resolvedAt,
        outcome,
        errorMessage,
    };
    static constexpr int typeIndex = 5;

    // Every stored value comes from the creator; build with designated initialisers.
    explicit OperationResolution(Data data)
        : RecordOf(std::move(data))
    {
    }
    OperationResolution() = default;

    static const TableLayout<Data> &layout();

    QUILLMERE_FIELD(QUuid, id, setId)
    QUILLMERE_FIELD(std::optional<QString>, fileUUID, setFileUUID)
    QUILLMERE_FIELD(QString, operationType, setOperationType)
    QUILLMERE_FIELD(std::optional<QString>, beforePath, setBeforePath)
    QUILLMERE_FIELD(std::optional<QString>, beforeChecksum, setBeforeChecksum)
    QUILLMERE_FIELD(std::optional<QString>, beforeBaseCommitSha, setBeforeBaseCommitSha)
    QUILLMERE_FIELD(std::optional<QString>, afterPath, setAfterPath)
    QUILLMERE_FIELD(std::optional<QString>, afterChecksum, setAfterChecksum)
    QUILLMERE_FIELD(std::optional<QString>, afterBaseCommitSha, setAfterBaseCommitSha)
    QUILLMERE_FIELD(std::optional<qint64>, serverFileID, setServerFileID)
    QUILLMERE_FIELD(std::optional<QString>, serverCommitSha, setServerCommitSha)
    QUILLMERE_FIELD(std::optional<QString>, conflictType, setConflictType)
    QUILLMERE_FIELD(std::optional<QString>, conflictServerOid, setConflictServerOid)
    QUILLMERE_FIELD(QDateTime, attemptedAt, setAttemptedAt)
    QUILLMERE_FIELD(QDateTime, resolvedAt, setResolvedAt)
    QUILLMERE_FIELD(QString, outcome, setOutcome)
    QUILLMERE_FIELD(std::optional<QString>, errorMessage, setErrorMessage)
};

} // namespace quillmere
