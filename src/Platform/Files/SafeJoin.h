#pragma once

#include <QHash>
#include <QString>

#include <optional>

namespace quillmere {

// The one way a folder or file name sent by the service becomes a local path.
//
// `dir` is a relative folder written with "/" separators: empty and "." parts are dropped,
// a ".." part, a NUL or a lone surrogate anywhere refuses the join. `name` must be one non-empty component:
// not "." or "..", without "/" or NUL. No component may be longer than 255 bytes. The parts are joined as strings (an absolute `dir`
// cannot replace the root), and the nearest existing folder on the way to the result must
// resolve, symbolic links followed, to the root's real path or below it; a root that does
// not exist refuses every join.
//
// Returns the joined path (the cleaned root, then the parts), or nullopt when refused; the
// caller skips and logs a refused item. Touches the file system (realpath, lstat) but never
// creates or changes anything.
std::optional<QString> SafeJoin(const QString &root, const QString &dir, const QString &name);

// SafeJoin for many names under one root, as one batch on one thread: the root and each
// folder on the way are resolved once per batch rather than once per name (a feed of
// thousands of files in a few folders otherwise resolves the same folders thousands of times).
// The same answers as SafeJoin for a tree that does not change during the batch.
class SafeJoiner
{
public:
    explicit SafeJoiner(QString root);
    std::optional<QString> join(const QString &dir, const QString &name);

private:
    QString m_root;
    QString m_cleanRoot;
    std::optional<std::optional<QString>> m_realRoot; // resolved on first use
    // Per folder (the cleaned root and the parts, joined): whether its nearest existing
    // folder resolves into the root.
    QHash<QString, bool> m_folderAdmitted;
};

} // namespace quillmere
