#include "Accounts/TokenManager.h"

#include "Accounts/DeviceAuthClient.h"
#include "Accounts/KeychainVault.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/Http/HttpResponse.h"
#include "Platform/Http/Redirects.h"
#include "Platform/Http/TransportError.h"

#include <QCryptographicHash>

#include <atomic>
#include <mutex>

namespace quillmere {

struct TokenRenewals
{
    // Held across a renewal's network wait.
    AsyncMutex lock;
    // Raised as a renewal begins and as it ends: odd while one runs.
    quint64 turns = 0;
    // Raised while a mark's write that a renewal gave up on is still queued in the vault, and
    // lowered on the vault's worker once the keyring has answered it: no renewal starts meanwhile.
    std::atomic<bool> markWriteOut = false;
    // Whether a mark may be in the vault: unknown until a read found none, and set by every
    // renewal before its mark goes out. Lets an answered request skip the vault read, which
    // would otherwise queue every answer behind whatever the keyring is doing.
    bool markMayBeStored = true;
};

namespace {

using Changes = KeychainVault::Changes;
using EntryReader = KeychainVault::EntryReader;
using StepResult = KeychainVault::StepResult;

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

std::atomic<int> renewalsRunning{0};

// A renewal counted from its start to its end, however it ends.
class RenewalTurn
{
public:
    explicit RenewalTurn(std::shared_ptr<TokenRenewals> renewals) : m_renewals(std::move(renewals))
    {
        ++m_renewals->turns;
        ++renewalsRunning;
    }
    ~RenewalTurn()
    {
        ++m_renewals->turns;
        --renewalsRunning;
    }
    RenewalTurn(const RenewalTurn &) = delete;
    RenewalTurn &operator=(const RenewalTurn &) = delete;

private:
    std::shared_ptr<TokenRenewals> m_renewals;
};

// What a mark's write found and did: written on the vault's worker, read once its call returned.
struct MarkWrite
{
    // A mark on the token was there already: an earlier renewal's, never heard back from.
    bool inherited = false;
    std::optional<StepResult> result;
    std::stop_source done;
};

QCoro::Task<> writeMark(std::shared_ptr<KeychainVault> vault, QString markKey, QString token,
                        std::shared_ptr<MarkWrite> write)
{
    auto writing = vault->applyStepAsync(
        [markKey, token, write](const EntryReader &read) -> Changes {
            const QByteArray digest = TokenManager::renewalMarkFor(token);
            const KeychainVault::Entry marked = read(markKey);
            write->inherited = marked.value && TokenManager::markNames(*marked.value, token);
            if (write->inherited && *marked.value == digest)
                return {};
            // A new mark, or an earlier version's, which held the token itself.
            return {{markKey, digest}};
        },
        true);
    write->result = co_await std::move(writing);
    write->done.request_stop();
}

// Removes the mark while it names `token`; only as this run writes it (the digest) when
// `digestOnly`, since the token's text is an earlier version's mark, never this renewal's.
QCoro::Task<StepResult> unmark(const std::shared_ptr<KeychainVault> &vault, const QString &markKey, const QString &token,
                               bool digestOnly)
{
    return vault->applyStepAsync([markKey, token, digestOnly](const EntryReader &read) -> Changes {
        const KeychainVault::Entry marked = read(markKey);
        if (!marked.value)
            return {};
        const bool names = digestOnly ? *marked.value == TokenManager::renewalMarkFor(token)
                                      : TokenManager::markNames(*marked.value, token);
        if (!names)
            return {};
        return {{markKey, std::nullopt}};
    });
}

// How a renewal's request ended, as far as its mark goes.
enum class Heard {
    renewed,
    // 400, 401 or 403 from the service's own address.
    refused,
    // Nothing left this device: the service never had the token.
    nothingSent,
    // Any other status (a gateway's 502 or 504 comes after it forwarded the request), a
    // time-out, a connection cut once the request was out, an answer that cannot be read, any
    // answer from where a redirect led away: the service may have renewed.
    unknown,
};

// One renewal with the holder's lock held. Everything it needs is copied in: the manager and
// the vault's owner may be gone when the answer arrives.
QCoro::Task<TokenData> renewLocked(std::shared_ptr<KeychainVault> vault, std::shared_ptr<TokenRenewals> renewals,
                                   Clock &clock, QString key, QString markKey, QUrl baseURL, QString token,
                                   std::optional<QByteArray> storedBytes, std::stop_token stop)
{
    const RenewalTurn turn(renewals);
    renewals->markMayBeStored = true;
    // The mark reaches the keyring before the request leaves: a process that ends before the
    // answer is stored (a quit's bound, a kill) leaves a token the service may have retired, and
    // the next start must not take its refusal for a revocation. A mark already there is an
    // earlier renewal's that never heard back: it stays until the token is replaced or the
    // service shows that it still takes the token.
    const QByteArray digest = TokenManager::renewalMarkFor(token);
    auto write = std::make_shared<MarkWrite>();
    TaskHandle writing = TaskHandle::start(
        [vault, markKey, token, write](std::stop_token) { return writeMark(vault, markKey, token, write); });
    // Bounded: the lock held here holds every renewal and every sign-in check of the token, and
    // a keyring that waits for the user to unlock it may wait for a long time.
    if (!write->result) {
        auto waiting = clock.sleepFor(TokenManager::vaultAnswerLimit, write->done.get_token());
        co_await std::move(waiting);
    }
    if (!write->result) {
        // Given up on, and the write is still queued: a mark that lands once the keyring answers
        // is taken back right behind it, before anything queued later can read it, since no
        // renewal went out.
        renewals->markWriteOut = true;
        auto takingBack = vault->applyStepAsync([markKey, digest, write, renewals](const EntryReader &read) -> Changes {
            renewals->markWriteOut = false;
            const KeychainVault::Entry marked = read(markKey);
            if (write->inherited || marked.value != digest)
                return {};
            return {{markKey, std::nullopt}};
        });
        throw TokenManager::MarkNotStoredError(true);
    }
    const bool inherited = write->inherited;
    // Sent unmarked, a renewal that the service carries out and whose answer is lost retires
    // the stored token with no word of it, and the next start takes its refusal for a
    // revocation. An earlier renewal's mark (kept in its old form when the rewrite failed)
    // still stands for this one.
    if (!inherited && *write->result != StepResult::stored)
        throw TokenManager::MarkNotStoredError(false);
    if (stop.stop_requested()) {
        // Nothing was sent: a mark left behind would take the token's later refusal, a genuine
        // revocation among them, for this renewal's doing.
        if (!inherited) {
            auto unmarking = unmark(vault, markKey, token, true);
            co_await std::move(unmarking);
        }
        throw TransportError(TransportError::Code::cancelled);
    }
    // Once sent, the renewal is not stopped with its caller: a service that retires the token
    // it renews would refuse the stored one afterwards, and that refusal signs the user out.
    std::optional<DeviceAuthClient::TokenReply> renewed;
    std::exception_ptr failure;
    Heard heard = Heard::unknown;
    try {
        auto refreshing = DeviceAuthClient::refresh(token, std::move(baseURL), std::stop_token());
        renewed = co_await std::move(refreshing);
        heard = Heard::renewed;
    } catch (const DeviceAuthClient::DeviceAuthError &error) {
        if (error.isRefusal())
            heard = Heard::refused;
        failure = std::current_exception();
    } catch (const TransportError &error) {
        if (error.wasNeverSent())
            heard = Heard::nothingSent;
        failure = std::current_exception();
    } catch (...) {
        failure = std::current_exception();
    }
    if (renewed && renewed->token.expiresAt.isValid()) {
        // Replaced only while the token sent is still stored: a sign-out or another renewal
        // during the request wins. The mark goes in the same write: a process that ends between
        // two writes would leave it naming a token no longer stored.
        auto replaced = std::make_shared<bool>(false);
        auto saving = vault->applyStepAsync(
            [key, markKey, token, storedBytes, replaced, answer = renewed->token.encoded()](const EntryReader &read) -> Changes {
                const KeychainVault::Entry current = read(key);
                *replaced = !current.unreadable && current.value == storedBytes;
                if (*replaced)
                    return {{key, answer}, {markKey, std::nullopt}};
                const KeychainVault::Entry marked = read(markKey);
                if (marked.value && TokenManager::markNames(*marked.value, token))
                    return {{markKey, std::nullopt}};
                return {};
            });
        co_await std::move(saving);
        // The address and shard belong to the token they came with: a renewal that did not
        // replace the stored token (another account signed in meanwhile) moves nothing.
        if (*replaced)
            renewed->home.store();
    } else if ((heard == Heard::refused || heard == Heard::nothingSent) && !inherited) {
        auto unmarking = unmark(vault, markKey, token, true);
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

TokenManager::TokenManager(std::shared_ptr<KeychainVault> vault, QString vaultKey, BaseURLSource baseURL, Clock &clock)
    : m_vault(std::move(vault)),
      m_vaultKey(std::move(vaultKey)),
      m_baseURL(std::move(baseURL)),
      m_clock(clock),
      m_renewals(std::make_shared<TokenRenewals>())
{
}

TokenManager::TokenManager(KeychainVault &vault, QString vaultKey, BaseURLSource baseURL, Clock &clock)
    // Not owned: the caller keeps the vault.
    : TokenManager(std::shared_ptr<KeychainVault>(std::shared_ptr<void>(), &vault), std::move(vaultKey),
                   std::move(baseURL), clock)
{
}

QByteArray TokenManager::renewalMarkFor(const QString &token)
{
    return QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex();
}

bool TokenManager::markNames(const QByteArray &mark, const QString &token)
{
    return mark == renewalMarkFor(token) || mark == token.toUtf8();
}

QCoro::Task<bool> TokenManager::saveToken(QString token, QDateTime expiresAt)
{
    if (!expiresAt.isValid())
        co_return false; // nothing sensible to encode: dropped like any encoding failure
    const std::shared_ptr<KeychainVault> vault = m_vault;
    // Another sign-in's token: whatever mark the one it replaces had goes with it.
    auto writing = vault->applyStepAsync(
        [key = m_vaultKey, markKey = renewalMarkKey(m_vaultKey),
         encoded = TokenData{token, expiresAt}.encoded()](const EntryReader &) -> Changes {
            return {{key, encoded}, {markKey, std::nullopt}};
        });
    co_return co_await std::move(writing) == StepResult::stored;
}

QCoro::Task<std::optional<TokenData>> TokenManager::loadToken()
{
    auto reading = readRaw(m_vault, m_vaultKey);
    const RawToken raw = co_await std::move(reading);
    co_return raw.token;
}

QCoro::Task<TokenManager::StoredToken> TokenManager::readStoredToken()
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    auto seen = std::make_shared<KeychainVault::Entry>();
    auto reading = vault->applyStepAsync(
        [key = m_vaultKey, markKey = renewalMarkKey(m_vaultKey), seen](const EntryReader &read) -> Changes {
            *seen = read(key);
            const KeychainVault::Entry marked = read(markKey);
            if (seen->unreadable || !marked.value)
                return {};
            const std::optional<TokenData> token = seen->value ? TokenData::decode(*seen->value) : std::nullopt;
            // A mark that outlived its token (earlier versions left it with a sign-out or another
            // sign-in) names nothing that can be refused, and may hold a token still good.
            if (!token || !markNames(*marked.value, token->token))
                return {{markKey, std::nullopt}};
            const QByteArray digest = renewalMarkFor(token->token);
            if (*marked.value != digest)
                return {{markKey, digest}};
            return {};
        });
    co_await std::move(reading);
    co_return StoredToken{seen->value ? decodeRemembered(*seen->value) : std::nullopt, seen->unreadable};
}

QCoro::Task<> TokenManager::clearToken()
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    auto removing = vault->applyStepAsync(
        [key = m_vaultKey, markKey = renewalMarkKey(m_vaultKey)](const EntryReader &) -> Changes {
            return {{key, std::nullopt}, {markKey, std::nullopt}};
        });
    co_await std::move(removing);
}

QCoro::Task<bool> TokenManager::clearTokenIfStill(QString token)
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    auto removing = vault->applyStepAsync(
        [key = m_vaultKey, markKey = renewalMarkKey(m_vaultKey), token](const EntryReader &read) -> Changes {
            const KeychainVault::Entry stored = read(key);
            const std::optional<TokenData> decoded = stored.value ? TokenData::decode(*stored.value) : std::nullopt;
            if (!decoded || decoded->token != token)
                return {};
            return {{key, std::nullopt}, {markKey, std::nullopt}};
        });
    co_return co_await std::move(removing) != StepResult::unchanged;
}

QCoro::Task<std::optional<TokenData>> TokenManager::takeToken()
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    // Written on the vault's worker, read here once its call has returned.
    auto taken = std::make_shared<std::optional<TokenData>>();
    auto removing = vault->applyStepAsync(
        [key = m_vaultKey, markKey = renewalMarkKey(m_vaultKey), taken](const EntryReader &read) -> Changes {
            const KeychainVault::Entry stored = read(key);
            *taken = stored.value ? TokenData::decode(*stored.value) : std::nullopt;
            if (!*taken)
                return {};
            return {{key, std::nullopt}, {markKey, std::nullopt}};
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

QCoro::Task<LockedToken> lockAndRead(std::shared_ptr<KeychainVault> vault, QString key,
                                     std::shared_ptr<TokenRenewals> renewals, std::stop_token stop)
{
    auto locking = renewals->lock.lock();
    AsyncMutex::Lock held = co_await std::move(locking);
    if (stop.stop_requested())
        throw TransportError(TransportError::Code::cancelled);
    // The keyring has not answered a mark's write yet: the read below would wait behind it.
    if (renewals->markWriteOut)
        throw TokenManager::MarkNotStoredError(true);
    auto reading = readRaw(vault, key);
    RawToken stored = co_await std::move(reading);
    co_return LockedToken{std::move(held), std::move(stored)};
}

} // namespace

QCoro::Task<TokenData> TokenManager::refreshToken(std::stop_token stop)
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    const std::shared_ptr<TokenRenewals> renewals = m_renewals;
    Clock &clock = m_clock;
    const QString key = m_vaultKey;
    const BaseURLSource baseURL = m_baseURL;

    auto locking = lockAndRead(vault, key, renewals, stop);
    const LockedToken locked = co_await std::move(locking);
    if (!locked.stored.token)
        throw TokenError();
    auto renewal = renewLocked(vault, renewals, clock, key, renewalMarkKey(key), baseURL(), locked.stored.token->token,
                               locked.stored.entry.value, stop);
    const TokenData renewed = co_await std::move(renewal);
    co_return renewed;
}

QCoro::Task<bool> TokenManager::renewUnlessReplaced(std::optional<QString> seen, std::stop_token stop)
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    const std::shared_ptr<TokenRenewals> renewals = m_renewals;
    Clock &clock = m_clock;
    const QString key = m_vaultKey;
    const BaseURLSource baseURL = m_baseURL;

