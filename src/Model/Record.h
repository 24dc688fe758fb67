#pragma once

#include "Model/SqlValue.h"
#include "Model/TableInfo.h"

#include <QtGlobal>

#include <memory>

namespace quillmere {

class ModelContext;

// Gives the primary key a record has, or will have, inside a running save.
class PkResolver
{
public:
    virtual ~PkResolver() = default;
    virtual qint64 pkOf(const Record *record) const = 0;
};

// Base of every stored record: its place in a context, its row id and its changed fields.
// Identity is the object itself inside one context and the row id across contexts.
// Records are always held by shared_ptr.
class Record : public std::enable_shared_from_this<Record>
{
public:
    enum class State : quint8 {
        detached,  // not in any context yet
        inserted,  // inserted, not saved
        persisted, // has a row
        deleted,   // removed: ignores writes, never fetched again
    };

    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
    virtual ~Record();

    // Row id in the store; 0 until the record's first save.
    qint64 persistentID() const { return m_pk; }
    ModelContext *context() const { return m_context; }
    State state() const { return m_state; }
    bool isDeleted() const { return m_state == State::deleted; }
    bool hasChanges() const { return m_dirty != 0; }

    virtual const TableInfo &tableInfo() const = 0;

protected:
    Record() = default;

    bool acceptsWrites() const { return m_state != State::deleted; }
    bool wantsSnapshot() const { return m_state == State::persisted && m_context; }
    void noteWrite(int field);
    quint64 dirtyMask() const { return m_dirty; }

    friend class ModelContext;

    virtual SqlValue columnValue(int column, const PkResolver *resolver) const = 0;
    virtual void loadColumn(int column, const SqlValue &value) = 0;
    virtual void restoreSnapshot() = 0;
    virtual void dropSnapshot() = 0;
    // Takes the other context's saved values of the fields in mask that this record has
    // not changed itself.
    virtual void mergeFrom(const Record &other, quint64 mask) = 0;
    // Relationship caches that must be reloaded after another context changed them.
    virtual void invalidateRelations() {}

private:
    ModelContext *m_context = nullptr;
    qint64 m_pk = 0;
    quint64 m_dirty = 0;
    State m_state = State::detached;
    qint8 m_type = -1; // kept here: the destructor cannot ask tableInfo()
    bool m_pinned = false;
};

} // namespace quillmere
