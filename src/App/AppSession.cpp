#include "App/AppSession.h"

#include "Accounts/AuthState.h"
#include "Accounts/LinkedAccount.h"
#include "ActivityLog/SyncLogger.h"
#include "App/EngineActions.h"
#include "Engine/DAWLivenessReporter.h"
#include "Engine/NetworkMonitor.h"
#include "Engine/SyncEngine.h"
#include "Model/ModelContainer.h"
#include "Model/ModelContext.h"
#include "Model/StoreError.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Platform/Notifications/NotificationCenter.h"
#include "Platform/Workspace/RunningApplications.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/HarborlyAPIError.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "ServiceAPI/ServiceReachability.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cmath>

namespace quillmere {

namespace {

Q_LOGGING_CATEGORY(appSessionLog, "app.quillmere.Quillmere.AppSession")

} // namespace

AppSession::AppSession(AuthState &auth, SyncEngine &engine, EngineActions &actions, NetworkMonitor &network,
                       std::shared_ptr<ModelContainer> container, Clock &clock, RunningApplications *applications,
                       QObject *parent)
    : QObject(parent),
      m_auth(auth),
      m_engine(engine),
      m_actions(actions),
      m_network(network),
      m_container(std::move(container)),
      m_clock(clock),
      m_applications(applications)
{
    m_observation.setSingleShot(true);
    m_observation.setInterval(observationDelay);
    QObject::connect(&m_observation, &QTimer::timeout, this, &AppSession::observe);
}

AppSession::~AppSession() = default;

void AppSession::start()
{
    if (m_started || m_shutDown)
        return;
    m_started = true;

    for (auto changed : {&AuthState::connectionStateChanged, &AuthState::waitingChanged, &AuthState::signInCommitted})
        QObject::connect(&m_auth, changed, this, &AppSession::scheduleObservation);
    QObject::connect(&m_engine, &SyncEngine::statusChanged, this, &AppSession::scheduleObservation);
    QObject::connect(&m_network, &NetworkMonitor::isConnectedChanged, this, &AppSession::scheduleObservation);
    QObject::connect(&m_auth, &AuthState::maintenanceModeChanged, this, &AppSession::scheduleObservation);
    QObject::connect(&m_network, &NetworkMonitor::networkBecameAvailable, this, &AppSession::networkReturned);
    // Back, or on another kind of link: what failed on the old connection is tried again.
    QObject::connect(&m_network, &NetworkMonitor::networkBecameAvailable, &m_engine, &SyncEngine::handleNetworkChange);
    QObject::connect(&m_network, &NetworkMonitor::connectionTypeChanged, &m_engine, [this] {
        if (m_network.isConnected())
            m_engine.handleNetworkChange();
    });
    QObject::connect(m_container.get(), &ModelContainer::saved, this, &AppSession::storeSaved);
    // Queued: the transport posts from inside its own call, which must not wipe under it.
    NotificationCenter::defaultCenter().observe(
        NotificationName::quillmereAuthRevoked(), this, [this] { authRevoked(); },
        NotificationCenter::Delivery::mainQueue);

    // A lapsed sign-in's notice promises the records only while a sign-in of their account
    // would keep them (see confirmAccount).
    m_auth.setRecordsKeptCheck([self = QPointer<AppSession>(this)] {
        return self && !self->m_shutDown && LinkedAccount::id() && self->hasSyncRecords();
    });

    // The sign-in state may have settled before the loop started (it never has, but the first
    // look must not wait for a change).
    observe();
}

void AppSession::shutDown()
{
    m_shutDown = true;
    m_observation.stop();
    m_connectTask = TaskHandle();
    m_retryTask = TaskHandle();
    m_signInRecheckTask = TaskHandle();
    m_unlinkTask = TaskHandle();
    m_engine.stop();
    if (m_applications)
        m_applications->stop();
}

bool AppSession::isUnlinking() const
{
    return m_unlinking && m_auth.connectionState().is(ConnectionState::Kind::connected)
        && m_auth.signInGeneration() == m_unlinkGeneration;
}

void AppSession::scheduleObservation()
{
    // One pending look at a time: a burst of changes is seen once, at most a delay late.
    if (!m_shutDown && !m_observation.isActive())
        m_observation.start();
}

void AppSession::observe()
{
    if (m_shutDown)
        return;
    if (m_unlinking && !isUnlinking())
        m_unlinking = false;
    const bool connected = m_auth.connectionState().is(ConnectionState::Kind::connected) && !m_unlinking;
    if (connected) {
        if (!m_connected || m_auth.signInGeneration() != m_signInGeneration)
            beginConnection();
        else if (m_foldersChanged && m_ready) {
            m_foldersChanged = false;
            refreshFolders();
            startEngineIfConfigured();
        }
    } else if (m_connected) {
        endConnection();
    }
    followStoredSignInWait();
    updateStatus();
}

void AppSession::followStoredSignInWait()
{
    const bool waiting = !m_auth.connectionState().is(ConnectionState::Kind::connected) && m_auth.isWaitingForNetwork();
    if (!waiting) {
        // Connected, signed out, or waiting for the keyring (which the check reads again itself).
        m_signInRecheckTask = TaskHandle();
        return;
    }
    if (!m_signInRecheckTask.isRunning())
        m_signInRecheckTask = TaskHandle::start([this](std::stop_token stop) { return recheckStoredSignIn(stop); });
}

QCoro::Task<> AppSession::recheckStoredSignIn(std::stop_token stop)
{
    QPointer<AppSession> self(this);
    Clock &clock = m_clock;
    // As the engine hibernates: the first wait is the initial interval, each further one twice
    // the last, up to the maximum. The check keeps the wait shown while it runs, so this loop
    // goes on until its outcome ends the wait.
    double wait = SyncEngine::initialHibernationInterval;
    for (;;) {
        qCInfo(appSessionLog) << "The stored sign-in waits for Harborly: checked again in" << wait << "s";
        auto sleeping =
            clock.sleepFor(std::chrono::duration_cast<Clock::Duration>(std::chrono::duration<double>(wait)), stop);
        if (!co_await std::move(sleeping) || !self || m_shutDown)
            co_return;
        m_auth.checkAgain();
        wait = std::min(wait * 2, SyncEngine::maximumHibernationInterval);
    }
}

void AppSession::beginConnection()
{
    ++m_connection;
    m_connected = true;
    m_signInGeneration = m_auth.signInGeneration();
    m_ready = false;
    m_awaitingAccount = false;
    m_problem.reset();
    m_foldersChanged = false;
    m_retryTask = TaskHandle();
    // A sign-in committed while connected may be another account's: the engine runs again
    // only after that account is confirmed.
    m_engine.stop();
    m_context = std::make_shared<ModelContext>(m_container);
    m_engine.setStoredModelContext(m_context);
    refreshFolders();
    if (m_applications)
        m_applications->start();
    runConnection();
}

void AppSession::endConnection()
{
    ++m_connection;
    m_connected = false;
    m_ready = false;
    m_awaitingAccount = false;
    m_unreachable = false;
    m_unreachableWait = SyncEngine::initialHibernationInterval;
    m_problem.reset();
    m_connectTask = TaskHandle();
    m_retryTask = TaskHandle();
    m_engine.stop();
    if (m_applications)
        m_applications->stop();
}

void AppSession::runConnection()
{
    const quint64 connection = m_connection;
    m_connectTask =
        TaskHandle::start([this, connection](std::stop_token stop) { return connectionSteps(connection, stop); });
}

bool AppSession::isCurrent(quint64 connection, const std::stop_token &stop) const
{
    return !stop.stop_requested() && !m_shutDown && connection == m_connection && m_connected;
}

QCoro::Task<> AppSession::connectionSteps(quint64 connection, std::stop_token stop)
{
    QPointer<AppSession> self(this);
    auto confirming = confirmAccount(connection, stop);
    const AccountCheck check = co_await std::move(confirming);
    if (!self || !isCurrent(connection, stop) || check == AccountCheck::cancelled)
        co_return;
    m_awaitingAccount = check == AccountCheck::unknown;
    m_problem.reset();
    if (check == AccountCheck::wipeFailed)
        m_problem = wipeFailedProblem;
    Clock::Duration retry = accountRetryInterval;
    if (check == AccountCheck::unreachable) {
        // As the engine hibernates when hydration finds the service gone: the first wait is
        // the initial interval, each further one twice the last, up to the maximum.
        m_unreachableWait = m_unreachable
            ? std::min(m_unreachableWait * 2, SyncEngine::maximumHibernationInterval)
            : SyncEngine::initialHibernationInterval;
        m_unreachable = true;
        SyncLogger::shared().log(SyncLogger::Event::syncStarted, SyncLogger::Direction::none, QString(),
                                 QStringLiteral("Server unreachable — hibernating for %1s before retry")
                                     .arg(qint64(std::llround(m_unreachableWait))));
        retry = std::chrono::duration_cast<Clock::Duration>(std::chrono::duration<double>(m_unreachableWait));
    } else if (m_unreachable) {
        m_unreachable = false;
        m_unreachableWait = SyncEngine::initialHibernationInterval;
        SyncLogger::shared().log(SyncLogger::Event::syncStarted, SyncLogger::Direction::none, QString(),
                                 QStringLiteral("Server recovered — resuming sync"));
    }
    if (check != AccountCheck::confirmed) {
        updateStatus();
        m_retryTask = TaskHandle::start(
            [this, connection, retry](std::stop_token stop) { return retryLater(connection, retry, stop); });
        co_return;
    }

    if (m_actions.canHydrate()) {
        auto hydrating = m_actions.hydrateSyncFolders();
        co_await std::move(hydrating);
        if (!self || !isCurrent(connection, stop))
            co_return;
    }
    m_ready = true;
    refreshFolders();
    startEngineIfConfigured();
    updateStatus();
}

QCoro::Task<AppSession::AccountCheck> AppSession::confirmAccount(quint64 connection, std::stop_token stop)
{
    QPointer<AppSession> self(this);
    const std::shared_ptr<LibraryAPIClient> client = m_engine.apiClient();
    const std::optional<qint64> linked = LinkedAccount::id();

    // Through the authorised transport: a token the service refuses for good signs out
    // (revocation), one it cannot renew now leaves the question open.
    std::optional<qint64> account;
    bool unreachable = false;
    try {
        auto asking = client->fetchAccount(stop);
        account = LinkedAccount::known((co_await std::move(asking)).id);
        if (!account)
            qCInfo(appSessionLog) << "The service named no account for the stored sign-in";
    } catch (const HarborlyAPIError &error) {
        if (!error.isCancellation()) {
            qCInfo(appSessionLog) << "The linked account could not be confirmed:" << error.what();
            unreachable = SyncEngine::isServerUnreachable(std::current_exception());
        }
    } catch (const std::exception &error) {
        qCInfo(appSessionLog) << "The linked account could not be confirmed:" << error.what();
    }
    if (!self || !isCurrent(connection, stop))
        co_return AccountCheck::cancelled;

    if (unreachable)
        co_return AccountCheck::unreachable;
    if (!account) {
        // Records of an account nobody can name now stay, and nothing syncs over them. Nothing
        // is hydrated either: folders added now would pass for the next account's.
        co_return AccountCheck::unknown;
    }
    // Records kept with no account recorded (a sign-out that spared them before any account
    // was recorded) may be anybody's: only a sign-in that names their account could keep them,
    // and none can, so a sign-in made since the launch wipes them before it syncs. The sign-in
    // stored at the launch is the one they were synced with: it takes them up.
    const bool unowned = !linked && m_signInGeneration > 0 && hasSyncRecords();
    if (unowned)
        qCInfo(appSessionLog) << "This computer's sync records name no account: they are wiped before the sign-in syncs";
    if ((linked && *linked != *account) || unowned) {
        if (linked)
            qCInfo(appSessionLog) << "Another account is linked than the one this computer's sync records belong to";
        auto wiping = wipeLocalSyncState();
        const bool wiped = co_await std::move(wiping);
        if (!self || !isCurrent(connection, stop))
            co_return AccountCheck::cancelled;
        if (!wiped)
            co_return AccountCheck::wipeFailed;
    }
    if (linked != account)
        LinkedAccount::setID(*account);
    co_return AccountCheck::confirmed;
}

QCoro::Task<> AppSession::retryLater(quint64 connection, Clock::Duration wait, std::stop_token stop)
{
    QPointer<AppSession> self(this);
    auto sleeping = m_clock.sleepFor(wait, stop);
    if (!co_await std::move(sleeping) || !self || !isCurrent(connection, stop) || m_ready)
        co_return;
    runConnection();
}

void AppSession::networkReturned()
{
    if (m_shutDown)
        return;
    m_auth.networkBecameAvailable();
    if (!m_connected)
        return;
    if (!m_ready) {
        if (!m_connectTask.isRunning())
            runConnection();
        return;
    }
    // A hydration that failed other than by an unreachable service (which hibernates and
    // retries itself) is tried again now.
    if (!m_engine.hasHydratedThisSession() && !m_engine.isHibernating() && !m_connectTask.isRunning()) {
        m_ready = false;
        runConnection();
    }
}

void AppSession::storeSaved(const StoreChanges &changes)
{
    auto isFolder = [](const StoreChanges::Entry &entry) { return entry.type == QLatin1String("SyncFolder"); };
    if (std::any_of(changes.inserted.begin(), changes.inserted.end(), isFolder)
        || std::any_of(changes.changed.begin(), changes.changed.end(), isFolder)
        || std::any_of(changes.deleted.begin(), changes.deleted.end(), isFolder)) {
        m_foldersChanged = true;
        scheduleObservation();
    }
}

void AppSession::authRevoked()
{
    if (m_shutDown || m_unlinking || !m_auth.connectionState().is(ConnectionState::Kind::connected))
        return;
    m_unlinking = true;
    m_unlinkGeneration = m_auth.signInGeneration();
    const quint64 generation = m_unlinkGeneration;
    m_unlinkTask = TaskHandle::start([this, generation](std::stop_token stop) { return unlink(generation, stop); });
    scheduleObservation();
}

QCoro::Task<> AppSession::unlink(quint64 generation, std::stop_token stop)
{
    QPointer<AppSession> self(this);
    // The refused token is the one stored as the notice arrives: this read is queued in the
    // vault before any save a later sign-in makes, so the sign-out never takes a newer token.
    auto reading = m_auth.tokenManager().loadToken();
    const std::optional<TokenData> refused = co_await std::move(reading);
    if (!self || stop.stop_requested() || m_shutDown)
        co_return;
    // A renewal sent and never heard back from (the last run ended first) may have retired this
    // token at the service: its refusal then says nothing of the account, whose records stay for its next
    // sign-in (another account's sign-in wipes them first).
    bool cutOff = false;
    if (refused) {
        auto asking = m_auth.tokenManager().renewalWasCutOff(refused->token);
        cutOff = co_await std::move(asking);
        if (!self || stop.stop_requested() || m_shutDown)
            co_return;
    }
    if (cutOff) {
        qCInfo(appSessionLog) << "A sign-in whose renewal was never heard back from is refused: signed out, records kept";
        SyncLogger::shared().log(SyncLogger::Event::disconnected, SyncLogger::Direction::none, QString(),
                                 QStringLiteral("The sign-in could not be renewed; sign in again to go on syncing"));
    } else {
        qCInfo(appSessionLog) << "The service revoked the sign-in: local sync state is wiped and the account unlinked";
        SyncLogger::shared().log(SyncLogger::Event::disconnected, SyncLogger::Direction::none, QString(),
                                 QStringLiteral("Harborly ended the sign-in; this computer was unlinked"));
        auto wiping = wipeLocalSyncState();
        co_await std::move(wiping);
        if (!self || stop.stop_requested() || m_shutDown)
            co_return;
    }
    // A sign-in committed during the wipe is not the one the service refused.
    if (m_auth.signInGeneration() != generation) {
        qCInfo(appSessionLog) << "A sign-in was committed while the revoked one was wiped: it stays";
        co_return;
    }
    m_auth.disconnectRefused(refused ? std::optional(refused->token) : std::nullopt, generation, cutOff);
}

QCoro::Task<bool> AppSession::wipeLocalSyncState()
{
    QPointer<AppSession> self(this);
    if (!m_actions.canWipe()) {
        m_engine.stop();
        co_return false;
    }
    ensureContext();
    // While the wipe runs no look at the store starts the engine over folders about to go.
    ++m_wipes;
    m_ready = false;
    auto wiping = m_actions.wipeLocalState();
    co_await std::move(wiping);
    if (!self)
        co_return true;
    --m_wipes;
    m_hasFolders = false;
    m_auth.recordsChanged();
    updateStatus();
    co_return true;
}

void AppSession::resumeAfterAbandonedWipe()
{
    if (m_shutDown || !m_connected || m_unlinking)
        return;
    beginConnection();
    updateStatus();
}

void AppSession::ensureContext()
{
    if (m_engine.storedModelContext())
        return;
    if (!m_context)
        m_context = std::make_shared<ModelContext>(m_container);
    m_engine.setStoredModelContext(m_context);
}

bool AppSession::hasSyncRecords()
{
    // Read without handing the engine a context: this may be asked while nothing is connected.
    std::shared_ptr<ModelContext> context = m_engine.storedModelContext();
    if (!context)
        context = std::make_shared<ModelContext>(m_container);
    try {
        return !context->fetch(FetchDescriptor<SyncFolder>().limitTo(1)).empty()
            || !context->fetch(FetchDescriptor<SyncFile>().limitTo(1)).empty();
    } catch (const StoreError &error) {
        // A store that cannot be read may hold them: the wipe decides.
        qCWarning(appSessionLog) << "The sync records could not be read:" << error.what();
        return true;
    }
}

void AppSession::refreshFolders()
{
    m_hasFolders = m_engine.hasConfiguredFolders();
}

void AppSession::startEngineIfConfigured()
{
    if (!m_ready || m_wipes > 0 || !m_connected || m_engine.isHibernating() || !m_engine.lanes().empty()
        || !m_hasFolders)
        return;
    m_engine.start();
}

void AppSession::updateStatus()
{
    ShellStatus status;
    status.connected = m_connected;
    status.networkAvailable = m_network.isConnected();
    status.waitingForNetwork = m_auth.isWaitingForNetwork();
    status.waitingForVault = m_auth.isWaitingForVault();
    if (status.waitingForNetwork)
        status.waitingCause = m_auth.waitingCause();
    status.awaitingAccount = m_connected && m_awaitingAccount;
    if (m_connected)
        status.sessionProblem = m_problem;
    // The account check that finds the service gone hibernates as the engine does.
    const bool unreachable = m_connected && m_unreachable;
    status.hibernating = m_engine.isHibernating() || unreachable;
    status.hibernationInterval = unreachable ? m_unreachableWait : m_engine.hibernationInterval();
    status.storageFull = m_engine.isStorageFull();
    status.paused = m_engine.isPaused();
    status.engineState = m_engine.syncState();
    status.hasLanes = !m_engine.lanes().empty();
    status.hasFolders = status.hasLanes || m_hasFolders;
    status.filesPending = m_engine.filesPending();
    status.filesSyncing = m_engine.filesSyncing();
    status.filesInError = m_engine.filesInError();
    status.conflictsToReview = m_engine.conflictsToReview();
    status.currentFileName = m_engine.currentFileName();
    status.lastSyncAt = m_engine.lastSyncAt();
    status.heldDownloadNotice = m_engine.heldDownloadNotice();
    status.syncingNow = m_engine.isSyncingNow();
    if (m_connected) {
        const auto &reachability = m_engine.apiClient()->api()->reachability();
        status.unreachableSince = reachability->unreachableSince();
        status.unreachableCause = reachability->silenceCause();
        status.maintenance = m_auth.isInMaintenanceMode();
        status.warningWaiting = m_engine.dawReporter().activeWarning().has_value();
    }
    status.syncNowAvailable = m_actions.canSyncNow();
    status.pauseAvailable = m_actions.canPause();
    if (status == m_status)
        return;
    m_status = std::move(status);
    Q_EMIT statusChanged();
}

void AppSession::syncNow()
{
    if (canSyncNow(m_status))
        m_actions.requestManualSync();
}

void AppSession::togglePause()
{
    if (!canTogglePause(m_status))
        return;
    if (m_engine.isPaused())
        m_actions.resumeAll();
    else
        m_actions.pauseAll();
    updateStatus();
}

} // namespace quillmere
