#pragma once

#include "Model/Record.h"
#include "Model/TableLayout.h"

#include <memory>

namespace quillmere {

// The shared machinery of a record type whose stored fields live in the struct D.
// Self provides `static const TableLayout<D> &layout()`.
template<typename Self, typename D>
class RecordOf : public Record
{
public:
    const TableInfo &tableInfo() const override { return Self::layout().info; }

protected:
    RecordOf() = default;
    explicit RecordOf(D data)
        : m_d(std::move(data))
    {
    }

    // Sets one field; an equal value stores nothing, a removed record ignores the write.
    template<typename T, typename V>
    bool write(int field, T D::*member, V &&value)
    {
        if (!acceptsWrites() || m_d.*member == value)
            return false;
        if (wantsSnapshot() && !m_saved)
            m_saved = std::make_unique<D>(m_d);
        m_d.*member = std::forward<V>(value);
        noteWrite(field);
        return true;
    }

    D m_d;
    std::unique_ptr<D> m_saved;

    SqlValue columnValue(int column, const PkResolver *resolver) const override
    {
        return Self::layout().columns[size_t(column)].get(m_d, resolver);
    }
    void loadColumn(int column, const SqlValue &value) override
    {
        Self::layout().columns[size_t(column)].set(m_d, value);
    }
    void restoreSnapshot() override
    {
        if (m_saved)
            m_d = std::move(*m_saved);
        m_saved.reset();
    }
    void dropSnapshot() override { m_saved.reset(); }
    void mergeFrom(const Record &other, quint64 mask) override
    {
        const auto &source = static_cast<const Self &>(other);
        const auto &columns = Self::layout().columns;
        for (size_t c = 0; c < columns.size(); ++c) {
            const quint64 bit = quint64(1) << c;
            if (!(mask & bit))
                continue;
            // An unsaved change here wins; the stored value still becomes what a
            // rollback returns to.
            const SqlValue v = columns[c].get(source.m_d, nullptr);
            if (!(dirtyMask() & bit))
                columns[c].set(m_d, v);
            if (m_saved)
                columns[c].set(*m_saved, v);
        }
        const quint64 relationBits = mask & ~((quint64(1) << columns.size()) - 1);
        if (relationBits & ~dirtyMask())
            invalidateRelations();
    }
};

} // namespace quillmere
