#pragma once

#include <QLoggingCategory>

namespace quillmere {

// Failures of tasks that nobody awaits end up here.
Q_DECLARE_LOGGING_CATEGORY(asyncLog)

} // namespace quillmere
