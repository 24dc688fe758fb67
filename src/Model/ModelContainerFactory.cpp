#include "Model/ModelContainerFactory.h"

#include "Model/ModelContainer.h"
#include "Model/StoreError.h"
#include "Model/StoreLock.h"
#include "Model/StoreLog.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace quillmere {

namespace {

const QStringList companions{QString(), QStringLiteral("-wal"), QStringLiteral("-shm")};

bool exists(const QString &path)
{
    return ::access(path.toLocal8Bit().constData(), F_OK) == 0 || errno != ENOENT;
}

// rename(2) that never replaces an existing file.
int moveWithoutReplacing(const QString &from, const QString &to)
{
    if (::renameat2(AT_FDCWD, from.toLocal8Bit().constData(), AT_FDCWD, to.toLocal8Bit().constData(), RENAME_NOREPLACE)
        == 0)
        return 0;
    return errno;
}

} // namespace

QString ModelContainerFactory::quarantineTimestamp(const QDateTime &when)
{
    return when.toLocalTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

QStringList ModelContainerFactory::quarantineStore(const QString &storePath, const QDateTime &now)
{
    const QString stamp = QStringLiteral(".quarantined.") + quarantineTimestamp(now);
    QStringList moved;

    // One free suffix for the whole set, so the files of one store stay recognisable together.
    auto targetSuffix = [&](int n) { return n == 0 ? stamp : stamp + QStringLiteral("-%1").arg(n); };
    int n = 0;
    auto taken = [&](int k) {
        for (const QString &c : companions)
            if (exists(storePath + c + targetSuffix(k)))
                return true;
        return false;
    };
    while (taken(n))
        ++n;

    if (exists(storePath)) {
        int error;
        // The free name can be taken between the check and the move: try the next one.
        while ((error = moveWithoutReplacing(storePath, storePath + targetSuffix(n))) == EEXIST)
            ++n;
        if (error != 0) {
            // A -wal left beside a new, empty store would be replayed into it, so it stays
            // with the database it belongs to.
            qCCritical(storeLog, "Failed to quarantine store sidecar %s: %s",
                       qPrintable(QFileInfo(storePath).fileName()), std::strerror(error));
            return moved;
        }
        moved << storePath + targetSuffix(n);
    }
    for (const QString &c : {QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        const QString source = storePath + c;
        if (!exists(source))
            continue;
        const int error = moveWithoutReplacing(source, source + targetSuffix(n));
        if (error != 0) {
            qCCritical(storeLog, "Failed to quarantine store sidecar %s: %s", qPrintable(QFileInfo(source).fileName()),
                       std::strerror(error));
            continue;
        }
        moved << source + targetSuffix(n);
    }
    return moved;
}

std::shared_ptr<ModelContainer> ModelContainerFactory::makeContainer(const QString &storePath)
{
    // Held across open, quarantine and rebuild: a running instance's store is never touched.
    const std::shared_ptr<StoreLock> lock = StoreLock::acquire(storePath);

    try {
        return ModelContainer::open(storePath, lock);
    } catch (const StoreError &e) {
        if (e.kind() != StoreError::Kind::cannotOpen) {
            // A full disk or a refusal is no proof of damage: every file stays where it is,
            // and the next start after the cause is gone opens the same store.
            qCCritical(storeLog, "ModelContainer open failed: %s (SQLite code %d). The store stays as it is.",
                       qPrintable(e.detail()), e.sqliteCode());
            throw;
        }
        qCCritical(storeLog, "ModelContainer open failed: %s. Quarantining store and rebuilding.", qPrintable(e.detail()));
    }
    quarantineStore(storePath);
    try {
        return ModelContainer::open(storePath, lock);
    } catch (const StoreError &e) {
        throw StoreError(StoreError::Kind::rebuildFailed, e.detail());
    }
}

} // namespace quillmere
