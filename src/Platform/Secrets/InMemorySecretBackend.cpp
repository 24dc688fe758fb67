#include "Platform/Secrets/InMemorySecretBackend.h"

namespace quillmere {

SecretBackend::Result InMemorySecretBackend::read(const QString &service, const QString &account)
{
    std::lock_guard guard(m_mutex);
    ++m_reads;
    if (m_readFailure)
        return Result::failure(*m_readFailure, QStringLiteral("read refused"));
    const auto found = m_items.find({service, account});
    if (found == m_items.end())
        return Result::missing();
    return Result::success(found->second);
}

SecretBackend::Result InMemorySecretBackend::store(const QString &service, const QString &account,
                                                   const QByteArray &value)
{
    std::lock_guard guard(m_mutex);
    ++m_stores;
    if (m_writeFailure)
        return Result::failure(*m_writeFailure, QStringLiteral("write refused"));
    m_items[{service, account}] = value;
    return Result::success();
}

SecretBackend::Result InMemorySecretBackend::remove(const QString &service, const QString &account)
{
    std::lock_guard guard(m_mutex);
    if (m_writeFailure)
        return Result::failure(*m_writeFailure, QStringLiteral("write refused"));
    return m_items.erase({service, account}) ? Result::success() : Result::missing();
}

void InMemorySecretBackend::setReadFailure(std::optional<int> code)
{
    std::lock_guard guard(m_mutex);
    m_readFailure = code;
}

void InMemorySecretBackend::setWriteFailure(std::optional<int> code)
{
    std::lock_guard guard(m_mutex);
    m_writeFailure = code;
}

std::optional<QByteArray> InMemorySecretBackend::item(const QString &service, const QString &account) const
{
    std::lock_guard guard(m_mutex);
    const auto found = m_items.find({service, account});
    if (found == m_items.end())
        return std::nullopt;
    return found->second;
}

void InMemorySecretBackend::putItem(const QString &service, const QString &account, const QByteArray &value)
{
    std::lock_guard guard(m_mutex);
    m_items[{service, account}] = value;
}

int InMemorySecretBackend::itemCount() const
{
    std::lock_guard guard(m_mutex);
    return int(m_items.size());
}

int InMemorySecretBackend::readCount() const
{
    std::lock_guard guard(m_mutex);
    return m_reads;
}

int InMemorySecretBackend::storeCount() const
{
    std::lock_guard guard(m_mutex);
    return m_stores;
}

} // namespace quillmere
