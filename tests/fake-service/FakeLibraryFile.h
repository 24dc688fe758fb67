#pragma once

#include "fake-service/FakeBody.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace quillmere::test {

// One file of an account's online library.
struct FakeLibraryFile
{
    qint64 id = 0; // 0: the fake picks one
    qint64 accountId = 0;
    QString filename;
    QString mimeType = QStringLiteral("audio/wav");
    QString folderType = QStringLiteral("unorganised"); // "reference", "unorganised" or "drive"
    std::optional<QString> syncFolderUUID;
    std::optional<QString> drivePath;
    std::optional<QString> fileCategory;
    std::optional<qint64> userPlanId;
    // The bytes a download serves: `content`, or the file at `contentPath` when that is set
    // (large bodies stay on disk), or the pieces of an upload kept as they arrived (a body
    // too large for memory, or the parts of a multipart upload): `received`, never copied
    // into `content` inside the fake (FakeHarborly::file() and files() hand them out joined).
    QByteArray content;
    QString contentPath;
    std::vector<FakeReceivedBody> received;
    // Computed when left empty: the size of the content and its lower-case SHA-256.
    qint64 fileSize = -1;
    QString checksum;
    QDateTime createdAt;
    QDateTime updatedAt;
};

} // namespace quillmere::test
