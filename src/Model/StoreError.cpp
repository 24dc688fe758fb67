#include "Model/StoreError.h"

namespace quillmere {

StoreError::StoreError(Kind kind, const QString &detail, int sqliteCode)
    : std::runtime_error(message(kind, detail))
    , m_kind(kind)
    , m_detail(detail)
    , m_sqliteCode(sqliteCode)
{
}

std::string StoreError::message(Kind kind, const QString &detail)
{
    switch (kind) {
    case Kind::cannotOpen:
        return "The local store cannot be opened.";
    case Kind::locked:
        return "The local store is in use by another running instance of Quillmere.";
    case Kind::noSpace:
        return "The local store could not be read or written: the disk may be full.";
    case Kind::noAccess:
        return "The local store or its folder cannot be opened: access was refused.";
    case Kind::saveFailed:
        return "The changes could not be saved to the local store.";
    case Kind::fetchFailed:
        return "The local store could not be read.";
    case Kind::rebuildFailed:
        return ("Could not create ModelContainer: " + detail).toStdString();
    }
    return "The local store failed.";
}

} // namespace quillmere
