#include "Engine/BookmarkManager.h"

#include "Accounts/KeychainVault.h"
#include "Platform/Async/Background.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

BookmarkManager::BookmarkManager(KeychainVault &vault, QString mountInfoPath)
    : m_vault(vault), m_mountInfoPath(std::move(mountInfoPath))
{
}

QCoro::Task<QString> BookmarkManager::startAccessing(QByteArray data)
{
    auto accesses = m_activeAccesses;
    auto resolve = [data = std::move(data), mountInfo = m_mountInfoPath] {
        return FolderBookmark::resolve(data, mountInfo);
    };
    const auto resolved = co_await runInBackground(std::move(resolve));
    accesses->append(resolved.path);
    co_return resolved.path;
}

void BookmarkManager::stopAccessing(const QString &path)
{
    m_activeAccesses->removeOne(path);
}

QCoro::Task<BookmarkManager::Check> BookmarkManager::checkBookmark(QByteArray data)
{
    auto probe = [data = std::move(data), mountInfo = m_mountInfoPath] {
        try {
            const auto resolved = FolderBookmark::resolve(data, mountInfo);
            const auto encoded = QFile::encodeName(resolved.path);
            struct stat status{};
            const bool readable = stat(encoded.constData(), &status) == 0 && S_ISDIR(status.st_mode)
                                  && access(encoded.constData(), R_OK | X_OK) == 0;
            return Check{readable, resolved.stale};
        } catch (const FolderBookmark::Error &) {
            return Check{};
        }
    };
    co_return co_await runInBackground(std::move(probe));
}

QCoro::Task<> BookmarkManager::saveBookmark(QByteArray data, QUuid folderID)
{
    co_await m_vault.setValueAsync(data, KeychainVault::folderBookmarkKey(folderID));
}

QCoro::Task<> BookmarkManager::deleteBookmark(QUuid folderID)
{
    co_await m_vault.removeValueAsync(KeychainVault::folderBookmarkKey(folderID));
}

} // namespace quillmere
