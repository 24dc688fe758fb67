#pragma once

#include "Model/SqlValue.h"

#include <optional>
#include <vector>

namespace quillmere {

// A fetch in terms of column indexes: conditions joined by AND, an optional sort and an
// optional limit. The same request is run as one SQL statement and evaluated in memory
// against the context's unsaved changes, with identical semantics.
struct FetchRequest
{
    enum class Op {
        equals,    // col = v
        notEquals, // col IS NOT v (an absent value differs from every value)
        in,        // col IN (v...) (an absent value is in no list)
        isNull,
        notNull,
        atMost, // col <= v (an absent value is at most nothing)
    };
    struct Condition
    {
        int column;
        Op op;
        std::vector<SqlValue> values;
    };
    struct Sort
    {
        int column;
        bool ascending = true;
    };

    std::vector<Condition> conditions;
    std::optional<Sort> sort;
    std::optional<int> limit;
};

// The typed face of FetchRequest for record type T (fields named by T::Field).
template<typename T>
struct FetchDescriptor : FetchRequest
{
    using Field = typename T::Field;

    template<typename V>
    FetchDescriptor &equals(Field f, const V &value)
    {
        conditions.push_back({int(f), Op::equals, {sql::encode(value)}});
        return *this;
    }
    template<typename V>
    FetchDescriptor &notEquals(Field f, const V &value)
    {
        conditions.push_back({int(f), Op::notEquals, {sql::encode(value)}});
        return *this;
    }
    template<typename V>
    FetchDescriptor &in(Field f, const std::vector<V> &values)
    {
        Condition c{int(f), Op::in, {}};
        for (const auto &v : values)
            c.values.push_back(sql::encode(v));
        conditions.push_back(std::move(c));
        return *this;
    }
    template<typename V>
    FetchDescriptor &atMost(Field f, const V &value)
    {
        conditions.push_back({int(f), Op::atMost, {sql::encode(value)}});
        return *this;
    }
    FetchDescriptor &isNull(Field f)
    {
        conditions.push_back({int(f), Op::isNull, {}});
        return *this;
    }
    FetchDescriptor &notNull(Field f)
    {
        conditions.push_back({int(f), Op::notNull, {}});
        return *this;
    }
    FetchDescriptor &sortBy(Field f, bool ascending = true)
    {
        sort = Sort{int(f), ascending};
        return *this;
    }
    FetchDescriptor &limitTo(int n)
    {
        limit = n;
        return *this;
    }
};

} // namespace quillmere
