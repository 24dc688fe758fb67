#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

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
    // (large bodies stay on disk).
    QByteArray content;
    QString contentPath;
    // Computed when left empty: the size of the content and its lower-case SHA-256.
    qint64 fileSize = -1;
    QString checksum;
    QDateTime createdAt;
    QDateTime updatedAt;
};

} // namespace quillmere::test
