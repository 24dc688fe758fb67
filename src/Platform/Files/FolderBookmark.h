#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <exception>
#include <optional>
#include <set>

namespace quillmere {

// A remembered sync folder: a small JSON record of the folder's canonical path, inode,
// file-system id and device, from which the folder is found again later (also after a rename
// within its parent). Every call touches the file system and may block on a network file
// system: run them off the main thread.
class FolderBookmark
{
public:
    class Error : public std::exception
    {
    public:
        enum class Code {
            // make: the path is not an existing directory.
            notADirectory,
            // make: "/" or the home folder itself, which are never synced whole.
            refusedFolder,
            // resolve: the data is not a bookmark of ours.
            corrupt,
            // resolve: the folder cannot be reached (another folder or file system now sits at
            // its path, its drive is unmounted); nothing there may be treated as deleted.
            accessLost,
        };

        explicit Error(Code code) : m_code(code) {}
        Code code() const noexcept { return m_code; }
        const char *what() const noexcept override;

    private:
        Code m_code;
    };

    struct Resolved
    {
        QString path;
        // The folder was found under another name: the bookmark should be made anew.
        bool stale = false;
    };

    static QString defaultMountInfoPath() { return QStringLiteral("/proc/self/mountinfo"); }

    static QByteArray make(const QString &folderPath);
    // mountInfoPath: where the list of mounted file systems is read (tests give a sample).
    static Resolved resolve(const QByteArray &data, const QString &mountInfoPath = defaultMountInfoPath());

    // The devices ("major:minor", third field) of every mount in a mountinfo file; nullopt
    // when the file cannot be read.
    static std::optional<std::set<dev_t>> mountedDevices(const QString &mountInfoPath);
};

} // namespace quillmere
