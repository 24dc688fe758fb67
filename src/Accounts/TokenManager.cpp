#include "Accounts/TokenManager.h"

#include "Accounts/DeviceAuthClient.h"
#include "Accounts/KeychainVault.h"
#include "Platform/Http/TransportError.h"

#include <mutex>

namespace quillmere {

namespace {

struct RawToken
{
    KeychainVault::Entry entry;
    std::optional<TokenData> token;
};

// The token is read for every request the service is sent, and it changes once in hours:
// the last bytes decoded are kept with what they decoded to.
std::optional<TokenData> decodeRemembered(const QByteArray &bytes)
{
    static std::mutex mutex;
    static QByteArray lastBytes;
    static std::optional<TokenData> lastToken;
    std::lock_guard lock(mutex);
    if (lastBytes.isNull() || lastBytes != bytes) {
        lastToken = TokenData::decode(bytes);
        lastBytes = bytes;
    }
    return lastToken;
}

QCoro::Task<RawToken> readRaw(std::shared_ptr<KeychainVault> vault, QString key)
{
    auto reading = vault->entryAsync(key);
    RawToken raw;
    raw.entry = co_await std::move(reading);
    if (raw.entry.value)
        raw.token = decodeRemembered(*raw.entry.value);
    co_return raw;
}

// One renewal with the holder's lock held. Everything it needs is copied in: the manager and
// the vault's owner may be gone when the answer arrives.
QCoro::Task<TokenData> renewLocked(std::shared_ptr<KeychainVault> vault, QString key, QString markKey, QUrl baseURL,
                                   QString token, std::optional<QByteArray> storedBytes, std::stop_token stop)
{
    // The mark reaches the keyring before the request leaves: a process that ends before the
    // answer is stored (a quit's bound, a kill) leaves a token the service may have retired, and
    // the next start must not take its refusal for a revocation. A mark already there is an
    // earlier renewal's that never heard back: it stays until the token is replaced, whatever
    // the service says now.
    const QByteArray sent = token.toUtf8();
    // Only this renewal's mark: another token's, marked since, stays.
    const auto unmark = [&vault, &markKey, &sent] {
        return vault->removeValueIfAsync(markKey, [sent](const QByteArray &marked) { return marked == sent; });
    };
    auto reading = vault->dataAsync(markKey);
    const bool inherited = co_await std::move(reading) == std::optional(sent);
    if (!inherited) {
        auto marking = vault->setValueAsync(sent, markKey);
        co_await std::move(marking);
    }
    if (stop.stop_requested()) {
        // Nothing was sent: a mark left behind would take the token's later refusal, a genuine
        // revocation among them, for this renewal's doing.
        if (!inherited) {
            auto unmarking = unmark();
            co_await std::move(unmarking);
        }
        throw TransportError(TransportError::Code::cancelled);
    }
    // Once sent, the renewal is not stopped with its caller: a service that retires the token
    // it renews would refuse the stored one afterwards, and that refusal signs the user out.
    std::optional<DeviceAuthClient::TokenReply> renewed;
    std::exception_ptr failure;
    // The service refused the token sent: this request renewed nothing (a gateway's status
    // says nothing of what reached the service).
    bool declined = false;
    try {
        auto refreshing = DeviceAuthClient::refresh(std::move(token), std::move(baseURL), std::stop_token());
        renewed = co_await std::move(refreshing);
    } catch (const DeviceAuthClient::DeviceAuthError &error) {
        declined = error.isRefusal();
        failure = std::current_exception();
    } catch (...) {
        failure = std::current_exception();
    }
    if (declined && !inherited) {
        auto unmarking = unmark();
        co_await std::move(unmarking);
    }
    if (renewed && renewed->token.expiresAt.isValid()) {
        // Replaced only while the token sent is still stored: a sign-out or another renewal
        // during the request wins.
        auto saving = vault->replaceValueAsync(renewed->token.encoded(), key, storedBytes);
        // The address and shard belong to the token they came with: a renewal that did not
        // replace the stored token (another account signed in meanwhile) moves nothing.
        if (co_await std::move(saving))
            renewed->home.store();
        // Answered: what became of the token sent is known. Kept when no status came back,
        // since a request that got no answer may have reached the service all the same.
        auto unmarking = unmark();
        co_await std::move(unmarking);
    }
    // The caller that stopped meanwhile learns nothing of the outcome.
    if (stop.stop_requested())
        throw TransportError(TransportError::Code::cancelled);
    if (failure)
        std::rethrow_exception(failure);
    co_return renewed->token;
}

} // namespace

TokenManager::TokenManager(std::shared_ptr<KeychainVault> vault, QString vaultKey, BaseURLSource baseURL)
    : m_vault(std::move(vault)), m_vaultKey(std::move(vaultKey)), m_baseURL(std::move(baseURL))
{
}

TokenManager::TokenManager(KeychainVault &vault, QString vaultKey, BaseURLSource baseURL)
    // Not owned: the caller keeps the vault.
    : TokenManager(std::shared_ptr<KeychainVault>(std::shared_ptr<void>(), &vault), std::move(vaultKey),
                   std::move(baseURL))
{
}

QCoro::Task<bool> TokenManager::saveToken(QString token, QDateTime expiresAt)
{
    if (!expiresAt.isValid())
        co_return false; // nothing sensible to encode: dropped like any encoding failure
    const QByteArray encoded = TokenData{token, expiresAt}.encoded();
    const std::shared_ptr<KeychainVault> vault = m_vault;
    auto writing = vault->setValueAsync(encoded, m_vaultKey);
    co_return co_await std::move(writing);
}

QCoro::Task<std::optional<TokenData>> TokenManager::loadToken()
{
    auto reading = readRaw(m_vault, m_vaultKey);
    const RawToken raw = co_await std::move(reading);
    co_return raw.token;
}

QCoro::Task<TokenManager::StoredToken> TokenManager::readStoredToken()
{
    auto reading = readRaw(m_vault, m_vaultKey);
    const RawToken raw = co_await std::move(reading);
    co_return StoredToken{raw.token, raw.entry.unreadable};
}

QCoro::Task<> TokenManager::clearToken()
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    auto removing = vault->removeValueAsync(m_vaultKey);
    co_await std::move(removing);
}

