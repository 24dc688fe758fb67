#pragma once

#include "Accounts/APIConfig.h"
#include "Accounts/ConnectionState.h"
#include "Accounts/TokenManager.h"
#include "Platform/Async/Clock.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/Browser/ExternalURLOpener.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace quillmere {

class KeychainVault;

// The application's one sign-in state: the start-up token check, the device link and the
// disconnect. Main thread only. The clock, and a vault given by reference, must outlive it; its
// tasks hold it weakly and end quietly once it is gone.
class AuthState : public QObject
{
    Q_OBJECT
    Q_PROPERTY(quillmere::ConnectionState connectionState READ connectionState WRITE setConnectionState NOTIFY
                   connectionStateChanged)
    Q_PROPERTY(bool isInMaintenanceMode READ isInMaintenanceMode WRITE setInMaintenanceMode NOTIFY
                   maintenanceModeChanged)
    Q_PROPERTY(bool hasPollingTask READ hasPollingTask NOTIFY pollingTaskChanged)

public:
    static constexpr Clock::Duration pollInterval = std::chrono::seconds(5);
    // How often the start-up check reads the vault again while it cannot be read (a keyring
    // locked at login is unlocked by the user some time later).
    static constexpr Clock::Duration vaultRetryInterval = std::chrono::seconds(30);
    // How long the start-up check waits for the vault before it says that it waits for the
    // keyring (an unlock prompt nobody answers holds the read); the read goes on meanwhile.
    static constexpr Clock::Duration vaultAnswerLimit = TokenManager::vaultAnswerLimit;
    // The longest device-code lifetime taken from the service; a larger "expires_in" would
    // overflow the clock's nanoseconds.
    static constexpr qint64 maxDeviceCodeLifetimeSeconds = 24 * 3600;

    // Starts the start-up token check on the next turn of the event loop, so that whatever the
    // shell does first (the local-state wipe) comes before it.
    AuthState(KeychainVault &vault, Clock &clock, ExternalURLOpener urlOpener,
              TokenManager::BaseURLSource baseURL = &APIConfig::baseURL, QObject *parent = nullptr);
    // Shares the vault with its token manager: a sign-out or a renewal that resumes after the
    // vault's owner let it go still finds it.
    AuthState(std::shared_ptr<KeychainVault> vault, Clock &clock, ExternalURLOpener urlOpener,
              TokenManager::BaseURLSource baseURL = &APIConfig::baseURL, QObject *parent = nullptr);
    ~AuthState() override;

    const ConnectionState &connectionState() const { return m_connectionState; }
    // Any value but polling also stops the poll loop, even when the value is unchanged.
    void setConnectionState(const ConnectionState &state);
    bool isInMaintenanceMode() const { return m_maintenance; }
    void setInMaintenanceMode(bool on);
    bool hasPollingTask() const { return m_pollingTask.isRunning(); }
    // True after a start-up check whose refresh got no usable answer; checkAgain() (which the
    // network's return and the shell's back-off call) repeats it. Stays true while the repeated
    // check runs: only its outcome changes it.
    bool isWaitingForNetwork() const { return m_waitingForNetwork; }
    // True while the start-up check cannot read the vault, or its read has waited longer than
    // vaultAnswerLimit: it reads again every vaultRetryInterval, and at once on
    // networkBecameAvailable(). The token stays stored.
    bool isWaitingForVault() const { return m_waitingForVault; }
    // While waiting for the network: why the last renewal of the start-up check got no answer
    // when the failure names a cause the user can act on (the server's certificate refused);
    // empty otherwise. Kept while a repeated check runs, replaced by its outcome.
    const QString &waitingCause() const { return m_waitingCause; }
    // A start-up check (the first or a repeated one) is under way.
    bool isCheckingStoredSignIn() const { return m_checkTask.isRunning(); }
    // The last sign-out ended a sign-in that lapsed rather than one the service ended (its
    // renewal was never heard back from, so the refusal said nothing of the account, or the
    // start-up check's renewal was refused), and this computer's folders and sync records were
    // not wiped for it. Until a sign-in connects, or a sign-out of another kind.
    bool hasLapsedSignIn() const { return m_lapsedSignIn; }
    // Whether a sign-in of the lapsed account keeps this computer's records: they are there
    // and the account they were synced with is known (the shell's check, set with
    // setRecordsKeptCheck; false without one). False when no sign-in lapsed.
    bool lapsedSignInKeepsRecords() const { return m_lapsedSignIn && m_recordsKept && m_recordsKept(); }
    void setRecordsKeptCheck(std::function<bool()> check) { m_recordsKept = std::move(check); }
    // The records changed (a wipe): lapsedSignInChanged() while a lapsed sign-in is shown.
    void recordsChanged();

