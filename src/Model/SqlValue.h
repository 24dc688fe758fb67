#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>
#include <type_traits>
#include <variant>

#include "Model/EnumStrings.h"

namespace quillmere {

// One column value as SQLite holds it: NULL, INTEGER, REAL, TEXT or BLOB.
using SqlValue = std::variant<std::monostate, qint64, double, QString, QByteArray>;

// Orders values as SQLite's default collation does for one column: NULL first, then
// numbers, then text, then blobs.
int compareSqlValues(const SqlValue &a, const SqlValue &b);

// Every stored field type converts to and from an SqlValue through these overloads.
// Dates are integer nanoseconds since the Unix epoch; UUIDs are upper-case text;
// string lists are JSON arrays; enumerations are their stored strings.
namespace sql {

inline SqlValue encode(const QString &v) { return v.isNull() ? QString(QLatin1String("")) : v; }
inline SqlValue encode(qint64 v) { return v; }
inline SqlValue encode(bool v) { return qint64(v ? 1 : 0); }
inline SqlValue encode(const QByteArray &v) { return v.isNull() ? QByteArray("") : v; }
inline SqlValue encode(const QDateTime &v) { return v.toMSecsSinceEpoch() * qint64(1000000); }
inline SqlValue encode(const QUuid &v) { return v.toString(QUuid::WithoutBraces).toUpper(); }
SqlValue encode(const QStringList &v);

template<typename E>
    requires std::is_enum_v<E>
SqlValue encode(E v)
{
    return rawValue(v);
}

template<typename T>
SqlValue encode(const std::optional<T> &v)
{
    return v ? encode(*v) : SqlValue();
}

inline void decode(const SqlValue &v, QString &out)
{
    if (auto s = std::get_if<QString>(&v))
        out = *s;
    else if (auto i = std::get_if<qint64>(&v))
        out = QString::number(*i);
    else
        out = QString(QLatin1String(""));
}
// A real as SQLite casts it to an integer: its whole part, saturated at the 64-bit bounds;
// NaN is 0. A damaged or foreign store may hold any real in any column.
qint64 integerOfReal(double value);

inline void decode(const SqlValue &v, qint64 &out)
{
    if (auto i = std::get_if<qint64>(&v))
        out = *i;
    else if (auto d = std::get_if<double>(&v))
        out = integerOfReal(*d);
    else
        out = 0;
}
inline void decode(const SqlValue &v, bool &out)
{
    qint64 i = 0;
    decode(v, i);
    out = i != 0;
}
inline void decode(const SqlValue &v, QByteArray &out)
{
    if (auto b = std::get_if<QByteArray>(&v))
        out = *b;
    else if (auto s = std::get_if<QString>(&v))
        out = s->toUtf8();
    else
        out = QByteArray("");
}
void decode(const SqlValue &v, QDateTime &out);
void decode(const SqlValue &v, QUuid &out);
void decode(const SqlValue &v, QStringList &out);

// A stored string that names no case reads as the enumeration's safe fallback.
template<typename E>
    requires std::is_enum_v<E>
void decode(const SqlValue &v, E &out)
{
    auto s = std::get_if<QString>(&v);
    auto e = s ? fromRawValue<E>(*s) : std::nullopt;
    out = e ? *e : EnumStrings<E>::fallback;
}

// An optional enumeration reads an unknown string as absent; other optional types read
// NULL as absent and anything else through the plain overload.
template<typename T>
void decode(const SqlValue &v, std::optional<T> &out)
{
    if (std::holds_alternative<std::monostate>(v)) {
        out.reset();
        return;
    }
    if constexpr (std::is_enum_v<T>) {
        auto s = std::get_if<QString>(&v);
        out = s ? fromRawValue<T>(*s) : std::nullopt;
    } else {
        T value{};
        decode(v, value);
        out = std::move(value);
    }
}

} // namespace sql
} // namespace quillmere
