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
// folder below it that vanishes or turns into a link during the walk is simply not there.
// Holds one descriptor at a time, however deep the tree. A folder on another file system
// than the root (a drive mounted inside it) is not entered, and a name that is not valid
// UTF-8 is not listed; both are logged.
void scanDirectoryRecursively(const QString &root, QStringList &out, QStringList &unreadableFolders);

// The syncable files directly inside folder whose lower-cased extension (with its dot) is in
// extensionsWithDot. Sub-folders are never listed, whatever their name. A folder that cannot
// be opened or read to its end is appended to unreadableFolders when given.
QStringList listFilesWithExtensions(const QString &folder, const QSet<QString> &extensionsWithDot,
                                    QStringList *unreadableFolders = nullptr);

// Which paths a sync folder syncs, judged by name alone. The scan, reconciliation and every
// step that turns a service entry into a local file or a missing file into a deletion ask
// the same rule, so a file one of them cannot see is never taken for deleted by another.
class FolderScope
{
public:
    // Every visible file of the tree.
    static FolderScope wholeTree();
    // Only files directly in the root whose extension is listed ("wav" or ".wav", any case).
    static FolderScope rootFiles(const QStringList &extensions);

    bool isFlat() const { return m_flat; }
    // Lower-cased, each with its leading dot.
    const QSet<QString> &extensions() const { return m_extensions; }

    // A path below the root, components separated by "/" (empty and "." parts are ignored):
    // no component hidden or empty, no ".." part, a file name that is not one of our own
    // (isExcludedFileName), and for a flat folder one component with a listed extension.
    bool includes(QStringView relativePath) const;
    // The same for an absolute path; false for the root itself or a path outside it.
    bool includes(const QString &root, const QString &path) const;

private:
    bool m_flat = false;
    QSet<QString> m_extensions;
};

// What is at a path below root, judged without following any link below the root.
enum class LocalPresence {
    // Nothing: a component is missing and every existing ancestor is a real folder on the
    // root's file system. Only this proves that a file was deleted.
    absent,
    // Something is there (a file, a folder, a link).
    present,
    // Cannot tell: a link, a file or another file system on the way, an error, or the path
    // is not below root.
    unknown,
};
// Blocking.
LocalPresence localPresence(const QString &root, const QString &path);

} // namespace quillmere
