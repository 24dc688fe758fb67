#pragma once

#include <QLoggingCategory>

namespace quillmere {

// The store's log channel ("Storage" of the bundle identifier).
Q_DECLARE_LOGGING_CATEGORY(storeLog)

} // namespace quillmere
