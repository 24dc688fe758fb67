// The tray's panel in each state of the account and the engine, the main window's signed-in
// page, and the tray icon's pictures.

#include "screenshots/Screenshots.h"

#include "Accounts/AuthState.h"
#include "App/MainWindow.h"
#include "App/MenuBarView.h"
#include "App/ShellStatus.h"
#include "App/StatusPanel.h"
#include "App/TrayIconPainter.h"
#include "Platform/Async/ManualClock.h"
#include "UI/Onboarding/ShellActions.h"

#include <QPainter>

namespace quillmere::screenshots {

namespace {

const QUrl serviceBase(QStringLiteral("https://harborly.example"));

ShellActions quietActions()
{
    return ShellActions([] { return serviceBase; }, [](const QUrl &) { return false; });
}

ShellStatus linked()
{
    ShellStatus status;
    status.connected = true;
    status.hasFolders = true;
    status.hasLanes = true;
    status.syncNowAvailable = true;
    status.pauseAvailable = true;
    status.lastSyncAt = QDateTime(QDate(2026, 1, 12), QTime(9, 41));
    return status;
}

// The panel as the tray shows it, with the account linked (a status) or not (none).
QImage panel(Environment &environment, const ConnectionState &connection, const ShellStatus &status)
{
    AuthState auth(environment.vault(), environment.clock(), ExternalURLOpener(), [] { return serviceBase; });
    auth.setConnectionState(connection);
    const ShellActions actions = quietActions();
    MenuBarView view(auth, actions, {});
    view.setStatus(status);
    view.setAutoFillBackground(true);
    return capture(view, QSize(MenuBarView::panelWidth, view.sizeHint().height()));
}

QImage linkedPanel(Environment &environment, const std::function<void(ShellStatus &)> &change)
{
    ShellStatus status = linked();
    change(status);
    return panel(environment, ConnectionState::connected(), status);
}

// Every state side by side at the sizes a tray asks for, and the syncing frames below.
QImage trayIcons()
{
    const std::vector<TrayIconState> states{TrayIconState::idle,        TrayIconState::syncing,
                                            TrayIconState::paused,      TrayIconState::error,
                                            TrayIconState::storageFull, TrayIconState::offline,
                                            TrayIconState::disconnected, TrayIconState::hibernating,
                                            TrayIconState::noFolders};
    const std::vector<int> sizes{16, 22, 32, 64};
    const int cell = 72;
    QImage sheet(cell * int(states.size()), cell * int(sizes.size() + 1), QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor(60, 63, 68));
    QPainter painter(&sheet);
    for (size_t column = 0; column < states.size(); ++column) {
        for (size_t row = 0; row < sizes.size(); ++row) {
            const int size = sizes[row];
            painter.drawImage(int(column) * cell + (cell - size) / 2, int(row) * cell + (cell - size) / 2,
                              TrayIconPainter::render(states[column], 0, size));
        }
    }
    const int frames = TrayIconPainter::syncingFrames;
    for (int frame = 0; frame < frames; ++frame)
        painter.drawImage(frame * cell + (cell - 32) / 2, int(sizes.size()) * cell + (cell - 32) / 2,
                          TrayIconPainter::render(TrayIconState::syncing, frame, 32));
    return sheet;
}

QImage signedInWindow(Environment &environment)
{
    AuthState auth(environment.vault(), environment.clock(), ExternalURLOpener(), [] { return serviceBase; });
    auth.setConnectionState(ConnectionState::connected());
    const ShellActions actions = quietActions();
    MainWindow window(auth, environment.clock(), actions, {}, nullptr, {});
    ShellStatus status = linked();
    status.engineState = SyncEngineState::syncing();
    status.currentFileName = QStringLiteral("Chorus Vocals Take 4.wav");
    window.statusPanel()->setStatus(status);
    return capture(window, QSize(780, 520));
}

const bool registered = addStates({
    {QStringLiteral("panel-signed-out"), QStringLiteral("tray panel: not linked, the device-link prompt"),
     [](Environment &e) { return panel(e, ConnectionState::disconnected(), ShellStatus()); }},
    {QStringLiteral("panel-signed-out-offline"), QStringLiteral("tray panel: not linked and no network"),
     [](Environment &e) {
         ShellStatus status;
         status.networkAvailable = false;
         return panel(e, ConnectionState::disconnected(), status);
     }},
    {QStringLiteral("panel-idle"), QStringLiteral("tray panel: linked and up to date"),
     [](Environment &e) { return linkedPanel(e, [](ShellStatus &) {}); }},
    {QStringLiteral("panel-syncing"), QStringLiteral("tray panel: a file on its way"),
     [](Environment &e) {
         return linkedPanel(e, [](ShellStatus &s) {
             s.engineState = SyncEngineState::syncing();
             s.currentFileName = QStringLiteral("Bridge Guitar DI.wav");
             s.filesPending = 12;
         });
     }},
    {QStringLiteral("panel-paused"), QStringLiteral("tray panel: sync paused"),
     [](Environment &e) { return linkedPanel(e, [](ShellStatus &s) { s.paused = true; }); }},
    {QStringLiteral("panel-error"), QStringLiteral("tray panel: a lane in error"),
     [](Environment &e) {
         return linkedPanel(e, [](ShellStatus &s) {
             s.engineState = SyncEngineState::error(QStringLiteral("Cannot write Mix 2.wav: the disk is full"));
         });
     }},
    {QStringLiteral("panel-offline"), QStringLiteral("tray panel: linked, no network"),
     [](Environment &e) { return linkedPanel(e, [](ShellStatus &s) { s.networkAvailable = false; }); }},
    {QStringLiteral("panel-hibernating"), QStringLiteral("tray panel: the service cannot be reached"),
     [](Environment &e) {
         return linkedPanel(e, [](ShellStatus &s) {
             s.hibernating = true;
             s.hibernationInterval = 240;
         });
     }},
    {QStringLiteral("panel-storage-full"), QStringLiteral("tray panel: the storage limit is reached"),
     [](Environment &e) { return linkedPanel(e, [](ShellStatus &s) { s.storageFull = true; }); }},
    {QStringLiteral("panel-no-folders"), QStringLiteral("tray panel: linked, no folder on this computer"),
     [](Environment &e) {
         return linkedPanel(e, [](ShellStatus &s) {
             s.hasFolders = false;
             s.hasLanes = false;
         });
     }},
    {QStringLiteral("tray-icons"), QStringLiteral("tray icon: every state at 16/22/32/64 px, the syncing frames below"),
     [](Environment &) { return trayIcons(); }},
    {QStringLiteral("main-window-signed-in"), QStringLiteral("main window once linked (no settings window)"),
     [](Environment &e) { return signedInWindow(e); }},
});

} // namespace

} // namespace quillmere::screenshots
