#pragma once

#include "ActivityLog/SyncLogger.h"

#include <QLoggingCategory>
#include <QString>

#include <exception>
#include <optional>
#include <stdexcept>

namespace quillmere::lane {

// The lanes' log channel, for what the activity log does not show the user.
Q_DECLARE_LOGGING_CATEGORY(laneLog)

// A progress line of a lane in the activity log: no direction, no file name.
void logLine(SyncLogger::Event event, const QString &detail);

// Blocking. The entry of the path's folder whose name differs from the path's own only in case
// or Unicode normalisation, when the folder holds no entry of exactly that name (see
// LaneSupport.cpp); nothing when the folder cannot be read.
std::optional<QString> nameTwin(const QString &path);

// Names from the file system may come decomposed: compared in NFC.
bool sameText(const QString &a, const QString &b);

// A service entry's path below the folder as the service names it: its drive path's parts
// (empty and "." parts dropped) and its file name, joined by "/". Only for judging the
// entry; a path on disk comes from SafeJoin.
QString entryPath(const std::optional<QString> &drivePath, const QString &filename);

// A content hash as the lane compares it: lower case, none when absent or empty.
std::optional<QString> lowerChecksum(const std::optional<QString> &checksum);

// A stop of the work, not a failure: CancelledError, or a request or transfer ended by its stop.
bool isCancellation(const std::exception_ptr &error);


// An operation this side refuses for a reason that trying again cannot change (a name that
// clashes on the disk): its record waits in error with this text, which says what the user
// can do, until a full sync owes it again.
class LocalRefusal : public std::runtime_error
{
public:
    explicit LocalRefusal(const QString &text) : std::runtime_error(text.toStdString()) {}
};

} // namespace quillmere::lane
