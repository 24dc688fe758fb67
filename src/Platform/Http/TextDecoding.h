#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace quillmere {

// The bytes as UTF-8 text, or nullopt when they are not valid UTF-8 (a stray byte, an
// overlong form, a sequence cut off at the end). Never substitutes replacement characters.
std::optional<QString> decodeUtf8(const QByteArray &bytes);

} // namespace quillmere
