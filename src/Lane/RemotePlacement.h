#pragma once

#include "FileServices/FileScan.h"
#include "ServiceAPI/FileSyncAPI.h"

#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace quillmere::lane {

// A file only the service has, and where it goes.
struct Download
{
    qint64 id = 0;
    QString filename;
    std::optional<QString> checksum;
    QString path;
};

struct RemotePlacement
{
    QList<Download> downloads;
    QList<QPair<qint64, QString>> rejected; // id, the entry's path as the service gives it
    QList<QPair<qint64, QString>> outOfScope; // id, the entry's path below the folder
    // Untracked entries whose place the scan found a file at (the first entry of each place).
    QList<Download> onDisk;
};

// Whether placing makes the folders of the files to download (off the main thread).
enum class FolderMaking { none, forDownloads };

// Blocking: joins each service-given folder and name under the root (refusing what would
// leave it) and makes the folders of the files to download. Entries already tracked (by id),
// found by the scan, under a folder the scan could not read or placed twice are left out.
RemotePlacement placeRemoteFiles(const QString &root, const QList<FileSyncAPI::RemoteFile> &remoteFiles,
                                 const QSet<qint64> &trackedIds, const QSet<QString> &localPaths,
                                 const QStringList &unreadable, const FolderScope &scope);
// The same with the scan asked through `isLocal` (a full sync keeps its paths as digests).
// Given `foundOnDisk`, each entry the scan found a file at is handed to it (the entry and its
// path) instead of kept in `onDisk`.
RemotePlacement placeRemoteFilesBeside(
    const QString &root, const QList<FileSyncAPI::RemoteFile> &remoteFiles, const QSet<qint64> &trackedIds,
    const std::function<bool(const QString &)> &isLocal, const QStringList &unreadable, const FolderScope &scope,
    FolderMaking making = FolderMaking::forDownloads,
    const std::function<void(const FileSyncAPI::RemoteFile &, const QString &)> &foundOnDisk = {});

} // namespace quillmere::lane
