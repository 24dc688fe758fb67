#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <memory>

namespace quillmere {

class ModelContainer;

// Opens the store once per process. A store proved damaged (its checks or schema rejected
// it) is moved aside (quarantined) and a fresh one is opened once; a second failure is fatal
// for start-up. Any other failure leaves every file where it is.
class ModelContainerFactory
{
public:
    ModelContainerFactory() = delete;

    // Throws StoreError, and unless rebuildFailed nothing was touched: locked (another
    // instance holds the store), noSpace (a full disk or an I/O error), noAccess (the file or
    // its folder cannot be opened or access was refused), or rebuildFailed (the damaged store
    // was set aside; what() is "Could not create ModelContainer: " and the cause).
    static std::shared_ptr<ModelContainer> makeContainer(const QString &storePath);

    // Moves the store and its -wal and -shm aside under one free name
    // "<name>.quarantined.yyyyMMdd-HHmmss[-n]". The main file goes first; when it cannot
    // be moved its companions stay with it. Returns the paths the files were moved to.
    // The caller must hold the store's lock.
    static QStringList quarantineStore(const QString &storePath, const QDateTime &now = QDateTime::currentDateTime());

    static QString quarantineTimestamp(const QDateTime &when);
};

} // namespace quillmere
