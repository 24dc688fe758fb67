#pragma once

#include <QDateTime>
#include <QStringView>

#include <optional>

namespace quillmere {

// "yyyy-MM-ddTHH:mm:ss" followed by "Z" or a "+hh:mm"/"-hh:mm" offset; no fractional seconds,
// no lower-case separators, no missing fields, an instant in years 1 to 9999 UTC (so it writes
// back as a strict date). Anything else is nullopt. The result is in UTC.
std::optional<QDateTime> parseInternetDate(QStringView text);

// UTC, whole seconds: "yyyy-MM-ddTHH:mm:ssZ".
QString formatInternetDate(const QDateTime &dateTime);

} // namespace quillmere
