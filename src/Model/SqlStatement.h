#pragma once

#include "Model/SqlValue.h"
#include "Model/StoreError.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quillmere {

// A prepared statement in use: binds, steps and reads; resets (cached) or finalises
// (uncached) when it goes out of scope. Errors throw StoreError of the given kind.
class SqlStatement
{
public:
    SqlStatement(sqlite3 *db, sqlite3_stmt *stmt, bool owned, StoreError::Kind errorKind);
    SqlStatement(SqlStatement &&other) noexcept;
    SqlStatement(const SqlStatement &) = delete;
    SqlStatement &operator=(const SqlStatement &) = delete;
    ~SqlStatement();

    void bind(int index, const SqlValue &value); // 1-based
    bool step();                                  // true while a row is available
    void run();                                   // steps to the end
    SqlValue value(int column) const;             // 0-based
    qint64 integer(int column) const;

private:
    [[noreturn]] void fail() const;

    sqlite3 *m_db;
    sqlite3_stmt *m_stmt;
    bool m_owned;
    StoreError::Kind m_errorKind;
};

} // namespace quillmere
