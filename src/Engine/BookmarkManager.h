#pragma once

#include "Platform/Files/FolderBookmark.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <memory>

namespace quillmere {

class KeychainVault;

// Opens the sync folders from their stored bookmarks and keeps the bookmarks in the vault.
// A main-thread object; resolving runs on the thread pool since it may block on a network
// file system. The manager may be destroyed while a call runs: the calls keep only shared
// state across a suspension.
class BookmarkManager
{
public:
    struct Check
    {
        bool accessible = false;
        bool stale = false;
    };

    // The vault outlives the manager.
    explicit BookmarkManager(KeychainVault &vault,
                             QString mountInfoPath = FolderBookmark::defaultMountInfoPath());

    // The folder's current path, recorded as one access; throws FolderBookmark::Error.
    QCoro::Task<QString> startAccessing(QByteArray data);
    // Ends one access of the path; a path that is not recorded changes nothing.
    void stopAccessing(const QString &path);
    // Whether the bookmark leads to a readable folder, and whether it should be made anew.
    // Never throws: a bookmark that cannot be resolved is neither accessible nor stale.
    QCoro::Task<Check> checkBookmark(QByteArray data);
    // Vault write failures are reported by the vault itself.
    QCoro::Task<> saveBookmark(QByteArray data, QUuid folderID);
    QCoro::Task<> deleteBookmark(QUuid folderID);

    // One entry per access not yet stopped, in the order they were started.
    QStringList activeAccesses() const { return *m_activeAccesses; }

private:
    KeychainVault &m_vault;
    QString m_mountInfoPath;
    std::shared_ptr<QStringList> m_activeAccesses = std::make_shared<QStringList>();
};

} // namespace quillmere
