#pragma once

#include "Accounts/APIConfig.h"
#include "Accounts/TokenData.h"

#include <QCoroTask>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <exception>
#include <functional>
#include <optional>
#include <stop_token>

namespace quillmere {

class KeychainVault;

// The bearer token in one vault entry. Several managers over the same entry may exist (each
// service client holds one); they meet only in the vault, whose worker runs their reads and
// writes in call order. Refreshes are never merged: each call sends its own request.
// Main thread; the vault and the base URL source must outlive the manager.
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

    explicit TokenManager(KeychainVault &vault, QString vaultKey = QStringLiteral("bearer-token"),
                          BaseURLSource baseURL = &APIConfig::baseURL);

    const QString &vaultKey() const { return m_vaultKey; }
    // Where the service is reached for this account at the moment of the call.
    QUrl baseURL() const { return m_baseURL(); }

    QCoro::Task<> saveToken(QString token, QDateTime expiresAt);
    // Absent when the entry is missing or does not decode.
    QCoro::Task<std::optional<TokenData>> loadToken();
    QCoro::Task<> clearToken();
    // Sends the stored token to the service and stores the one it returns. Fails with
    // TokenError when nothing is stored (nothing is sent), otherwise with whatever
    // DeviceAuthClient::refresh fails with; the stored token then stays as it was.
    QCoro::Task<TokenData> refreshToken(std::stop_token stop = {});

private:
    KeychainVault &m_vault;
    QString m_vaultKey;
    BaseURLSource m_baseURL;
};

} // namespace quillmere
