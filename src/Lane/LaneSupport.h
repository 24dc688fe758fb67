#pragma once

#include "ActivityLog/SyncLogger.h"

#include <QString>

#include <exception>

namespace quillmere::lane {

// A progress line of a lane in the activity log: no direction, no file name.
void logLine(SyncLogger::Event event, const QString &detail);

// Names from the file system may come decomposed: compared in NFC.
bool sameText(const QString &a, const QString &b);

// A stop of the work, not a failure: CancelledError, or a request or transfer ended by its stop.
bool isCancellation(const std::exception_ptr &error);

// The text shown for a failure (the service's description where there is one).
QString describeError(const std::exception_ptr &error);

} // namespace quillmere::lane
