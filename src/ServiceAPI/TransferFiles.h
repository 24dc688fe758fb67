#pragma once

#include "Platform/Files/FileStamp.h"

#include <QString>

#include <functional>
#include <optional>
#include <stop_token>

namespace quillmere {

// The local copies the byte transfers send from.

struct CopiedFile
{
    QString sha256; // 64 lower-case hexadecimal characters
    qint64 size = 0;
};

// Blocking (run it in the background). Copies `source` to a new file at `destination`
// (created exclusively, owner-only), hashing the bytes in the same pass, so what is later sent
// from the copy is exactly what was hashed. The source is opened without following a link at
// its name and must be a regular file; with `version`, only while the open file is that very
// version (its fstat gives this stamp), so nothing of a file put in its place since, or of one
// reached through a link on the way, is copied (LibraryAPIClient::ContentChangedError before a
// byte is written). On any other failure the partial copy is removed and LocalFileError (errno)
// is thrown; a stop between chunks throws CancelledError.
// `written`, when given, is called on a worker thread with the number of bytes in the copy so
// far, each time more of it has been written: a reader may take those bytes at once.
using CopyProgress = std::function<void(qint64 written)>;
CopiedFile copyFileHashing(const QString &source, const QString &destination, std::stop_token stop = {},
                           const CopyProgress &written = {},
                           const std::optional<FileStamp> &version = std::nullopt);

} // namespace quillmere
