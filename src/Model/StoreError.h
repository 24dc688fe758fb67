#pragma once

#include <QString>

#include <stdexcept>

namespace quillmere {

// Failure of the local store. what() is the fixed user message; detail() carries the
// underlying cause for the log.
class StoreError : public std::runtime_error
{
public:
    enum class Kind {
        cannotOpen,  // the file is not a store of this schema, or cannot be read
        locked,      // another running instance holds the store
        saveFailed,  // nothing of the save was written
        fetchFailed,
        rebuildFailed, // the store could not be opened even after quarantine
    };

    StoreError(Kind kind, const QString &detail);

    Kind kind() const { return m_kind; }
    const QString &detail() const { return m_detail; }

private:
    static std::string message(Kind kind, const QString &detail);

    Kind m_kind;
    QString m_detail;
};

} // namespace quillmere
