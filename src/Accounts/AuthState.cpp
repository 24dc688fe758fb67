#include "Accounts/AuthState.h"

#include "Accounts/DeviceAuthClient.h"
#include "Platform/Http/TransportError.h"

#include <QPointer>

#include <algorithm>

namespace quillmere {

namespace {

const QString expiredMessage = QStringLiteral("Device code expired. Please try again.");
const QString invalidCodeMessage = QStringLiteral("Invalid device code. Please try again.");

// How the start-up refresh ended.
enum class RefreshOutcome { renewed, refused, noToken, unanswered, markNotStored, cancelled };

} // namespace

AuthState::AuthState(KeychainVault &vault, Clock &clock, ExternalURLOpener urlOpener,
                     TokenManager::BaseURLSource baseURL, QObject *parent)
    // Not owned: the caller keeps the vault.
    : AuthState(std::shared_ptr<KeychainVault>(std::shared_ptr<void>(), &vault), clock, std::move(urlOpener),
                std::move(baseURL), parent)
{
}

AuthState::AuthState(std::shared_ptr<KeychainVault> vault, Clock &clock, ExternalURLOpener urlOpener,
                     TokenManager::BaseURLSource baseURL, QObject *parent)
    : QObject(parent),
      m_tokens(std::make_shared<TokenManager>(std::move(vault), QStringLiteral("bearer-token"), std::move(baseURL), clock)),
      m_clock(clock),
      m_urlOpener(std::move(urlOpener))
{
    m_checkTask = TaskHandle::startSoon([this](std::stop_token stop) { return firstCheck(stop); });
}

AuthState::~AuthState() = default;

QCoro::Task<> AuthState::firstCheck(std::stop_token stop)
{
    QPointer<AuthState> self(this);
    auto checking = checkStoredToken(std::move(stop));
    co_await std::move(checking);
    if (!self)
        co_return;
    m_startupCheckDone = true;
    Q_EMIT startupCheckFinished();
}

void AuthState::setConnectionState(const ConnectionState &state)
{
    const bool changed = !(state == m_connectionState);
    m_connectionState = state;
    if (!state.is(ConnectionState::Kind::polling))
        cancelPolling();
    if (state.is(ConnectionState::Kind::connected))
        setLapsedSignIn(false);
    if (changed)
        Q_EMIT connectionStateChanged();
}

void AuthState::setLapsedSignIn(bool lapsed)
{
    if (lapsed == m_lapsedSignIn)
        return;
    m_lapsedSignIn = lapsed;
    Q_EMIT lapsedSignInChanged();
}

void AuthState::recordsChanged()
{
    if (m_lapsedSignIn)
        Q_EMIT lapsedSignInChanged();
}

void AuthState::setInMaintenanceMode(bool on)
{
    if (on == m_maintenance)
        return;
    m_maintenance = on;
    Q_EMIT maintenanceModeChanged();
}

void AuthState::setWaiting(bool forNetwork, bool forVault, const QString &cause)
{
    if (forNetwork == m_waitingForNetwork && forVault == m_waitingForVault && cause == m_waitingCause)
        return;
    m_waitingForNetwork = forNetwork;
    m_waitingForVault = forVault;
    m_waitingCause = cause;
    Q_EMIT waitingChanged();
}

void AuthState::cancelPolling()
{
    const bool wasRunning = m_pollingTask.isRunning();
    m_pollingTask = TaskHandle(); // requests stop; the loop ends at its next check
    if (wasRunning)
        Q_EMIT pollingTaskChanged();
}

QCoro::Task<> AuthState::checkStoredToken(std::stop_token stop)
{
    QPointer<AuthState> self(this);
    const std::shared_ptr<TokenManager> tokens = m_tokens;
    Clock &clock = m_clock;
    // A repeated check keeps the wait it repeats on the line until it knows better: a stored
    // sign-in never reads as "not linked" while it is asked about again.

    for (;;) {
        std::optional<TokenData> stored;
        for (;;) {
            // A read that takes long waits for the keyring (an unlock prompt): say so meanwhile.
            TaskHandle notice = TaskHandle::start(
                [self, &clock](std::stop_token noticeStop) { return noticeSlowVault(self, clock, noticeStop); });
            auto loading = tokens->readStoredToken();
            const TokenManager::StoredToken read = co_await std::move(loading);
            notice.cancel();
            if (!self || stop.stop_requested())
                co_return;
            if (!read.unreadable) {
                setWaiting(m_waitingForNetwork, false, m_waitingCause);
                stored = read.token;
                break;
            }
            // A locked keyring is no verdict on the token: stay disconnected, keep it, look again.
            // A sign-in that finished meanwhile has decided the state already.
            if (!m_connectionState.is(ConnectionState::Kind::disconnected)) {
                setWaiting(false, false);
                co_return;
            }
            setWaiting(false, true);
            auto sleeping = clock.sleepFor(vaultRetryInterval, stop);
            if (!co_await std::move(sleeping) || !self)
                co_return;
        }
        if (!stored) {
            setWaiting(false, false);
            co_return;
        }

        if (stored->expiresAt > clock.currentDateTime()) {
            setWaiting(false, false);
            setConnectionState(ConnectionState::connected());
            co_return;
        }

        RefreshOutcome outcome = RefreshOutcome::unanswered;
        QString cause;
        bool keyringSilent = false;
        try {
            auto refreshing = tokens->refreshToken(stop);
            co_await std::move(refreshing);
            outcome = RefreshOutcome::renewed;
        } catch (const DeviceAuthClient::DeviceAuthError &error) {
            if (error.isRefusal())
                outcome = RefreshOutcome::refused;
        } catch (const TokenManager::TokenError &) {
            outcome = RefreshOutcome::noToken;
        } catch (const TokenManager::MarkNotStoredError &error) {
            outcome = RefreshOutcome::markNotStored;
            keyringSilent = error.unanswered();
        } catch (const TransportError &error) {
            if (error.isCancellation())
                outcome = RefreshOutcome::cancelled;
            else if (error.isCertificateFailure())
                cause = QString::fromUtf8(error.what());
        } catch (const std::exception &) {
            // An unreadable answer is no verdict on the token either.
        }
        if (!self || stop.stop_requested() || outcome == RefreshOutcome::cancelled)
            co_return;

        if (outcome == RefreshOutcome::markNotStored) {
            // Nothing was sent: the keyring holds the check, not the service. It goes again once
            // the keyring has answered the write it holds, or, after a refused write, when the
            // vault is looked at again.
            setWaiting(false, true);
            if (keyringSilent) {
                auto answering = tokens->keyringAnswered();
                co_await std::move(answering);
            } else {
                auto sleeping = clock.sleepFor(vaultRetryInterval, stop);
                co_await std::move(sleeping);
            }
            if (!self || stop.stop_requested())
                co_return;
            if (!m_connectionState.is(ConnectionState::Kind::disconnected)) {
                setWaiting(false, false);
                co_return;
            }
            continue;
        }

        switch (outcome) {
        case RefreshOutcome::renewed:
            setWaiting(false, false);
            setConnectionState(ConnectionState::connected());
            break;
        case RefreshOutcome::refused: {
            setWaiting(false, false);
            // A sign-in that finished meanwhile may have stored a new token: only the refused one
            // goes, in one step in the vault.
            auto clearing = tokens->clearTokenIfStill(stored->token);
            co_await std::move(clearing);
            // Signed out with the records kept: the prompt says so, as after a sign-in that
            // lapsed while running.
            if (self && !stop.stop_requested() && m_connectionState.is(ConnectionState::Kind::disconnected)) {
                setConnectionState(ConnectionState::disconnected());
                setLapsedSignIn(true);
            }
            break;
        }
        case RefreshOutcome::unanswered:
            setWaiting(true, false, cause);
            break;
        case RefreshOutcome::noToken:
            setWaiting(false, false);
            break;
        case RefreshOutcome::markNotStored:
        case RefreshOutcome::cancelled:
            break;
        }
        co_return;
    }
}

QCoro::Task<> AuthState::noticeSlowVault(QPointer<AuthState> self, Clock &clock, std::stop_token stop)
{
    auto sleeping = clock.sleepFor(vaultAnswerLimit, stop);
    if (!co_await std::move(sleeping) || !self)
        co_return;
    if (self->m_connectionState.is(ConnectionState::Kind::disconnected))
        self->setWaiting(false, true);
}

void AuthState::checkAgain()
{
    if (!m_connectionState.is(ConnectionState::Kind::disconnected))
        return;
    // A check waiting for the vault sleeps until its next read: replacing it reads at once.
    if (!m_waitingForVault && (!m_waitingForNetwork || m_checkTask.isRunning()))
        return;
    m_checkTask = TaskHandle::start([this](std::stop_token stop) { return checkStoredToken(stop); });
}

void AuthState::networkBecameAvailable()
{
    checkAgain();
}

QCoro::Task<> AuthState::startDeviceFlow(std::stop_token stop)
{
    QPointer<AuthState> self(this);
    const std::shared_ptr<TokenManager> tokens = m_tokens;

    std::optional<DeviceAuthClient::DeviceCodeResponse> reply;
    QString failure;
    bool cancelled = false;
    try {
        auto requesting = DeviceAuthClient::requestDeviceCode(tokens->baseURL(), stop);
        reply = co_await std::move(requesting);
    } catch (const DeviceAuthClient::DeviceAuthError &error) {
        failure = error.message();
    } catch (const TransportError &error) {
        cancelled = error.isCancellation();
        failure = QString::fromUtf8(error.what());
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    // Another sign-in may have connected, or the user given up, while the request was out.
    if (!self || cancelled || stop.stop_requested() || !m_connectionState.is(ConnectionState::Kind::requestingCode))
        co_return;

    if (!reply) {
        setConnectionState(ConnectionState::error(failure));
        co_return;
    }
    setConnectionState(ConnectionState::polling(reply->userCode, reply->verificationUrl));
    startPolling(reply->deviceCode, reply->expiresIn);
}

void AuthState::beginDeviceLink()
{
    setConnectionState(ConnectionState::requestingCode());
    m_deviceFlowTask = TaskHandle::start([this](std::stop_token stop) { return startDeviceFlow(stop); });
}

void AuthState::startPolling(const QString &deviceCode, qint64 expiresIn)
{
    m_pollingTask = TaskHandle();
    TaskHandle started = TaskHandle::start(
        [this, deviceCode, expiresIn](std::stop_token stop) { return pollForApproval(deviceCode, expiresIn, stop); });
    m_pollingTask = std::move(started);
    Q_EMIT pollingTaskChanged();
}

QCoro::Task<> AuthState::pollForApproval(QString deviceCode, qint64 expiresIn, std::stop_token stop)
{
    QPointer<AuthState> self(this);
    const std::shared_ptr<TokenManager> tokens = m_tokens;
    Clock &clock = m_clock;
    const Clock::Duration deadline =
        clock.now() + std::chrono::seconds(std::clamp<qint64>(expiresIn, 0, maxDeviceCodeLifetimeSeconds));

    for (;;) {
        if (!self || stop.stop_requested())
            co_return;
        if (clock.now() > deadline) {
            setConnectionState(ConnectionState::error(expiredMessage));
            co_return;
        }

        std::optional<DeviceAuthClient::PollResult> result;
        try {
            auto polling = DeviceAuthClient::pollForToken(deviceCode, tokens->baseURL(), stop);
            result = co_await std::move(polling);
        } catch (...) {
            // A failed poll is never shown: the next one follows after the interval.
        }
        // An answer that arrives after a disconnect or a state change is dropped unread.
        if (!self || stop.stop_requested())
            co_return;

        if (result) {
            switch (result->kind) {
            case DeviceAuthClient::PollResult::Kind::approved: {
                auto saving = tokens->saveToken(result->token->token, result->token->expiresAt);
                co_await std::move(saving);
                // A disconnect during the save queues its clear behind it in the vault.
                if (!self || stop.stop_requested())
                    co_return;
                // Where the account is served goes with its token, never before it.
                result->home.store();
                ++m_signInGeneration;
                setConnectionState(ConnectionState::connected());
                co_return;
            }
            case DeviceAuthClient::PollResult::Kind::pending:
                break;
            case DeviceAuthClient::PollResult::Kind::expired:
                setConnectionState(ConnectionState::error(expiredMessage));
                co_return;
            case DeviceAuthClient::PollResult::Kind::invalidCode:
                setConnectionState(ConnectionState::error(invalidCodeMessage));
                co_return;
            }
        }

        auto sleeping = clock.sleepFor(pollInterval, stop);
        if (!co_await std::move(sleeping))
            co_return;
    }
}

void AuthState::disconnect()
{
    cancelPolling();
    m_deviceFlowTask.cancel();
    m_checkTask.cancel();
    setWaiting(false, false);
    std::erase_if(m_disconnectTasks, [](const TaskHandle &task) { return !task.isRunning(); });
    const quint64 generation = m_signInGeneration;
    m_disconnectTasks.push_back(TaskHandle::start(
        [this, generation](std::stop_token stop) { return finishDisconnect(generation, std::nullopt, false, stop); }));
}

void AuthState::disconnectRefused(std::optional<QString> token, quint64 generation, bool lapsed)
{
    if (generation != m_signInGeneration)
        return;
    cancelPolling();
    m_deviceFlowTask.cancel();
    m_checkTask.cancel();
    setWaiting(false, false);
    std::erase_if(m_disconnectTasks, [](const TaskHandle &task) { return !task.isRunning(); });
    m_disconnectTasks.push_back(TaskHandle::start([this, generation, token, lapsed](std::stop_token stop) {
        return finishDisconnect(generation, std::optional(token), lapsed, stop);
    }));
}

void AuthState::stopDeviceLink()
{
    m_deviceFlowTask.cancel();
    cancelPolling();
    if (m_connectionState.is(ConnectionState::Kind::requestingCode) || m_connectionState.is(ConnectionState::Kind::polling))
        setConnectionState(ConnectionState::disconnected());
}

void AuthState::commitSignIn()
{
    ++m_signInGeneration;
    setConnectionState(ConnectionState::connected());
    Q_EMIT signInCommitted();
}

QCoro::Task<> AuthState::finishDisconnect(quint64 generation, std::optional<std::optional<QString>> known,
                                          bool lapsed, std::stop_token stop)
{
    QPointer<AuthState> self(this);
    const std::shared_ptr<TokenManager> tokens = m_tokens;

    // Cleared before the service is told, so that a quit while the sign-out is out (which stops
    // it) still leaves no token to sign in with at the next launch. Only this session's token
    // goes: one a sign-in saves later stays.
    std::optional<QString> token;
    if (known) {
        token = *known;
        if (token) {
            auto clearing = tokens->clearTokenIfStill(*token);
            co_await std::move(clearing);
        }
    } else {
        // Read and removed in one step: a renewal answered between a read and a removal would
        // leave its live token stored.
        auto taking = tokens->takeToken();
        const std::optional<TokenData> taken = co_await std::move(taking);
        if (taken)
            token = taken->token;
    }
    // Signed out once the token is gone, not once the service has heard of it. A sign-in
    // committed since the sign-out began decided the state after it.
    if (self && m_signInGeneration == generation) {
        // Said with the sign-out, so the prompt that follows it tells why and what was kept.
        setLapsedSignIn(lapsed);
        setConnectionState(ConnectionState::disconnected());
        setInMaintenanceMode(false);
    }
    if (token) {
        auto revoking = DeviceAuthClient::revokeToken(*token, tokens->baseURL(), stop);
        co_await std::move(revoking);
    }
}

QCoro::Task<std::optional<QString>> AuthState::currentToken()
{
    const std::shared_ptr<TokenManager> tokens = m_tokens;
    Clock &clock = m_clock;
    auto loading = tokens->loadToken();
    const std::optional<TokenData> stored = co_await std::move(loading);
    if (!stored || !(stored->expiresAt > clock.currentDateTime()))
        co_return std::nullopt;
    co_return stored->token;
}

bool AuthState::openVerificationURL(const QString &url) const
{
    return m_urlOpener.open(url);
}

} // namespace quillmere
