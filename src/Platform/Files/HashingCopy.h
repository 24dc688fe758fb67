#pragma once

#include <QString>

#include <stop_token>

namespace quillmere {

// Blocking: copies `source` to a new file at `destination` (which must not exist) and returns
// the SHA-256 of exactly the bytes written, as 64 lower-case hexadecimal characters. Whatever
// is sent from the copy afterwards is what was hashed, even when the source keeps changing.
// Throws FileReadError (reading or writing failed) or CancelledError (stopped between
// chunks); the destination is removed on any failure.
QString copyFileHashing(const QString &source, const QString &destination, std::stop_token stop = {});

} // namespace quillmere