    TokenManager &tokenManager() { return *m_tokens; }
    // For the service's client: one manager per token, so that its renewals and this state's
    // take turns, and a renewal's mark is judged only once no renewal of the token is under way.
    std::shared_ptr<TokenManager> sharedTokenManager() const { return m_tokens; }
    // The check the constructor starts has ended (connected, nothing stored, waiting, or
    // stopped by a sign-out): until then a stored sign-in may still connect.
    bool hasFinishedStartupCheck() const { return m_startupCheckDone; }

    // The start-up token check; the constructor runs it once.
    QCoro::Task<> checkStoredToken(std::stop_token stop = {});
    // Asks for a device code and starts polling. Callers set requestingCode first; the answer
    // is applied only while the state still is requestingCode.
    QCoro::Task<> startDeviceFlow(std::stop_token stop = {});
    // requestingCode, then startDeviceFlow() in a task this object owns.
    void beginDeviceLink();
    void startPolling(const QString &deviceCode, qint64 expiresIn);
    QCoro::Task<> pollForApproval(QString deviceCode, qint64 expiresIn, std::stop_token stop);
    // Stops the poll loop at once; in a task, takes the stored token out of the vault (read and
    // removed in one step, so a renewal's answer stored meanwhile goes too), sets disconnected,
    // then revokes the token at the service. A token a sign-in saves after the call stays, a
    // vault that cannot be read keeps its token, and the state is left alone when a sign-in was
    // committed after the call.
    void disconnect();
    // The sign-out after the service refused `token` (the one stored when the refusal came;
    // nullopt: none was). Nothing happens when a sign-in was committed after `generation`;
    // otherwise as disconnect(), with that token revoked and cleared and no other. `lapsed`:
    // the sign-in lapsed with the records kept (hasLapsedSignIn() from the disconnected state on).
    void disconnectRefused(std::optional<QString> token, quint64 generation, bool lapsed = false);
    // Ends a device link in progress (the code request and the poll loop) before another
    // sign-in saves its token, so the link cannot store its token afterwards: a link that was
    // requesting a code or polling shows disconnected. Other states stay as they are.
    void stopDeviceLink();
    // A sign-in made elsewhere (the account window) whose token is saved: connected, and
    // signInCommitted() even when the state already was connected.
    void commitSignIn();
    // Counts the sign-ins committed in this run (device link and commitSignIn), so that work
    // started before one can tell that its answer is stale.
    quint64 signInGeneration() const { return m_signInGeneration; }
    // The stored token while it has not expired; never refreshes it.
    QCoro::Task<std::optional<QString>> currentToken();
    // Opens the device-link page the service named; throws ExternalURLOpener::RefusedURLError
    // when the address is not a secure web page.
    bool openVerificationURL(const QString &url) const;

    // Repeats a start-up check that could not reach the service or read the vault, unless one
    // runs already; does nothing otherwise. The wait shown stays until the check decides.
    void checkAgain();

public Q_SLOTS:
    // checkAgain(): another network may reach the service.
    void networkBecameAvailable();

Q_SIGNALS:
    void connectionStateChanged();
    void maintenanceModeChanged();
    void pollingTaskChanged();
    // A sign-in was committed (see commitSignIn); the account may differ from the one before.
    void signInCommitted();
    // isWaitingForNetwork(), isWaitingForVault() or waitingCause() changed.
    void waitingChanged();
    // hasFinishedStartupCheck() became true.
    void startupCheckFinished();
    void lapsedSignInChanged();

private:
    void cancelPolling();
    QCoro::Task<> firstCheck(std::stop_token stop);
    void setWaiting(bool forNetwork, bool forVault, const QString &cause = QString());
    void setLapsedSignIn(bool lapsed);
    // After vaultAnswerLimit, unless stopped first: waiting for the vault, while still disconnected.
    static QCoro::Task<> noticeSlowVault(QPointer<AuthState> self, Clock &clock, std::stop_token stop);
    // `known`: the token to revoke and clear, as found earlier; absent: the one stored now.
    QCoro::Task<> finishDisconnect(quint64 generation, std::optional<std::optional<QString>> known, bool lapsed,
                                   std::stop_token stop);

    std::shared_ptr<TokenManager> m_tokens;
    Clock &m_clock;
    ExternalURLOpener m_urlOpener;
    ConnectionState m_connectionState;
    bool m_maintenance = false;
    bool m_waitingForNetwork = false;
    bool m_waitingForVault = false;
    QString m_waitingCause;
    bool m_lapsedSignIn = false;
    std::function<bool()> m_recordsKept;
    bool m_startupCheckDone = false;
    quint64 m_signInGeneration = 0;
    TaskHandle m_checkTask;
    TaskHandle m_deviceFlowTask;
    TaskHandle m_pollingTask;
    std::vector<TaskHandle> m_disconnectTasks;
};

} // namespace quillmere
