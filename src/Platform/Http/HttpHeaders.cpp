#include "Platform/Http/HttpHeaders.h"

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

} // namespace quillmere
