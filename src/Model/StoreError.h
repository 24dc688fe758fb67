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
        cannotOpen,  // the file is damaged or not a store of this schema (proof of damage)
        locked,      // another running instance holds the store
        noSpace,     // the disk is full or failed a read or write: the file may be sound
        noAccess,    // the file or its folder cannot be opened, or access was refused
        saveFailed,  // nothing of the save was written
        fetchFailed,
        rebuildFailed, // the store could not be opened even after quarantine
    };

    // sqliteCode: the (extended) SQLite result code that caused it, 0 for a verdict of our own.
    StoreError(Kind kind, const QString &detail, int sqliteCode = 0);

    Kind kind() const { return m_kind; }
    const QString &detail() const { return m_detail; }
    int sqliteCode() const { return m_sqliteCode; }

private:
    static std::string message(Kind kind, const QString &detail);

    Kind m_kind;
    QString m_detail;
    int m_sqliteCode;
};

} // namespace quillmere
