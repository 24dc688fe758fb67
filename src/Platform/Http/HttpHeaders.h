#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <optional>

namespace quillmere {

// Header fields in order; names compare without regard to case.
class HttpHeaders
{
public:
    using Field = QPair<QByteArray, QByteArray>;

    HttpHeaders() = default;
    explicit HttpHeaders(QList<Field> fields) : m_fields(std::move(fields)) {}

    // Replaces every field of that name with one field.
    void set(const QByteArray &name, const QByteArray &value);
    void remove(const QByteArray &name);
    // The first field of that name.
    std::optional<QByteArray> value(const QByteArray &name) const;
    bool contains(const QByteArray &name) const { return value(name).has_value(); }

    const QList<Field> &fields() const { return m_fields; }

private:
    QList<Field> m_fields;
};

// The body's length as the reply's "Content-Length" fields declare it; none without one. Two
// different values (Qt joins repeated fields with ", ") leave the end of the body open to
// guessing, and so does a value that is not digits only (no sign, nothing after them):
// TransportError badServerResponse.
std::optional<qint64> declaredContentLength(const HttpHeaders &headers);

} // namespace quillmere
