#include "Model/OperationResolution.h"

namespace quillmere {

const TableLayout<OperationResolutionData> &OperationResolution::layout()
{
    using D = Data;
    static const TableLayout<D> s(
        QStringLiteral("OperationResolution"), typeIndex,
        {
            column<&D::id, D>("id", "TEXT NOT NULL"),
            column<&D::fileUUID, D>("fileUUID", "TEXT"),
            column<&D::operationType, D>("operationType", "TEXT NOT NULL"),
            column<&D::beforePath, D>("beforePath", "TEXT"),
            column<&D::beforeChecksum, D>("beforeChecksum", "TEXT"),
            column<&D::beforeBaseCommitSha, D>("beforeBaseCommitSha", "TEXT"),
            column<&D::afterPath, D>("afterPath", "TEXT"),
            column<&D::afterChecksum, D>("afterChecksum", "TEXT"),
            column<&D::afterBaseCommitSha, D>("afterBaseCommitSha", "TEXT"),
            column<&D::serverFileID, D>("serverFileID", "INTEGER"),
            column<&D::serverCommitSha, D>("serverCommitSha", "TEXT"),
            column<&D::conflictType, D>("conflictType", "TEXT"),
            column<&D::conflictServerOid, D>("conflictServerOid", "TEXT"),
            column<&D::attemptedAt, D>("attemptedAt", "INTEGER NOT NULL"),
            column<&D::resolvedAt, D>("resolvedAt", "INTEGER NOT NULL"),
            column<&D::outcome, D>("outcome", "TEXT NOT NULL"),
            column<&D::errorMessage, D>("errorMessage", "TEXT"),
        },
        {}, QString(), [] { return std::static_pointer_cast<Record>(std::make_shared<OperationResolution>()); });
    return s;
}

} // namespace quillmere
