#include "Model/MultipartUploadState.h"

namespace quillmere {

const TableLayout<MultipartUploadStateData> &MultipartUploadState::layout()
{
    using D = Data;
    static const TableLayout<D> s(
        QStringLiteral("MultipartUploadState"), typeIndex,
        {
            column<&D::uploadId, D>("uploadId", "TEXT NOT NULL"),
            column<&D::oid, D>("oid", "TEXT NOT NULL"),
            column<&D::localPath, D>("localPath", "TEXT NOT NULL"),
            column<&D::stagedPath, D>("stagedPath", "TEXT NOT NULL"),
            column<&D::fileSize, D>("fileSize", "INTEGER NOT NULL"),
            column<&D::partSize, D>("partSize", "INTEGER NOT NULL"),
            column<&D::totalParts, D>("totalParts", "INTEGER NOT NULL"),
            column<&D::completedPartsData, D>("completedPartsData", "BLOB NOT NULL"),
            column<&D::createdAt, D>("createdAt", "INTEGER NOT NULL"),
            column<&D::folderID, D>("folderID", "TEXT NOT NULL"),
        },
        {QStringLiteral("CREATE INDEX MultipartUploadState_folderID ON MultipartUploadState(folderID)")}, QString(),
        [] { return std::static_pointer_cast<Record>(std::make_shared<MultipartUploadState>()); });
    return s;
}

FetchDescriptor<MultipartUploadState> MultipartUploadState::inFolder(const QUuid &folderID)
{
    FetchDescriptor<MultipartUploadState> d;
    d.equals(Field::folderID, folderID);
    return d;
}

} // namespace quillmere
