#include "Platform/Http/HttpHeaders.h"

#include "Platform/Http/TransportError.h"

#include <algorithm>

namespace quillmere {

namespace {
bool sameName(const QByteArray &a, const QByteArray &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}
} // namespace

void HttpHeaders::set(const QByteArray &name, const QByteArray &value)
{
    remove(name);
    m_fields.append({name, value});
}

void HttpHeaders::remove(const QByteArray &name)
{
    m_fields.removeIf([&](const Field &field) { return sameName(field.first, name); });
}

std::optional<QByteArray> HttpHeaders::value(const QByteArray &name) const
{
    for (const auto &field : m_fields) {
        if (sameName(field.first, name))
            return field.second;
    }
    return std::nullopt;
}

std::optional<qint64> declaredContentLength(const HttpHeaders &headers)
{
    std::optional<qint64> length;
    for (const auto &[name, value] : headers.fields()) {
        if (!sameName(name, "Content-Length"))
            continue;
        for (const QByteArray &item : value.split(',')) {
            // Digits only: QByteArray::toLongLong also takes a sign and stops at a NUL.
            const QByteArray digits = item.trimmed();
            const bool decimal = !digits.isEmpty()
                && std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; });
            bool ok = false;
            const qint64 parsed = decimal ? digits.toLongLong(&ok) : 0;
            if (!ok || (length && *length != parsed))
                throw TransportError(TransportError::Code::badServerResponse);
            length = parsed;
        }
    }
    return length;
}

} // namespace quillmere
