#pragma once

#include "ServiceAPI/TransferFiles.h"

#include <QString>

#include <QCoroTask>

#include <set>
#include <stop_token>

namespace quillmere {

// A private copy of a file in the staging folder that one running upload sends from. While
// the object lives, the clean-up of leftovers spares the file. `remove()` deletes it off the
// main thread; a copy dropped without that (a coroutine frame destroyed mid-way) is deleted
// on the spot, so no outcome leaves it behind. Main thread only.
class StagedCopy
{
public:
    // A new name (an upper-case UUID) in `folder`; nothing is created yet.
    explicit StagedCopy(const QString &folder);
    ~StagedCopy();
    StagedCopy(const StagedCopy &) = delete;
    StagedCopy &operator=(const StagedCopy &) = delete;

    const QString &path() const { return m_path; }

    // Creates the folder when missing and copies `source` into the staged file, hashing the
    // bytes written. LocalFileError for the file system's failures, CancelledError on stop.
    // `written` hears of the copy's progress on a worker thread, and `version` is the only
    // version of the source that may be copied (see copyFileHashing).
    QCoro::Task<CopiedFile> fill(QString source, std::stop_token stop, CopyProgress written = {},
                                 std::optional<FileStamp> version = std::nullopt);
    QCoro::Task<> remove();

    // The staged files that running uploads of this process still use.
    static std::set<QString> inUse();

private:
    QString m_folder;
    QString m_path;
    bool m_removed = false;
};

} // namespace quillmere
