#pragma once

#include "Model/SyncFile.h"

#include <QDateTime>
#include <QString>
#include <QUuid>

#include <optional>

namespace quillmere {

// One entry of a lane's recent files or of its errors; the engine merges every lane's lists
// for the panel.
struct RecentFile
{
    // transferred: the file's bytes moved; verified: an upload found the content already at
    // the service and sent nothing (shown as "Verified already in sync"); deleted: a deletion
    // was carried over (direction download: removed here after Harborly deleted it; upload:
    // deleted at Harborly after it was removed here); replaced: the upload of an edit the user
    // chose over the service's version when acknowledging a conflict. An upload the service
    // accepted with a conflict carries direction conflict.
    enum class Kind { transferred, verified, deleted, replaced };

    QUuid id;
    QString filename;
    SyncFileDirection direction = SyncFileDirection::upload;
    Kind kind = Kind::transferred;
    QDateTime timestamp;
    std::optional<QString> errorMessage; // set only in error lists

    friend bool operator==(const RecentFile &, const RecentFile &) = default;
};

// The multipart upload in flight, as its progress reports give it (unclamped).
struct MultipartProgress
{
    QString filename;
    qint64 partsCompleted = 0;
    qint64 totalParts = 0;
    qint64 bytesUploaded = 0;
    qint64 totalBytes = 0;

    friend bool operator==(const MultipartProgress &, const MultipartProgress &) = default;
};

} // namespace quillmere