QCoro::Task<bool> TokenManager::clearTokenIfStill(QString token)
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    auto removing = vault->removeValueIfAsync(m_vaultKey, [token](const QByteArray &stored) {
        const std::optional<TokenData> decoded = TokenData::decode(stored);
        return decoded && decoded->token == token;
    });
    co_return co_await std::move(removing);
}

QCoro::Task<std::optional<TokenData>> TokenManager::takeToken()
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    // Written on the vault's worker, read here once its call has returned.
    auto taken = std::make_shared<std::optional<TokenData>>();
    auto removing = vault->removeValueIfAsync(m_vaultKey, [taken](const QByteArray &stored) {
        *taken = TokenData::decode(stored);
        return taken->has_value();
    });
    co_await std::move(removing);
    co_return *taken;
}

namespace {

// The renewal lock, held, and what the vault holds once it is: a renewal always starts
// from the token stored after the one before it ended.
struct LockedToken
{
    AsyncMutex::Lock held;
    RawToken stored;
};

QCoro::Task<LockedToken> lockAndRead(std::shared_ptr<KeychainVault> vault, QString key, std::shared_ptr<AsyncMutex> renewing,
                                     std::stop_token stop)
{
    auto locking = renewing->lock();
    AsyncMutex::Lock held = co_await std::move(locking);
    if (stop.stop_requested())
        throw TransportError(TransportError::Code::cancelled);
    auto reading = readRaw(vault, key);
    RawToken stored = co_await std::move(reading);
    co_return LockedToken{std::move(held), std::move(stored)};
}

} // namespace

QCoro::Task<TokenData> TokenManager::refreshToken(std::stop_token stop)
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    const QString key = m_vaultKey;
    const BaseURLSource baseURL = m_baseURL;

    auto locking = lockAndRead(vault, key, m_renewing, stop);
    const LockedToken locked = co_await std::move(locking);
    if (!locked.stored.token)
        throw TokenError();
    auto renewal = renewLocked(vault, key, renewalMarkKey(key), baseURL(), locked.stored.token->token,
                               locked.stored.entry.value, stop);
    const TokenData renewed = co_await std::move(renewal);
    co_return renewed;
}

QCoro::Task<bool> TokenManager::renewUnlessReplaced(std::optional<QString> seen, std::stop_token stop)
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    const QString key = m_vaultKey;
    const BaseURLSource baseURL = m_baseURL;

    auto locking = lockAndRead(vault, key, m_renewing, stop);
    const LockedToken locked = co_await std::move(locking);
    const RawToken &stored = locked.stored;
    const std::optional<QString> current = stored.token ? std::optional(stored.token->token) : std::nullopt;
    if (current != seen)
        co_return false; // renewed (or cleared) since the caller looked: its renewal is done
    if (!stored.token)
        throw TokenError();
    auto renewal = renewLocked(vault, key, renewalMarkKey(key), baseURL(), stored.token->token, stored.entry.value, stop);
    co_await std::move(renewal);
    co_return true;
}

QCoro::Task<bool> TokenManager::renewalWasCutOff(QString token)
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    const std::shared_ptr<AsyncMutex> renewing = m_renewing;
    const QString markKey = renewalMarkKey(m_vaultKey);
    // A renewal of this run still at the service has marked its token too, and its answer is
    // still to come (a refusal takes the mark back): the mark is read once no renewal runs, so
    // a revocation met meanwhile by another request is not taken for a cut-off renewal.
    auto locking = renewing->lock();
    const AsyncMutex::Lock held = co_await std::move(locking);
    auto reading = vault->dataAsync(markKey);
    const std::optional<QByteArray> marked = co_await std::move(reading);
    co_return marked && *marked == token.toUtf8();
}

} // namespace quillmere
