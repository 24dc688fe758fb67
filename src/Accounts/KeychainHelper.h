#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <exception>

namespace quillmere {

class SecretBackend;

// The one place that reads, saves and deletes a secret item of this application: the item of
// the secret store whose service is the bundle identifier and whose account is given.
class KeychainHelper
{
public:
    class KeychainError : public std::exception
    {
    public:
        enum class Kind { unhandledError, itemNotFound, unexpectedData };

        static KeychainError unhandled(std::int32_t status, QString storeMessage = {});
        static KeychainError notFound() { return KeychainError(Kind::itemNotFound, 0, {}); }
        static KeychainError badData() { return KeychainError(Kind::unexpectedData, 0, {}); }

        Kind kind() const { return m_kind; }
        std::int32_t status() const { return m_status; }
        // "Keychain error: <status>", "Keychain item not found." or "Unexpected data in Keychain."
        QString localizedDescription() const;
        // The secret store's own words for an unhandled error (for logs); may be empty.
        const QString &storeMessage() const { return m_storeMessage; }
        const char *what() const noexcept override { return m_what.constData(); }

    private:
        KeychainError(Kind kind, std::int32_t status, QString storeMessage);

        Kind m_kind;
        std::int32_t m_status;
        QString m_storeMessage;
        QByteArray m_what;
    };

    // Over the session's Secret Service.
    KeychainHelper();
    explicit KeychainHelper(SecretBackend &backend);

    // Blocking: see SecretServiceBackend. Each throws KeychainError.
    QByteArray read(const QString &account) const;
    void save(const QString &account, const QByteArray &data) const;
    // Succeeds when there was no item.
    void remove(const QString &account) const;

private:
    SecretBackend &m_backend;
};

} // namespace quillmere
