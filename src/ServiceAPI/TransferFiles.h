#pragma once

#include <QString>

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
// from the copy is exactly what was hashed. On any failure the partial copy is removed and
// LocalFileError (errno) is thrown; a stop between chunks throws CancelledError.
CopiedFile copyFileHashing(const QString &source, const QString &destination, std::stop_token stop = {});

// "<prefix>-<name>", the name shortened (never inside a character) so that the whole fits in
// the 255 bytes a file name may have.
QString boundedCopyName(const QString &prefix, const QString &name);

} // namespace quillmere
