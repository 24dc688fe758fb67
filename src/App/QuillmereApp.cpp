#include "App/QuillmereApp.h"

#include "Accounts/AccountFlowController.h"
#include "Accounts/AuthState.h"
#include "Accounts/KeychainVault.h"
#include "Accounts/TokenManager.h"
#include "ActivityLog/SyncLogger.h"
#include "App/AppSession.h"
#include "App/EngineActions.h"
#include "App/LocalStateReset.h"
#include "App/MainWindow.h"
#include "App/PanelState.h"
#include "App/StatusPanel.h"
#include "App/TrayController.h"
#include "Engine/SyncEngine.h"
#include "Lane/SyncLane.h"
#include "Model/ModelContainer.h"
#include "Model/ModelContainerFactory.h"
#include "Model/StoreError.h"
#include "Model/StoreFiles.h"
#include "Platform/Async/Clock.h"
#include "Platform/Settings/UserDefaults.h"
#include "Platform/Workspace/RunningApplications.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "UI/Onboarding/AccountWindow.h"
#include "UI/Onboarding/AccountWindowView.h"
#include "UI/Onboarding/QuillmereWindowView.h"
#include "UI/Onboarding/ShellActions.h"
#include "UI/WebAuth/BrowserWebAuthSession.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QLoggingCategory>
#include <QPointer>
#include <QSystemTrayIcon>

#include <algorithm>

