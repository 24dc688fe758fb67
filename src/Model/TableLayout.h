#pragma once

#include "Model/Record.h"
#include "Model/SqlValue.h"
#include "Model/TableInfo.h"

#include <vector>

namespace quillmere {

// How one field of a record's data struct D is stored.
template<typename D>
struct ColumnLayout
{
    QString name;
    QString ddl;
    SqlValue (*get)(const D &, const PkResolver *);
    void (*set)(D &, const SqlValue &);
};

template<auto Member, typename D>
ColumnLayout<D> column(const char *name, const char *ddl)
{
    return ColumnLayout<D>{
        QString::fromLatin1(name), QString::fromLatin1(ddl),
        [](const D &d, const PkResolver *) { return sql::encode(d.*Member); },
        [](D &d, const SqlValue &v) { sql::decode(v, d.*Member); },
    };
}

template<typename D>
struct TableLayout
{
    TableInfo info;
    std::vector<ColumnLayout<D>> columns;

    TableLayout(QString name, int typeIndex, std::vector<ColumnLayout<D>> cols, std::vector<QString> extra,
              QString unique, std::shared_ptr<Record> (*create)())
        : columns(std::move(cols))
    {
        info.name = std::move(name);
        info.typeIndex = typeIndex;
        for (const auto &c : columns) {
            info.columns.push_back(c.name);
            info.columnDDL.push_back(c.ddl);
        }
        info.extraDDL = std::move(extra);
        info.uniqueColumn = std::move(unique);
        info.create = create;
    }
};

} // namespace quillmere
