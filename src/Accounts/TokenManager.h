#pragma once

#include "Accounts/APIConfig.h"
#include "Accounts/TokenData.h"
#include "Platform/Async/AsyncMutex.h"

#include <QCoroTask>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace quillmere {

class KeychainVault;

// The bearer token in one vault entry. Several managers over the same entry may exist (each
// service client holds one); they meet only in the vault, whose worker runs their reads and
// writes in call order. Refreshes are never merged across holders. One holder renews one token
// at a time, and a renewal asked for a token the holder has since replaced sends nothing: with a
// service that retires a token when it renews it, two renewals of one token would retire each
// other's results. Main thread. The manager shares its vault's ownership, so work that resumes
// after the vault's owner is gone (a quit while a renewal or a sign-out is at the service) still
// finds it; the reference constructor does not, and its vault must outlive the manager and
// everything that holds it.
class TokenManager
{
public:
    class TokenError : public std::exception
    {
    public:
        enum class Code { noToken };
        Code code() const { return Code::noToken; }
        const char *what() const noexcept override { return "No authentication token found."; }
    };

    using BaseURLSource = std::function<QUrl()>;

    // What the vault holds. unreadable: the vault could not be read (a locked keyring), which
    // says nothing about whether a token exists.
    struct StoredToken
    {
        std::optional<TokenData> token;
        bool unreadable = false;
    };

    explicit TokenManager(std::shared_ptr<KeychainVault> vault, QString vaultKey = QStringLiteral("bearer-token"),
                          BaseURLSource baseURL = &APIConfig::baseURL);
    explicit TokenManager(KeychainVault &vault, QString vaultKey = QStringLiteral("bearer-token"),
                          BaseURLSource baseURL = &APIConfig::baseURL);

    const QString &vaultKey() const { return m_vaultKey; }
    // Where the service is reached for this account at the moment of the call.
    QUrl baseURL() const { return m_baseURL(); }

    // True when the token reached the secret store (see KeychainVault::setValue); an expiry
    // that is not a valid date stores nothing and gives false.
    QCoro::Task<bool> saveToken(QString token, QDateTime expiresAt);
    // Absent when the entry is missing or does not decode, and while the vault is unreadable.
    QCoro::Task<std::optional<TokenData>> loadToken();
    QCoro::Task<StoredToken> readStoredToken();
    QCoro::Task<> clearToken();
    // Removes the stored token only while it is still `token` (one step in the vault): a token
    // another sign-in saved meanwhile stays. True when it was removed.
    QCoro::Task<bool> clearTokenIfStill(QString token);
    // Removes whatever token is stored and returns it, in one step in the vault: a renewal's
    // answer stored just before is taken with it, and one that arrives after finds the entry gone
    // and stores nothing. Nothing is removed while the vault cannot be read.
    QCoro::Task<std::optional<TokenData>> takeToken();
    // Sends the stored token to the service and returns the one it answers. Fails with
    // TokenError when nothing is stored (nothing is sent), otherwise with whatever
    // DeviceAuthClient::refresh fails with; the stored token then stays as it was. A stop before
    // the request is sent sends nothing; once sent, the renewal runs to its end and its answer is
    // stored even when the caller stopped meanwhile (the service may have retired the token
    // sent), and only the caller's result is cancelled (TransportError cancelled). The answer is
    // stored only while the entry still holds the token that was sent: a disconnect or another
    // holder's renewal during the request wins. The reply's home address and shard are stored
    // with it, and only then.
    QCoro::Task<TokenData> refreshToken(std::stop_token stop = {});
    // refreshToken() for a holder whose request carried `seen` (nullopt: it found no token),
    // unless the stored token is no longer that one: then nothing is sent and the result is
    // false. Waits for the holder's renewal in progress first.
    QCoro::Task<bool> renewUnlessReplaced(std::optional<QString> seen, std::stop_token stop = {});
    // Whether a renewal of `token` was sent and never heard back from (the process ended while it
    // was at the service, or its answer was lost): the service may have retired `token` on
    // receiving it, so a refusal of it is no revocation. Every renewal marks its token in the
    // vault before it is sent; a new token stored, or a refusal of a token that renewal marked
    // itself, drops the mark.
    QCoro::Task<bool> renewalWasCutOff(QString token);
    // The vault entry of that mark, beside the token's own entry `vaultKey`.
    static QString renewalMarkKey(const QString &vaultKey) { return vaultKey + QStringLiteral("-renewal-under-way"); }

private:
    std::shared_ptr<KeychainVault> m_vault;
    QString m_vaultKey;
    BaseURLSource m_baseURL;
    // Held across a renewal's network wait; shared so that a renewal outliving the manager
    // still has it.
    std::shared_ptr<AsyncMutex> m_renewing = std::make_shared<AsyncMutex>();
};

} // namespace quillmere
