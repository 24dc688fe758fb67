#pragma once

#include <QString>

#include <memory>
#include <vector>

namespace quillmere {

class Record;

// What the context and the schema need to know of one record type, independent of its
// field types.
struct TableInfo
{
    QString name;
    int typeIndex = -1;
    std::vector<QString> columns;    // in field order
    std::vector<QString> columnDDL;  // type and constraints of each column
    std::vector<QString> extraDDL;   // indexes and link tables created after the table
    // The column whose value is unique: an insert of an already stored value replaces
    // that row instead of failing. Empty when the type has none.
    QString uniqueColumn;
    std::shared_ptr<Record> (*create)() = nullptr;
};

} // namespace quillmere
