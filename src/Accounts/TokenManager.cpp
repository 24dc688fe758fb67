#include "Accounts/TokenManager.h"

#include "Accounts/DeviceAuthClient.h"
#include "Accounts/KeychainVault.h"

namespace quillmere {

TokenManager::TokenManager(KeychainVault &vault, QString vaultKey, BaseURLSource baseURL)
    : m_vault(vault), m_vaultKey(std::move(vaultKey)), m_baseURL(std::move(baseURL))
{
}

QCoro::Task<> TokenManager::saveToken(QString token, QDateTime expiresAt)
{
    if (!expiresAt.isValid())
        co_return; // nothing sensible to encode: dropped like any encoding failure
    const QByteArray encoded = TokenData{token, expiresAt}.encoded();
    auto writing = m_vault.setValueAsync(encoded, m_vaultKey);
    co_await std::move(writing);
}

QCoro::Task<std::optional<TokenData>> TokenManager::loadToken()
{
    auto reading = m_vault.dataAsync(m_vaultKey);
    const std::optional<QByteArray> bytes = co_await std::move(reading);
    if (!bytes)
        co_return std::nullopt;
    co_return TokenData::decode(*bytes);
}

QCoro::Task<> TokenManager::clearToken()
{
    auto removing = m_vault.removeValueAsync(m_vaultKey);
    co_await std::move(removing);
}

QCoro::Task<TokenData> TokenManager::refreshToken(std::stop_token stop)
{
    auto loading = loadToken();
    const std::optional<TokenData> stored = co_await std::move(loading);
    if (!stored)
        throw TokenError();
    auto refreshing = DeviceAuthClient::refresh(stored->token, baseURL(), std::move(stop));
    TokenData renewed = co_await std::move(refreshing);
    auto saving = saveToken(renewed.token, renewed.expiresAt);
    co_await std::move(saving);
    co_return renewed;
}

} // namespace quillmere
