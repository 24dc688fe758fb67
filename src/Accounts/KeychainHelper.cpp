#include "Accounts/KeychainHelper.h"

#include "Platform/BundleIdentifier.h"
#include "Platform/Secrets/SecretServiceBackend.h"

namespace quillmere {

namespace {

SecretBackend &systemBackend()
{
    static SecretServiceBackend backend;
    return backend;
}

} // namespace

KeychainHelper::KeychainError::KeychainError(Kind kind, std::int32_t status, QString storeMessage)
    : m_kind(kind), m_status(status), m_storeMessage(std::move(storeMessage)),
      m_what(localizedDescription().toUtf8())
{
}

KeychainHelper::KeychainError KeychainHelper::KeychainError::unhandled(std::int32_t status, QString storeMessage)
{
    return KeychainError(Kind::unhandledError, status, std::move(storeMessage));
}

QString KeychainHelper::KeychainError::localizedDescription() const
{
    switch (m_kind) {
    case Kind::unhandledError:
        return QStringLiteral("Keychain error: ") + QString::number(m_status);
    case Kind::itemNotFound:
        return QStringLiteral("Keychain item not found.");
    case Kind::unexpectedData:
        return QStringLiteral("Unexpected data in Keychain.");
    }
    return {};
}

KeychainHelper::KeychainHelper() : m_backend(systemBackend()) {}

KeychainHelper::KeychainHelper(SecretBackend &backend) : m_backend(backend) {}

QByteArray KeychainHelper::read(const QString &account) const
{
    const auto result = m_backend.read(bundleIdentifier(), account);
    switch (result.kind) {
    case SecretBackend::Result::Kind::ok:
        if (result.value.isEmpty())
            throw KeychainError::badData();
        return result.value;
    case SecretBackend::Result::Kind::notFound:
        throw KeychainError::notFound();
    case SecretBackend::Result::Kind::failed:
        break;
    }
    throw KeychainError::unhandled(result.code, result.message);
}

void KeychainHelper::save(const QString &account, const QByteArray &data) const
{
    // One replacing store, not delete-then-add: a failed add after a delete would lose the item.
    const auto result = m_backend.store(bundleIdentifier(), account, data);
    if (result.kind == SecretBackend::Result::Kind::failed)
        throw KeychainError::unhandled(result.code, result.message);
}

void KeychainHelper::remove(const QString &account) const
{
    const auto result = m_backend.remove(bundleIdentifier(), account);
    if (result.kind == SecretBackend::Result::Kind::failed)
        throw KeychainError::unhandled(result.code, result.message);
}

} // namespace quillmere
