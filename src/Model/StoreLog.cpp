#include "Model/StoreLog.h"

namespace quillmere {

Q_LOGGING_CATEGORY(storeLog, "app.quillmere.Quillmere.Storage")

} // namespace quillmere
