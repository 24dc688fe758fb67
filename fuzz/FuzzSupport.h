#pragma once

#include "FuzzTarget.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <exception>

// What every fuzz target shares. A failed property aborts the process with its message, which
// libFuzzer reports as a crash and saves the input; so does any exception a reader is not
// allowed to throw.
namespace quillmere::fuzz {

// Call once from LLVMFuzzerInitialize: makes the QCoreApplication and points the settings and
// cache folders ($XDG_CONFIG_HOME, $XDG_CACHE_HOME) at a private temporary folder, removed at
// exit, so a reader that stores what it read never touches the user's files.
void initialise(int *argc, char ***argv);

// The private temporary folder made by initialise().
QString scratchFolder();

[[noreturn]] void fail(const char *property, const QString &detail = QString());

inline void check(bool holds, const char *property, const QString &detail = QString())
{
    if (!holds)
        fail(property, detail);
}

// For the last catch clause: an exception no reader may throw.
[[noreturn]] void unexpected(std::exception_ptr error);

inline QByteArray bytesOf(const std::uint8_t *data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// Whether the body is JSON that Qt reads (any top level).
bool isJson(const QByteArray &body);

} // namespace quillmere::fuzz
