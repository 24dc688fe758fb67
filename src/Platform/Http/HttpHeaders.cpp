#include "Platform/Http/HttpHeaders.h"

#include "Platform/Http/TransportError.h"

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
            bool ok = false;
            const QByteArray digits = item.trimmed();
            const qint64 parsed = digits.toLongLong(&ok);
            if (!ok || parsed < 0 || digits.startsWith('+') || (length && *length != parsed))
                throw TransportError(TransportError::Code::badServerResponse);
            length = parsed;
        }
    }
    return length;
}

} // namespace quillmere
