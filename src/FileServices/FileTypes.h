#pragma once

#include <QHash>
#include <QSet>
#include <QString>

namespace quillmere {

// The audio extensions the upload path accepts, each with its leading dot (".wav").
const QSet<QString> &supportedAudioExtensions();

// MIME type by lower-case extension without the dot ("wav" -> "audio/wav").
const QHash<QString, QString> &mimeTypesByExtension();

// The MIME type for a file path by its lower-cased extension; "application/octet-stream" when
// the file has no extension or one outside the table.
QString mimeTypeForPath(const QString &path);

} // namespace quillmere