namespace quillmere {

namespace {

Q_LOGGING_CATEGORY(appLog, "app.quillmere.Quillmere.App")

void reportVaultFailure(const QString &detail)
{
    SyncLogger::shared().log(SyncLogger::Event::syncFailed, SyncLogger::Direction::none, QString(), detail);
}

} // namespace

QuillmereApp::QuillmereApp(QuillmereAppOptions options, QObject *parent)
    : QObject(parent), m_options(std::move(options))
{
    m_sinceStart.start();
    if (!m_options.openURL)
        m_options.openURL = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    if (!m_options.endLoop)
        m_options.endLoop = [] { QCoreApplication::quit(); };
    m_quitCheck.setInterval(std::chrono::milliseconds(20));
    connect(&m_quitCheck, &QTimer::timeout, this, &QuillmereApp::checkQuitDone);
}

QuillmereApp::~QuillmereApp()
{
    m_quitCheck.stop();
    m_showRegistration = CallbackRouter::Registration();
    m_accountWindow.reset();
    m_mainWindow.reset();
    m_tray.reset();
    m_accountController.reset();
    m_unclaimedRouter.reset();
    m_shellActions.reset();
    if (m_session)
        m_session->shutDown();
    m_panelState.reset();
    m_session.reset();
    m_actions.reset();
    m_resetTask = TaskHandle();
    m_flushTask = TaskHandle();
    m_network.reset();
    m_engine.reset();
    m_client.reset();
    m_container.reset();
    m_applications.reset();
    m_auth.reset();
    // A keyring that does not answer holds the quit no longer than the rest of it.
    if (m_vault && m_quitting)
        m_vault->limitTeardown(m_quitDeadline);
    m_vault.reset();
}

std::optional<QString> QuillmereApp::initialise()
{
    m_clock = m_options.clock ? m_options.clock : &Clock::system();
    m_vault = KeychainVault::makeShared(
        m_options.secretBackend ? KeychainHelper(*m_options.secretBackend) : KeychainHelper(), &reportVaultFailure);
    // Its token check runs on the first turn of the loop, after everything below.
    m_auth = std::make_unique<AuthState>(m_vault, *m_clock, ExternalURLOpener(m_options.openURL));
    m_applications = std::make_unique<RunningApplications>(*m_clock);
    m_client = std::make_shared<LibraryAPIClient>(std::make_shared<HarborlyAPI>(m_auth->sharedTokenManager(), *m_clock));
    if (m_options.multipartThreshold)
        m_client->setMultipartThresholdForTesting(*m_options.multipartThreshold);
    m_engine = std::make_unique<SyncEngine>(m_client, *m_vault, *m_clock, *m_applications, makeSyncLaneFactory());
    m_network = std::make_unique<NetworkMonitor>(m_options.networkSource);

    // The reset deletes the store at once and queues its vault wipe on the vault's worker
    // before any read the sign-in state makes there; the store is opened after it.
    m_storePath = m_options.storePath.isEmpty() ? localStoreURL() : m_options.storePath;
    const QString storePath = m_storePath;
    m_resetTask = TaskHandle::start([this, storePath](std::stop_token) { return resetIfRequested(storePath); });

    try {
        m_container = ModelContainerFactory::makeContainer(m_storePath);
    } catch (const StoreError &error) {
        qCCritical(appLog) << "The store could not be opened:" << error.what() << error.detail();
        if (error.kind() == StoreError::Kind::rebuildFailed)
            return QStringLiteral("Quillmere could not open its database at %1, not even after setting the damaged one "
                                  "aside (%2). Check that the disk has free space and that the folder can be written, "
                                  "then start Quillmere again.")
                .arg(m_storePath, QString::fromUtf8(error.what()));
        // Nothing was set aside: the same database opens, every record in it, once the cause is gone.
        const QString remedy = error.kind() == StoreError::Kind::noSpace
            ? QStringLiteral("Free some space on the disk")
            : QStringLiteral("Check that the folder and the database can be read and written");
        return QStringLiteral("Quillmere could not open its database at %1 (%2) and left it as it is. %3, then start "
                              "Quillmere again.")
            .arg(m_storePath, QString::fromUtf8(error.what()), remedy);
    }

    QMetaObject::invokeMethod(this, &QuillmereApp::run, Qt::QueuedConnection);
    return std::nullopt;
}

QCoro::Task<> QuillmereApp::resetIfRequested(QString storePath)
{
    QPointer<QuillmereApp> self(this);
    auto resetting = performRequestedLocalStateReset(*m_vault, UserDefaults::standard(), std::move(storePath));
    const LocalStateResetOutcome outcome = co_await std::move(resetting);
    if (!self)
        co_return;
    if (outcome.status == LocalStateResetOutcome::Status::wiped)
        qCInfo(appLog) << "Local state was reset as the settings asked";
    else if (outcome.status == LocalStateResetOutcome::Status::failed)
        qCWarning(appLog) << "The requested reset of local state did not run:" << outcome.failure;
}

void QuillmereApp::run()
{
    if (m_quitting || m_running)
        return;
    m_actions = makeEngineActions(*m_engine);
    m_session = std::make_unique<AppSession>(*m_auth, *m_engine, *m_actions, *m_network, m_container, *m_clock,
                                             m_applications.get());
    m_panelState = std::make_unique<PanelState>(*m_engine, *m_auth, m_container, *m_clock);
    m_shellActions = std::make_unique<ShellActions>(&APIConfig::baseURL, m_options.openURL);

    std::shared_ptr<WebAuthSession> webAuth = m_options.webAuth;
    if (!webAuth) {
        CallbackRouter *router = m_options.router;
        if (!router) {
            m_unclaimedRouter = std::make_unique<CallbackRouter>();
            router = m_unclaimedRouter.get();
        }
        webAuth = std::make_shared<BrowserWebAuthSession>(*router, m_options.openURL);
    }
    AppSession *session = m_session.get();
    m_accountController = std::make_unique<AccountFlowController>(
        *m_auth, *m_clock, std::move(webAuth), [session] { return session->wipeLocalSyncState(); });
    m_accountController->setWipeAbandoned([session = QPointer<AppSession>(session)] {
        if (session)
            session->resumeAfterAbandonedWipe();
    });
    m_accountController->setHasLocalSyncRecords([session] { return session->hasSyncRecords(); });

    const bool useTray = m_options.useTray.value_or(QSystemTrayIcon::isSystemTrayAvailable());
    TrayController::Callbacks callbacks;
    callbacks.openMainWindow = [this] { openMainWindow(); };
    callbacks.openAccountWindow = [this] { openAccountWindow(); };
    callbacks.syncNow = [session] { session->syncNow(); };
    callbacks.togglePause = [session] { session->togglePause(); };
    callbacks.quit = [this] { requestQuit(); };
    PanelState *panel = m_panelState.get();
    callbacks.dismissWarning = [panel] { panel->dismissWarning(); };
    callbacks.stopWarnings = [panel] { panel->stopWarnings(); };
    callbacks.acknowledgeConflict = [panel](const QString &path) { panel->acknowledgeConflict(path); };
    m_tray = std::make_unique<TrayController>(*m_auth, *m_shellActions, callbacks, useTray);
    m_mainWindow = std::make_unique<MainWindow>(
        *m_auth, *m_clock, *m_shellActions, [this] { openAccountWindow(); }, useTray ? nullptr : m_tray->menu(),
        [this] { requestQuit(); });
    StatusPanel *page = m_mainWindow->statusPanel();
    connect(page, &StatusPanel::syncNowRequested, session, &AppSession::syncNow);
    connect(page, &StatusPanel::pauseToggleRequested, session, &AppSession::togglePause);
    connect(page, &StatusPanel::dismissWarningRequested, panel, &PanelState::dismissWarning);
    connect(page, &StatusPanel::stopWarningsRequested, panel, &PanelState::stopWarnings);
    connect(page, &StatusPanel::acknowledgeConflictRequested, panel, &PanelState::acknowledgeConflict);
    connect(panel, &PanelState::changed, this, [this, panel, page] {
        m_tray->setDetails(panel->details());
        page->setDetails(panel->details());
    });
    m_tray->setDetails(panel->details());
    page->setDetails(panel->details());
    // The panel opened (the tray's, or the window that stands in for it): the maintenance flag
    // is read again.
    connect(m_tray.get(), &TrayController::panelShown, panel, &PanelState::panelOpened);
    connect(session, &AppSession::statusChanged, this, [this, session, page] {
        m_tray->setStatus(session->status());
        page->setStatus(session->status());
    });
    connect(m_mainWindow.get(), &MainWindow::firstExposed, this, [this] {
        m_firstWindowMs = m_sinceStart.elapsed();
        qCInfo(appLog) << "First window on screen" << m_firstWindowMs << "ms after start";
        Q_EMIT firstWindowShown();
    });
    m_accountWindow = std::make_unique<AccountWindow>(*m_accountController, m_options.openURL);

    awaitShowRequest();
    m_session->start();
    m_running = true;
    m_mainWindow->bringToFront();
    connect(m_auth.get(), &AuthState::connectionStateChanged, panel, [this, panel] {
        if (m_mainWindow->isVisible())
            panel->panelOpened();
    });
    Q_EMIT running();
}

void QuillmereApp::openMainWindow()
{
    if (m_mainWindow && !m_quitting) {
        m_mainWindow->bringToFront();
        m_panelState->panelOpened();
    }
}

void QuillmereApp::openAccountWindow()
{
    if (m_accountWindow && !m_quitting)
        m_accountWindow->open();
}

void QuillmereApp::awaitShowRequest()
{
    CallbackRouter *router = m_options.router;
    if (!router || !router->isPrimary())
        return;
    // One request per registration: each one, once handled, waits for the next.
    m_showRegistration = router->expect(instanceScheme, QString(), [this](const QUrl &) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                openMainWindow();
                awaitShowRequest();
            },
            Qt::QueuedConnection);
    });
}

