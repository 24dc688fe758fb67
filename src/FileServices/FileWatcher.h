#pragma once

#include <QSet>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace quillmere {

// Watches one folder tree with inotify (one watch per directory) on a thread of its own and
// hands its owner merged batches of changed paths: every change seen within one window
// (0.5 s by default) arrives as one set, each path once.
//
// Reported: created, removed, modified (close-write or write) and both ends of a rename;
// changes of attributes alone are not. A directory that appears (created or moved in) is
// watched at once and the files already inside it are reported, so nothing written before
// its watch existed is lost. Queue overflow, an unmount, or the root being deleted or
// moved report the root itself: the owner should then rescan.
//
// Existing paths are reported when they are syncable files (see FileScan.h) or directories
// (so an owner can match a renamed folder); vanished paths are reported unless hidden.
//
// start() and stop() belong to the owner's thread. The callback runs on the watcher's thread
// and should hand the paths on rather than work there.
class FileWatcher
{
public:
    using Callback = std::function<void(const QSet<QString> &paths)>;

    explicit FileWatcher(Callback callback, std::chrono::milliseconds window = std::chrono::milliseconds(500));
    ~FileWatcher();

    FileWatcher(const FileWatcher &) = delete;
    FileWatcher &operator=(const FileWatcher &) = delete;

    // Watches the tree under an absolute folder path, replacing any earlier run. Only changes
    // from now on are reported. A root that cannot be watched (gone already, say) is reported
    // once, as the root, and nothing after it.
    void start(const QString &path);

    // Ends watching; once it returns no further callback starts. Safe when idle and when
    // repeated; called from within the callback it ends the run without waiting for itself.
    void stop();

private:
    struct Session;

    Callback m_callback;
    std::chrono::milliseconds m_window;
    std::shared_ptr<Session> m_session;
    std::thread m_thread;
};

} // namespace quillmere
