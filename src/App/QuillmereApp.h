#pragma once

#include "Engine/NetworkMonitor.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/WebAuth/CallbackRouter.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

class AccountFlowController;
class AccountWindow;
class AppSession;
class AuthState;
class Clock;
class EngineActions;
class KeychainVault;
class LibraryAPIClient;
class MainWindow;
class ModelContainer;
class PanelState;
class RunningApplications;
class SecretBackend;
class ShellActions;
class SyncEngine;
class SyncLaneInterface;
class TrayController;
class WebAuthSession;

// What the application is built from; every member has the desktop's default.
struct QuillmereAppOptions
{
    // Where secrets live: the Secret Service unless given (it must outlive the application).
    SecretBackend *secretBackend = nullptr;
    // Clock::system() unless given.
    Clock *clock = nullptr;
    NetworkMonitor::Source networkSource = NetworkMonitor::Source::Live;
    // localStoreURL() unless given.
    QString storePath;
    // Asked of the desktop (QSystemTrayIcon::isSystemTrayAvailable) unless given.
    std::optional<bool> useTray;
    // The desktop's browser unless given.
    std::function<bool(const QUrl &)> openURL;
    // The browser, through the router, unless given.
    std::shared_ptr<WebAuthSession> webAuth;
    // The claimed single instance: it brings sign-in callbacks and the show requests of later
    // starts. Without one (tests) browser sign-ins cannot complete.
    CallbackRouter *router = nullptr;
    // Ends the event loop once the quit sequence is done: QCoreApplication::quit unless given.
    std::function<void()> endLoop;
    // Files this large or larger go in parts: LibraryAPIClient's own threshold unless given.
    std::optional<qint64> multipartThreshold;
};

// The application: builds its parts in order, runs them and takes them down.
//
// initialise() is the launch, before the event loop: the vault, the sign-in state (whose
// token check waits for the first turn of the loop), the engine with its service client, the
// network monitor, the local-state reset when the settings ask for one (its store deletion
// done and its vault wipe queued ahead of any token read), then the store. Right after the
// loop starts, the session (observation, hydration, engine start, revocation), the tray and
// the windows are made, so a hidden window never leaves the application without them.
//
// Quitting (requestQuit: the menu, the panel, a signal) stops the engine while the loop still
// runs, waits for every lane to end and the vault to finish its writes (until teardownReserve
// before quitDeadline()), then ends the loop; the destructor takes the parts down in the reverse
// order of their making. The whole quit, teardown included, ends by quitDeadline().
class QuillmereApp : public QObject
{
    Q_OBJECT

public:
    // From the request (a signal's arrival) to the end of the process, as seen from outside.
    static constexpr std::chrono::milliseconds quitTimeout{3000};
    // Of that, what is left after quitDeadline() for the process's own end: the kernel takes its
    // memory back and tells whoever waits for it, later still on a loaded machine.
    static constexpr std::chrono::milliseconds endMargin{300};
    // Of the rest, what is kept for the teardown after the loop (destructors, work still on a pool).
    static constexpr std::chrono::milliseconds teardownReserve{500};
    // A later start without a callback URL asks the running instance to show its window with
    // this address.
    static inline const QString instanceScheme = QStringLiteral("quillmere-instance");
    static QUrl showRequest() { return QUrl(instanceScheme + QStringLiteral("://show")); }

    explicit QuillmereApp(QuillmereAppOptions options = {}, QObject *parent = nullptr);
    ~QuillmereApp() override;

    // The launch (see the class comment). The message for the user when the store cannot be
    // opened even after quarantine; the application must then exit.
    std::optional<QString> initialise();
    bool isRunning() const { return m_running; }
    // A quit requested now (the menu, the panel).
    void requestQuit();
    // A quit requested at `requestedAt`, before this call: a signal that arrived while the main
    // thread was busy. The quit's bound counts from then.
    void requestQuit(std::chrono::steady_clock::time_point requestedAt);
    bool isQuitting() const { return m_quitting; }
    // quitTimeout less endMargin after the quit was requested; forever before.
    QDeadlineTimer quitDeadline() const { return m_quitDeadline; }
    // Milliseconds from construction to the main window's first exposure; -1 before it.
    qint64 firstWindowMilliseconds() const { return m_firstWindowMs; }

    // The parts, for tests and tools; null before they are made.
    KeychainVault *vault() const { return m_vault.get(); }
    AuthState *authState() const { return m_auth.get(); }
    SyncEngine *engine() const { return m_engine.get(); }
    NetworkMonitor *networkMonitor() const { return m_network.get(); }
    const std::shared_ptr<ModelContainer> &container() const { return m_container; }
    AppSession *session() const { return m_session.get(); }
    PanelState *panelState() const { return m_panelState.get(); }
    TrayController *tray() const { return m_tray.get(); }
    MainWindow *mainWindow() const { return m_mainWindow.get(); }
    AccountWindow *accountWindow() const { return m_accountWindow.get(); }
    AccountFlowController *accountController() const { return m_accountController.get(); }
    const QString &storePath() const { return m_storePath; }

Q_SIGNALS:
    // The session, the tray and the windows exist.
    void running();
    void firstWindowShown();
    // A quit began; the whole of it, teardown included, is to end by `deadline`.
    void quitStarted(QDeadlineTimer deadline);

private:
    void run();
    void openMainWindow();
    void openAccountWindow();
    void awaitShowRequest();
    QCoro::Task<> resetIfRequested(QString storePath);
    QCoro::Task<> flushVault();
    void checkQuitDone();

    QuillmereAppOptions m_options;
    QElapsedTimer m_sinceStart;
    qint64 m_firstWindowMs = -1;
    Clock *m_clock = nullptr;
    QString m_storePath;

    // In the order of their making; destroyed in reverse.
    // Shared with the token managers: a renewal or a sign-out that resumes after the teardown
    // still finds it.
    std::shared_ptr<KeychainVault> m_vault;
    std::unique_ptr<AuthState> m_auth;
    std::unique_ptr<RunningApplications> m_applications;
    std::shared_ptr<LibraryAPIClient> m_client;
    std::unique_ptr<SyncEngine> m_engine;
    std::unique_ptr<NetworkMonitor> m_network;
    TaskHandle m_resetTask;
    std::shared_ptr<ModelContainer> m_container;
    std::unique_ptr<EngineActions> m_actions;
    std::unique_ptr<AppSession> m_session;
    std::unique_ptr<PanelState> m_panelState;
    std::unique_ptr<ShellActions> m_shellActions;
    // Stands in for the router when none is given: browser sign-ins then report "not started".
    std::unique_ptr<CallbackRouter> m_unclaimedRouter;
    std::unique_ptr<AccountFlowController> m_accountController;
    std::unique_ptr<TrayController> m_tray;
    std::unique_ptr<MainWindow> m_mainWindow;
    std::unique_ptr<AccountWindow> m_accountWindow;
    CallbackRouter::Registration m_showRegistration;

    bool m_running = false;
    bool m_quitting = false;
    std::vector<std::weak_ptr<SyncLaneInterface>> m_stoppingLanes;
    bool m_vaultFlushed = false;
    TaskHandle m_flushTask;
    QTimer m_quitCheck;
    QDeadlineTimer m_quitDeadline{QDeadlineTimer::Forever};
};

} // namespace quillmere
