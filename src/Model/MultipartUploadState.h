#pragma once

#include "Model/FetchDescriptor.h"
#include "Model/FieldMacros.h"
#include "Model/RecordOf.h"

#include <QByteArray>
#include <QDateTime>
#include <QUuid>

namespace quillmere {

struct MultipartUploadStateData
{
    QString uploadId;
    QString oid;
    QString localPath;
    QString stagedPath;
    qint64 fileSize = 0;
    qint64 partSize = 0;
    qint64 totalParts = 0;
    QByteArray completedPartsData;
    QDateTime createdAt;
    QUuid folderID;
};

// A multipart upload that was interrupted; cleaned up when its folder's lane starts.
class MultipartUploadState : public RecordOf<MultipartUploadState, MultipartUploadStateData>
{
public:
    using Data = MultipartUploadStateData;
    enum class Field {
        uploadId,
        oid,
        localPath,
        stagedPath,
        fileSize,
        partSize,
        totalParts,
        completedPartsData,
        createdAt,
        folderID,
    };
    static constexpr int typeIndex = 6;

    explicit MultipartUploadState(Data data)
        : RecordOf(std::move(data))
    {
    }
    MultipartUploadState() = default;

    static const TableLayout<Data> &layout();
    static FetchDescriptor<MultipartUploadState> inFolder(const QUuid &folderID);

    QUILLMERE_FIELD(QString, uploadId, setUploadId)
    QUILLMERE_FIELD(QString, oid, setOid)
    QUILLMERE_FIELD(QString, localPath, setLocalPath)
    QUILLMERE_FIELD(QString, stagedPath, setStagedPath)
    QUILLMERE_FIELD(qint64, fileSize, setFileSize)
    QUILLMERE_FIELD(qint64, partSize, setPartSize)
    QUILLMERE_FIELD(qint64, totalParts, setTotalParts)
    QUILLMERE_FIELD(QByteArray, completedPartsData, setCompletedPartsData)
    QUILLMERE_FIELD(QDateTime, createdAt, setCreatedAt)
    QUILLMERE_FIELD(QUuid, folderID, setFolderID)
};

} // namespace quillmere
