#include "Model/StoreFiles.h"

#include "Model/StoreLock.h"
#include "Model/StoreLog.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

QString localStoreURL()
{
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Quillmere");
    QDir().mkpath(folder);
    return folder + QStringLiteral("/Quillmere.sqlite");
}

bool deleteLocalStore(const QString &storePath, QString *whyNot)
{
    auto lock = StoreLock::tryAcquire(storePath);
    if (!lock) {
        qCCritical(storeLog, "Local store not deleted: it is in use by another running instance");
        if (whyNot)
            *whyNot = QStringLiteral("The local store is in use by another running instance of Quillmere.");
        return false;
    }
    bool clean = true;
    // The main file first: without it a leftover -wal can never be replayed into anything.
    for (const QString &suffix : {QString(), QStringLiteral("-shm"), QStringLiteral("-wal")}) {
        const QByteArray path = (storePath + suffix).toLocal8Bit();
        if (::unlink(path.constData()) != 0 && errno != ENOENT) {
            const int error = errno;
            qCCritical(storeLog, "Failed to delete store file %s: %s", path.constData(), std::strerror(error));
            if (whyNot && clean)
                *whyNot = QStringLiteral("The local store file %1 could not be deleted: %2.")
                              .arg(storePath + suffix, QString::fromLocal8Bit(std::strerror(error)));
            clean = false;
        }
    }
    return clean;
}

namespace {
QString realPath(const QString &path)
{
    char buffer[PATH_MAX];
    if (!::realpath(path.toLocal8Bit().constData(), buffer))
        return QString();
    return QString::fromLocal8Bit(buffer);
}
} // namespace

bool removeStagedFile(const QString &stagingFolder, const QString &stagedPath)
{
    const QString root = realPath(stagingFolder);
    if (root.isEmpty() || stagedPath.isEmpty() || stagedPath.contains(QChar(0)))
        return false;
    const QFileInfo info(stagedPath);
    const QString name = info.fileName();
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    // The parent resolved through any links must be the folder or lie below it.
    const QString parent = realPath(info.absolutePath());
    if (parent.isEmpty() || !(parent == root || parent.startsWith(root + QLatin1Char('/'))))
        return false;
    const QByteArray target = (parent + QLatin1Char('/') + name).toLocal8Bit();
    struct stat st{};
    if (::lstat(target.constData(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
        return false;
    return ::unlink(target.constData()) == 0;
}

} // namespace quillmere
