#pragma once

#include <QString>

namespace quillmere {

// $XDG_DATA_HOME/Quillmere/Quillmere.sqlite; creates the folder when missing (a failure
// shows up later as a store that cannot be opened).
QString localStoreURL();

// Deletes the store file, then its -shm and -wal. Refuses (and returns false) while a
// running instance holds the store; a file that cannot be deleted is logged and makes
// the result false. True when no store file is left. On false, `whyNot` (when given)
// receives a sentence for the user.
bool deleteLocalStore(const QString &storePath = localStoreURL(), QString *whyNot = nullptr);

// Deletes one staged file of a multipart upload, but only when it lies inside
// stagingFolder: whatever path a stored row names, nothing outside the folder is touched.
// Never follows a symbolic link and never removes a directory. True when deleted.
bool removeStagedFile(const QString &stagingFolder, const QString &stagedPath);

} // namespace quillmere