    auto locking = lockAndRead(vault, key, renewals, stop);
    const LockedToken locked = co_await std::move(locking);
    const RawToken &stored = locked.stored;
    const std::optional<QString> current = stored.token ? std::optional(stored.token->token) : std::nullopt;
    if (current != seen)
        co_return false; // renewed (or cleared) since the caller looked: its renewal is done
    if (!stored.token)
        throw TokenError();
    auto renewal = renewLocked(vault, renewals, clock, key, renewalMarkKey(key), baseURL(), stored.token->token,
                               stored.entry.value, stop);
    co_await std::move(renewal);
    co_return true;
}

QCoro::Task<bool> TokenManager::renewalWasCutOff(QString token)
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    const std::shared_ptr<TokenRenewals> renewals = m_renewals;
    const QString markKey = renewalMarkKey(m_vaultKey);
    // A renewal of this run still at the service has marked its token too, and its answer is
    // still to come (a refusal takes the mark back): the mark is read once no renewal runs, so
    // a revocation met meanwhile by another request is not taken for a cut-off renewal.
    auto locking = renewals->lock.lock();
    const AsyncMutex::Lock held = co_await std::move(locking);
    auto reading = vault->dataAsync(markKey);
    const std::optional<QByteArray> marked = co_await std::move(reading);
    co_return marked && markNames(*marked, token);
}

