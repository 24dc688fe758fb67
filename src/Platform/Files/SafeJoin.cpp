#include "Platform/Files/SafeJoin.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>

namespace quillmere {

namespace {

bool hasNul(const QString &text)
{
    return text.contains(QChar(u'\0'));
}

// A component the file system would refuse only once the file is written (ENAMETOOLONG);
// refused here, so it is skipped and logged like any other unsafe name.
bool isTooLong(const QString &component)
{
    return QFile::encodeName(component).size() > NAME_MAX;
}

std::optional<QString> realPath(const QString &path)
{
    char resolved[PATH_MAX];
    if (!::realpath(QFile::encodeName(path).constData(), resolved))
        return std::nullopt;
    return QFile::decodeName(resolved);
}

bool exists(const QString &path)
{
    struct stat info{};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

bool isWithin(const QString &path, const QString &root)
{
    if (root == QLatin1String("/"))
        return path.startsWith(u'/');
    return path == root || path.startsWith(root + u'/');
}

} // namespace

std::optional<QString> SafeJoin(const QString &root, const QString &dir, const QString &name)
{
    return SafeJoiner(root).join(dir, name);
}

SafeJoiner::SafeJoiner(QString root) : m_root(std::move(root)) {}

std::optional<QString> SafeJoiner::join(const QString &dir, const QString &name)
{
    const QString &root = m_root;
    if (root.isEmpty() || !QDir::isAbsolutePath(root) || hasNul(root) || hasNul(dir) || hasNul(name))
        return std::nullopt;
    // A lone surrogate (a JSON escape can make one) is written to the disk as U+FFFD: two names
    // would meet at one file, and what the scan reads back would match no record.
    if (!root.isValidUtf16() || !dir.isValidUtf16() || !name.isValidUtf16())
        return std::nullopt;
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.contains(u'/')
        || isTooLong(name))
        return std::nullopt;

    QStringList parts;
    for (const QString &part : dir.split(u'/', Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..") || isTooLong(part))
            return std::nullopt;
        parts.append(part);
    }

    if (!m_realRoot) {
        m_cleanRoot = QDir::cleanPath(root);
        m_realRoot = realPath(m_cleanRoot);
    }
    if (!*m_realRoot)
        return std::nullopt;
    const QString &cleanRoot = m_cleanRoot;

    QString joined = cleanRoot;
    for (const QString &part : parts)
        joined += (joined.endsWith(u'/') ? QString() : QStringLiteral("/")) + part;

    auto admitted = m_folderAdmitted.constFind(joined);
    if (admitted == m_folderAdmitted.cend()) {
        // A symbolic link on the way may lead out of the root even though no part is "..".
        // The deepest folder that exists decides: everything below it is created by us later.
        QString folder = cleanRoot;
        QString nearestExisting = cleanRoot;
        for (const QString &part : parts) {
            folder += (folder.endsWith(u'/') ? QString() : QStringLiteral("/")) + part;
            if (!exists(folder))
                break;
            nearestExisting = folder;
        }
        const auto realFolder = realPath(nearestExisting);
        admitted = m_folderAdmitted.insert(joined, realFolder && isWithin(*realFolder, **m_realRoot));
    }
    if (!*admitted)
        return std::nullopt;

    joined += (joined.endsWith(u'/') ? QString() : QStringLiteral("/")) + name;
    return joined;
}

} // namespace quillmere
