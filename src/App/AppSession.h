#pragma once

#include "App/ShellStatus.h"
#include "Platform/Async/Clock.h"
#include "Platform/Async/TaskHandle.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>

namespace quillmere {

class AuthState;
class EngineActions;
class ModelContainer;
class ModelContext;
class NetworkMonitor;
class RunningApplications;
class SyncEngine;
struct StoreChanges;

// What the application does while it runs, between the sign-in state and the engine:
//
// - It follows the engine's status signal and the network's and the sign-in state's change
//   signals through one coalescing timer (observationDelay; nothing is polled) and publishes
//   one ShellStatus.
// - Each time the account becomes connected (a sign-in committed while connected counts as a
//   new connection) the engine gets a fresh model context, the account is confirmed (below),
//   the sync folders are hydrated once per run and the engine starts when a folder has a
//   location. Leaving connected stops the engine.
// - Confirming the account: the service names the account of the stored token. When it
//   differs from the one this computer's sync records belong to (LinkedAccount), they are
//   wiped before anything syncs, as are records kept with no account recorded when the
//   connection is a sign-in made in this run (nobody can say they are its account's; the
//   sign-in stored at the launch takes them up); when it cannot be learned (no whole-number
//   id), nothing is hydrated or started, and the question is asked again when the network
//   returns or after accountRetryInterval. Nothing is ever wiped on an unknown. A service that cannot be
//   reached is shown as such and asked again as the engine's hibernation does (120 s, doubling
//   up to 300 s), and at once when the network returns.
// - "quillmereAuthRevoked" (queued, never inside the transport's call) wipes local sync state
//   and signs out, once: from the wipe until the state leaves connected the account counts as
//   not connected and further notices are ignored. The sign-out takes the token stored when the
//   notice arrived, and does not happen when a sign-in was committed since. A refused token
//   whose renewal was sent and never heard back from (TokenManager::renewalWasCutOff) is no
//   revocation: it is signed out without the wipe, and the next sign-in is asked for.
// - The network coming back asks the sign-in state to repeat a start-up check that could not
//   reach the service; while that check waits, it is also repeated as the engine's
//   hibernation retries (120 s, doubling up to 300 s), so a service that comes back while
//   the network stays as it was is found without a restart.
//
// Main thread. Everything passed in outlives the session.
class AppSession : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds observationDelay{100};
    static constexpr Clock::Duration accountRetryInterval = std::chrono::seconds(60);

    static inline const QString wipeFailedProblem =
        QStringLiteral("The sync data of the account linked before could not be cleared, so syncing has not started.");

    AppSession(AuthState &auth, SyncEngine &engine, EngineActions &actions, NetworkMonitor &network,
               std::shared_ptr<ModelContainer> container, Clock &clock, RunningApplications *applications = nullptr,
               QObject *parent = nullptr);
    ~AppSession() override;

    // Starts following the sign-in state, the engine and the network, and observes
    // revocation. Called once, right after the event loop has started.
    void start();
    bool isStarted() const { return m_started; }
    // Quit: stops the engine and everything the session runs; nothing starts again.
    void shutDown();

    const ShellStatus &status() const { return m_status; }
    AuthState &authState() const { return m_auth; }
    SyncEngine &engine() const { return m_engine; }
    // From the revocation's wipe until the sign-in state leaves connected (or another sign-in
    // is committed).
    bool isUnlinking() const;
    // Counts the connections of this run (each becoming connected, each committed sign-in).
    quint64 connection() const { return m_connection; }
    // The model context of the current (or last) connection.
    const std::shared_ptr<ModelContext> &context() const { return m_context; }

    // The wipe of local sync state, for the account window's sign-in of another account and
    // for the sign-out: false when the engine cannot wipe (nothing changed but the stop).
    QCoro::Task<bool> wipeLocalSyncState();
    // A sign-in of the account window that asked for the wipe ended without committing: the
    // account still connected is confirmed, hydrated and started again, as a new connection.
    void resumeAfterAbandonedWipe();

    // The store holds sync folders or file records (of whichever account); true when it
    // cannot be read (the wipe decides).
    bool hasSyncRecords();

    // The menu's operations; each does nothing where canSyncNow / canTogglePause say no.
    void syncNow();
    void togglePause();

Q_SIGNALS:
    void statusChanged();

private:
    enum class AccountCheck { confirmed, unknown, unreachable, wipeFailed, cancelled };

    void scheduleObservation();
    void observe();
    void beginConnection();
    void endConnection();
    void networkReturned();
    void storeSaved(const StoreChanges &changes);
    void authRevoked();
    void runConnection();
    QCoro::Task<> connectionSteps(quint64 connection, std::stop_token stop);
    QCoro::Task<AccountCheck> confirmAccount(quint64 connection, std::stop_token stop);
    QCoro::Task<> retryLater(quint64 connection, Clock::Duration wait, std::stop_token stop);
    // Repeats the waiting start-up check on the hibernation's back-off for as long as it waits.
    void followStoredSignInWait();
    QCoro::Task<> recheckStoredSignIn(std::stop_token stop);
    QCoro::Task<> unlink(quint64 generation, std::stop_token stop);
    void refreshFolders();
    void startEngineIfConfigured();
    void ensureContext();
    void updateStatus();
    bool isCurrent(quint64 connection, const std::stop_token &stop) const;

    AuthState &m_auth;
    SyncEngine &m_engine;
    EngineActions &m_actions;
    NetworkMonitor &m_network;
    std::shared_ptr<ModelContainer> m_container;
    Clock &m_clock;
    QPointer<RunningApplications> m_applications;

    QTimer m_observation;
    bool m_started = false;
    bool m_shutDown = false;

    // The connection the session acts for; raised on every change into or out of connected.
    quint64 m_connection = 0;
    bool m_connected = false;
    quint64 m_signInGeneration = 0;
    std::shared_ptr<ModelContext> m_context;
    // The account is confirmed and hydration has run for this connection: the engine may start.
    bool m_ready = false;
    bool m_awaitingAccount = false;
    // The account check found the service unreachable; the wait before it asks again, seconds.
    bool m_unreachable = false;
    double m_unreachableWait = 120;
    std::optional<QString> m_problem;
    bool m_foldersChanged = false;
    bool m_hasFolders = false;
    int m_wipes = 0;
    TaskHandle m_connectTask;
    TaskHandle m_retryTask;
    // Runs while the stored sign-in waits for the service (see followStoredSignInWait).
    TaskHandle m_signInRecheckTask;

    bool m_unlinking = false;
    quint64 m_unlinkGeneration = 0;
    TaskHandle m_unlinkTask;

    ShellStatus m_status;
};

} // namespace quillmere