void QuillmereApp::requestQuit()
{
    requestQuit(std::chrono::steady_clock::now());
}

void QuillmereApp::requestQuit(std::chrono::steady_clock::time_point requestedAt)
{
    if (m_quitting)
        return;
    m_quitting = true;
    m_quitDeadline = QDeadlineTimer(requestedAt + (quitTimeout - endMargin), Qt::PreciseTimer);
    Q_EMIT quitStarted(m_quitDeadline);
    if (!m_running) {
        m_options.endLoop();
        return;
    }
    qCInfo(appLog) << "Quitting: stopping the engine";
    for (const auto &lane : m_engine->lanes())
        m_stoppingLanes.push_back(lane);
    m_tray->hideAll();
    m_accountWindow->hide();
    m_mainWindow->hide();
    m_session->shutDown();
    m_flushTask = TaskHandle::start([this](std::stop_token) { return flushVault(); });
    m_quitCheck.start();
    checkQuitDone();
}

QCoro::Task<> QuillmereApp::flushVault()
{
    QPointer<QuillmereApp> self(this);
    // The vault runs its calls in order: once this read is answered, every write queued
    // before it (a renewed token, a cleared one) is in the keyring.
    auto reading = m_vault->entryAsync(KeychainVault::bearerTokenKey());
    co_await std::move(reading);
    if (self)
        m_vaultFlushed = true;
}

void QuillmereApp::checkQuitDone()
{
    const bool lanesEnded = std::all_of(m_stoppingLanes.begin(), m_stoppingLanes.end(),
                                        [](const std::weak_ptr<SyncLaneInterface> &lane) { return lane.expired(); });
    const bool late = m_quitDeadline.remainingTimeAsDuration() <= teardownReserve;
    if (!(lanesEnded && m_vaultFlushed) && !late)
        return;
    if (!lanesEnded || !m_vaultFlushed)
        qCWarning(appLog) << "Quitting before every lane ended or the vault was written";
    m_quitCheck.stop();
    m_options.endLoop();
}

} // namespace quillmere
