#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QStringView>

// What counts as a syncable file, and the two folder listings of a full sync. The recursive
// scan and the file watcher must agree on this: a file the watcher reports but the scan never
// lists looks deleted at the next full sync.
//
// Paths are absolute, with no trailing "/" and no "." or ".." parts (see normalizedPath).
// Nothing here follows a symbolic link below the root or reports an error: a folder that
// cannot be read contributes nothing.

namespace quillmere {

// The one spelling every path takes: absolute, cleaned, no trailing "/".
QString normalizedPath(const QString &path);

// A name our own machinery uses for files that must never sync: hidden, download
// temporaries (".quillmere-tmp") and conflict copies ("(conflict)").
bool isExcludedFileName(QStringView name);
bool isExcludedFileName(const char *name);

// True when some component of path below root begins with "." (root's own components do
// not count). A path outside root counts as hidden: it is never ours to report.
bool hasHiddenComponent(const QString &root, const QString &path);
bool hasHiddenComponent(const QByteArray &root, const QByteArray &path);

// A regular file (by lstat: not a symlink, not a directory) inside root, with no hidden
// component below root and an acceptable name.
bool isSyncableFile(const QString &root, const QString &path);

// Appends every syncable file of the tree, depth first in listing order.
void scanDirectoryRecursively(const QString &root, QStringList &out);

// The syncable files directly inside folder whose lower-cased extension (with its dot) is in
// extensionsWithDot. Sub-folders are never listed, whatever their name.
QStringList listFilesWithExtensions(const QString &folder, const QSet<QString> &extensionsWithDot);

} // namespace quillmere
