#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QStringView>

// What counts as a syncable file, and the two folder listings of a full sync. The recursive
// scan and the file watcher must agree on this: a file the watcher reports but the scan never
// lists looks deleted at the next full sync.
//
// Paths are absolute, with no trailing "/" and no "." or ".." parts (see normalizedPath).
// Nothing here follows a symbolic link below the root. A folder that cannot be read
// completely is reported (and logged), never taken as empty: a caller that compares the
// listing with its records must leave the records under such a folder alone.

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

Q_DECLARE_LOGGING_CATEGORY(fileScanLog)

// Appends every syncable file of the tree, depth first in listing order, and every folder
// that could not be opened or listed to the end to unreadableFolders; what such a folder did
// list is still appended. A root that cannot be listed, missing included, is reported; a
// folder below it that vanishes or turns into a link during the walk is simply not there. Holds one descriptor at a time, however deep the tree.
void scanDirectoryRecursively(const QString &root, QStringList &out, QStringList &unreadableFolders);

// The syncable files directly inside folder whose lower-cased extension (with its dot) is in
// extensionsWithDot. Sub-folders are never listed, whatever their name.
QStringList listFilesWithExtensions(const QString &folder, const QSet<QString> &extensionsWithDot);

} // namespace quillmere
