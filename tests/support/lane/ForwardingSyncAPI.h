#pragma once

#include "ServiceAPI/FileSyncAPI.h"

#include <memory>

namespace quillmere::test {

// A lane's client that hands every call to another one: a test derives from it and overrides
// only the calls it intercepts.
class ForwardingSyncAPI : public FileSyncAPI
{
public:
    explicit ForwardingSyncAPI(std::shared_ptr<FileSyncAPI> inner) : m_inner(std::move(inner)) {}

protected:
    const std::shared_ptr<FileSyncAPI> &inner() const { return m_inner; }

    QCoro::Task<QList<RemoteFile>> doListLibraryFiles(std::optional<SyncFolderType> k, std::optional<QString> id,
                                                      std::stop_token s) override
    {
        return m_inner->listLibraryFiles(k, std::move(id), std::move(s));
    }
    QCoro::Task<BatchHashCheckResult> doCheckHashBatch(QString id, SyncFolderType k, QList<BatchHashEntry> e,
                                                       std::stop_token s) override
    {
        return m_inner->checkHashBatch(std::move(id), k, std::move(e), std::move(s));
    }
    QCoro::Task<BatchDedupConfirmResult> doDedupConfirmBatch(QString id, SyncFolderType k,
                                                             QList<BatchDedupConfirmEntry> e, std::optional<QString> d,
                                                             std::optional<qint64> p, std::stop_token s) override
    {
        return m_inner->dedupConfirmBatch(std::move(id), k, std::move(e), std::move(d), p, std::move(s));
    }
    QCoro::Task<> doRegisterSyncFolder(QString u, QString n, SyncFolderType k, QString d, std::stop_token s) override
    {
        return m_inner->registerSyncFolder(std::move(u), std::move(n), k, std::move(d), std::move(s));
    }
    QCoro::Task<UploadResult> doUploadFile(UploadRequest request, std::stop_token stop) override
    {
        return m_inner->uploadFile(std::move(request), std::move(stop));
    }
    QCoro::Task<> doAbortMultipartUpload(QString u, QString o, std::stop_token s) override
    {
        return m_inner->abortMultipartUpload(std::move(u), std::move(o), std::move(s));
    }
    QCoro::Task<> doDownloadFile(qint64 id, QString path, std::optional<qint64> size, std::optional<QString> sum,
                                 std::optional<JudgedDestination> judged, std::stop_token s) override
    {
        return m_inner->downloadFile(id, std::move(path), size, std::move(sum), judged, std::move(s));
    }
    QCoro::Task<> doDeleteFile(qint64 id, std::stop_token s) override { return m_inner->deleteFile(id, std::move(s)); }
    QCoro::Task<ChangeFeed> doFetchChanges(QString c, std::optional<SyncFolderType> k, std::optional<QString> id,
                                           std::stop_token s) override
    {
        return m_inner->fetchChanges(std::move(c), k, std::move(id), std::move(s));
    }
    QCoro::Task<QList<PlanSummary>> doFetchPlans(std::stop_token s) override { return m_inner->fetchPlans(std::move(s)); }

private:
    std::shared_ptr<FileSyncAPI> m_inner;
};

} // namespace quillmere::test
