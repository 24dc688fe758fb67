#include "Model/SqlStatement.h"

#include <sqlite3.h>

namespace quillmere {

SqlStatement::SqlStatement(sqlite3 *db, sqlite3_stmt *stmt, bool owned, StoreError::Kind errorKind)
    : m_db(db)
    , m_stmt(stmt)
    , m_owned(owned)
    , m_errorKind(errorKind)
{
}

SqlStatement::SqlStatement(SqlStatement &&other) noexcept
    : m_db(other.m_db)
    , m_stmt(other.m_stmt)
    , m_owned(other.m_owned)
    , m_errorKind(other.m_errorKind)
{
    other.m_stmt = nullptr;
}

SqlStatement::~SqlStatement()
{
    if (!m_stmt)
        return;
    if (m_owned) {
        sqlite3_finalize(m_stmt);
    } else {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
}

void SqlStatement::fail() const
{
    throw StoreError(m_errorKind, QString::fromUtf8(sqlite3_errmsg(m_db)), sqlite3_extended_errcode(m_db));
}

void SqlStatement::bind(int index, const SqlValue &value)
{
    int rc = SQLITE_OK;
    if (auto i = std::get_if<qint64>(&value)) {
        rc = sqlite3_bind_int64(m_stmt, index, *i);
    } else if (auto d = std::get_if<double>(&value)) {
        rc = sqlite3_bind_double(m_stmt, index, *d);
    } else if (auto s = std::get_if<QString>(&value)) {
        const QByteArray utf8 = s->toUtf8();
        rc = sqlite3_bind_text(m_stmt, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    } else if (auto b = std::get_if<QByteArray>(&value)) {
        rc = sqlite3_bind_blob(m_stmt, index, b->constData(), int(b->size()), SQLITE_TRANSIENT);
    } else {
        rc = sqlite3_bind_null(m_stmt, index);
    }
    if (rc != SQLITE_OK)
        fail();
}

bool SqlStatement::step()
{
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    fail();
}

void SqlStatement::run()
{
    while (step()) {
    }
}

SqlValue SqlStatement::value(int column) const
{
    switch (sqlite3_column_type(m_stmt, column)) {
    case SQLITE_INTEGER:
        return qint64(sqlite3_column_int64(m_stmt, column));
    case SQLITE_FLOAT:
        return sqlite3_column_double(m_stmt, column);
    case SQLITE_TEXT: {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
        return QString::fromUtf8(text, sqlite3_column_bytes(m_stmt, column));
    }
    case SQLITE_BLOB: {
        const auto *data = static_cast<const char *>(sqlite3_column_blob(m_stmt, column));
        return QByteArray(data, sqlite3_column_bytes(m_stmt, column));
    }
    default:
        return SqlValue();
    }
}

qint64 SqlStatement::integer(int column) const
{
    return sqlite3_column_int64(m_stmt, column);
}

} // namespace quillmere
