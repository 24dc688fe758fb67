#include "Model/SqlValue.h"

#include <QTimeZone>

#include <cmath>
#include <limits>

namespace quillmere {

namespace {
int rank(const SqlValue &v)
{
    switch (v.index()) {
    case 0:
        return 0;
    case 1:
    case 2:
        return 1;
    case 3:
        return 2;
    default:
        return 3;
    }
}
} // namespace

int compareSqlValues(const SqlValue &a, const SqlValue &b)
{
    const int ra = rank(a), rb = rank(b);
    if (ra != rb)
        return ra < rb ? -1 : 1;
    switch (ra) {
    case 0:
        return 0;
    case 1: {
        const double x = std::holds_alternative<qint64>(a) ? double(std::get<qint64>(a)) : std::get<double>(a);
        const double y = std::holds_alternative<qint64>(b) ? double(std::get<qint64>(b)) : std::get<double>(b);
        if (std::holds_alternative<qint64>(a) && std::holds_alternative<qint64>(b)) {
            const qint64 i = std::get<qint64>(a), j = std::get<qint64>(b);
            return i < j ? -1 : (i > j ? 1 : 0);
        }
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    case 2: {
        // SQLite's BINARY collation compares UTF-8 bytes.
        const QByteArray x = std::get<QString>(a).toUtf8(), y = std::get<QString>(b).toUtf8();
        const int c = x.compare(y);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    default: {
        const int c = std::get<QByteArray>(a).compare(std::get<QByteArray>(b));
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    }
}

namespace sql {

SqlValue encode(const QStringList &v)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(v)).toJson(QJsonDocument::Compact));
}

qint64 integerOfReal(double value)
{
    // 2^63 is exactly representable as a double and is the first value out of range.
    constexpr double limit = 9223372036854775808.0;
    if (std::isnan(value))
        return 0;
    if (value >= limit)
        return std::numeric_limits<qint64>::max();
    if (value <= -limit)
        return std::numeric_limits<qint64>::min();
    return qint64(value);
}

void decode(const SqlValue &v, QDateTime &out)
{
    qint64 ns = 0;
    decode(v, ns);
    // Floor division keeps dates before 1970 on the right millisecond; the earliest
    // millisecond is the last one whose nanoseconds fit, so what was read writes back.
    qint64 ms = ns / 1000000;
    if (ns % 1000000 < 0 && ms > std::numeric_limits<qint64>::min() / 1000000)
        --ms;
    out = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

void decode(const SqlValue &v, QUuid &out)
{
    auto s = std::get_if<QString>(&v);
    out = s ? QUuid::fromString(*s) : QUuid();
}

void decode(const SqlValue &v, QStringList &out)
{
    out.clear();
    auto s = std::get_if<QString>(&v);
    if (!s)
        return;
    const QJsonArray array = QJsonDocument::fromJson(s->toUtf8()).array();
    for (const auto &item : array)
        if (item.isString())
            out.append(item.toString());
}

} // namespace sql
} // namespace quillmere