QCoro::Task<> TokenManager::keyringAnswered()
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    auto reading = vault->entryAsync(m_vaultKey);
    co_await std::move(reading);
}

int TokenManager::renewalsUnderWay()
{
    return renewalsRunning.load();
}

quint64 TokenManager::renewalTurns() const
{
    return m_renewals->turns;
}

bool TokenManager::showsTokenTaken(const HttpResponse &answer, const QUrl &serviceBase)
{
    return answer.status >= 200 && answer.status < 300 && !answer.leftOrigin && isSameOrigin(answer.url, serviceBase);
}

void TokenManager::noteTokenAnswered(const QString &token, const HttpResponse &answer, quint64 turns)
{
    // Only the service's acceptance shows that it did not retire the token: a gateway's 5xx,
    // a 408 or a 429 comes from whoever stood in front of it, and a 2xx from wherever a
    // redirect led was given without the token. A renewal under way at any time since the
    // request left may have reached the service after it: the answer then says nothing of
    // what that renewal did.
    if (!showsTokenTaken(answer, m_baseURL()) || turns % 2 != 0 || m_renewals->turns != turns
        || !m_renewals->markMayBeStored)
        return;
    // Not awaited: the removal is queued on the vault before this call returns, and the
    // answer does not wait for a keyring that is slow to run it.
    [[maybe_unused]] auto forgetting = forgetMark(token, turns);
}

QCoro::Task<> TokenManager::forgetMark(QString token, quint64 turns)
{
    const std::shared_ptr<KeychainVault> vault = m_vault;
    const std::shared_ptr<TokenRenewals> renewals = m_renewals;
    // Queued at once, before the caller goes on with the answer: a renewal that starts after
    // this marks its token behind the removal, and a keyring that holds the step holds nobody.
    auto found = std::make_shared<std::atomic<bool>>(true);
    auto unmarking = vault->applyStepAsync([markKey = renewalMarkKey(m_vaultKey), token, found](const EntryReader &read) -> Changes {
        const KeychainVault::Entry marked = read(markKey);
        *found = marked.value || marked.unreadable;
        if (!marked.value || !markNames(*marked.value, token))
            return {};
        return {{markKey, std::nullopt}};
    });
    co_await std::move(unmarking);
    // No mark was there, and no renewal began since to write one.
    if (!*found && renewals->turns == turns)
        renewals->markMayBeStored = false;
}

} // namespace quillmere
