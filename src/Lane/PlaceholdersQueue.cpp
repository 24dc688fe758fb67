// Stand-ins for members other shares of the lane provide, so the queue builds and runs on
// its own. Each does the least that lets the queue's tests exercise it.

#include "Lane/SyncLane.h"

#include "Model/LaneQueries.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"

#include <QFile>

namespace quillmere {

QCoro::Task<> SyncLane::uploadRecord(QString localPath, std::optional<QString> drivePath, std::stop_token stop)
{
    FileSyncAPI::UploadRequest request;
    request.filePath = localPath;
    request.folderKind = syncFolder()->folderType();
    request.drivePath = drivePath;
    request.syncFolderID = laneID().toString(QUuid::WithoutBraces).toUpper();
    if (auto record = fetchRecord(localPath))
        request.fileUUID = record->fileUUID();
    auto client = m_apiClient;
    const auto result = co_await client->uploadFile(request, stop);
    throwIfStopped(stop);
    if (auto record = fetchRecord(localPath)) {
        record->setRemoteId(result.fileId);
        record->setSyncStatus(SyncFileStatus::synced);
        saveQuietly();
    }
}

QCoro::Task<> SyncLane::downloadRecord(qint64 fileID, QString localPath, std::stop_token stop)
{
    auto client = m_apiClient;
    co_await client->downloadFile(fileID, localPath, std::nullopt, std::nullopt, stop);
    throwIfStopped(stop);
}

QCoro::Task<> SyncLane::deleteRemoteRecord(std::shared_ptr<SyncFile> record, std::stop_token stop)
{
    auto client = m_apiClient;
    if (const auto id = record->remoteId())
        co_await client->deleteFile(*id, stop);
    throwIfStopped(stop);
    if (auto again = fetchRecord(record->localPath())) {
        m_modelContext->remove(again);
        saveQuietly();
    }
}

QCoro::Task<> SyncLane::deleteLocalRecord(std::shared_ptr<SyncFile> record, std::stop_token)
{
    QFile::remove(record->localPath());
    m_modelContext->remove(record);
    saveQuietly();
    co_return;
}

} // namespace quillmere
