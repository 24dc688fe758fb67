// The tray's panel in each state of the account and the engine, the main window's signed-in
// page, and the tray icon's pictures.

#include "screenshots/Screenshots.h"

#include "Accounts/AuthState.h"
#include "App/MainWindow.h"
#include "App/MenuBarView.h"
#include "App/PanelState.h"
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

// The panel as the tray shows it, with the account linked (a status) or not (none), as tall
// as the tray makes it (its height for its width).
QImage panel(Environment &environment, const ConnectionState &connection, const ShellStatus &status,
             const PanelDetails &details = {})
{
    AuthState auth(environment.vault(), environment.clock(), ExternalURLOpener(), [] { return serviceBase; });
    auth.setConnectionState(connection);
    const ShellActions actions = quietActions();
    MenuBarView view(auth, actions, {});
    view.setStatus(status);
    view.setDetails(details);
    view.setAutoFillBackground(true);
    view.fitHeight();
    return capture(view, QSize(MenuBarView::panelWidth, view.height()));
}

QImage linkedPanel(Environment &environment, const std::function<void(ShellStatus &)> &change,
                   const PanelDetails &details = {})
{
    ShellStatus status = linked();
    change(status);
    return panel(environment, ConnectionState::connected(), status, details);
}

RecentFile recent(const char *name, SyncFileDirection direction, RecentFile::Kind kind, QTime at,
                  std::optional<QString> error = std::nullopt)
{
    return RecentFile{QUuid::createUuid(), QString::fromUtf8(name), direction, kind, QDateTime(QDate(2026, 1, 12), at),
                      std::move(error)};
}

PanelDetails warningDetails()
{
    PanelDetails details;
    details.warning = DAWLivenessReporter::Warning{
        QUuid::createUuid(), QStringLiteral("drive"),
        QStringLiteral("Album Sessions is open in Ableton Live on another device. Saving here can overwrite the "
                       "changes made there."),
        {QStringLiteral("Studio iMac"), QStringLiteral("Tour Laptop")}};
    return details;
}

PanelDetails conflictDetails()
{
    PanelDetails details;
    details.conflicts = {
        {QStringLiteral("/home/ada/Sessions/Verse Vocals.wav"), QStringLiteral("Verse Vocals.wav"),
         QStringLiteral("Sessions"), QStringLiteral("Another device uploaded a newer version of this file.")},
        {QStringLiteral("/home/ada/References/Master v3.flac"), QStringLiteral("Master v3.flac"),
         QStringLiteral("References"), QString()},
    };
    return details;
}

PanelDetails activityDetails()
{
    PanelDetails details;
    details.recentFiles = {
        recent("Chorus Vocals Take 4.wav", SyncFileDirection::upload, RecentFile::Kind::transferred, QTime(9, 41)),
        recent("Old Demo.wav", SyncFileDirection::download, RecentFile::Kind::deleted, QTime(9, 40)),
        recent("Kick Sample.wav", SyncFileDirection::upload, RecentFile::Kind::verified, QTime(9, 38)),
        recent("Bass DI.aif", SyncFileDirection::download, RecentFile::Kind::transferred, QTime(9, 35)),
        recent("Scratch.wav", SyncFileDirection::upload, RecentFile::Kind::deleted, QTime(9, 30)),
    };
    details.syncErrors = {
        recent("Bounce (final).wav", SyncFileDirection::upload, RecentFile::Kind::transferred, QTime(9, 39),
               QStringLiteral("The file changed while it was read; it is sent again when it settles")),
        recent("Stems.flac", SyncFileDirection::download, RecentFile::Kind::transferred, QTime(9, 20),
               QStringLiteral("Not enough space on the disk")),
    };
    return details;
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

QImage warningIcons()
{
    const std::vector<int> sizes{16, 22, 32, 64};
    const int cell = 72;
    QImage sheet(cell * int(sizes.size()), cell * 2, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor(60, 63, 68));
    QPainter painter(&sheet);
    for (size_t column = 0; column < sizes.size(); ++column) {
        const int size = sizes[column];
        QImage icon = TrayIconPainter::render(TrayIconState::idle, 0, size);
        painter.drawImage(int(column) * cell + (cell - size) / 2, (cell - size) / 2, icon);
        TrayIconPainter::paintBadge(icon);
        painter.drawImage(int(column) * cell + (cell - size) / 2, cell + (cell - size) / 2, icon);
    }
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
    window.statusPanel()->setDetails(activityDetails());
    return capture(window, QSize(780, 620));
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
    {QStringLiteral("panel-warning"), QStringLiteral("tray panel: the multi-device warning with its two answers"),
     [](Environment &e) { return linkedPanel(e, [](ShellStatus &s) { s.warningWaiting = true; }, warningDetails()); }},
    {QStringLiteral("panel-conflicts"), QStringLiteral("tray panel: files in conflict to acknowledge"),
     [](Environment &e) { return linkedPanel(e, [](ShellStatus &) {}, conflictDetails()); }},
    {QStringLiteral("panel-recent-and-errors"), QStringLiteral("tray panel: recent files (with a deletion) and errors"),
     [](Environment &e) { return linkedPanel(e, [](ShellStatus &) {}, activityDetails()); }},
    {QStringLiteral("panel-unreachable"), QStringLiteral("tray panel: no answer from the service since 10:02"),
     [](Environment &e) {
         return linkedPanel(e, [](ShellStatus &s) {
             s.unreachableSince = QDateTime(QDate(2026, 1, 12), QTime(10, 2));
             s.engineState = SyncEngineState::syncing();
         });
     }},
    {QStringLiteral("panel-offline-unreachable"), QStringLiteral("tray panel: no network, nothing answers"),
     [](Environment &e) {
         return linkedPanel(e, [](ShellStatus &s) {
             s.networkAvailable = false;
             s.unreachableSince = QDateTime(QDate(2026, 1, 12), QTime(10, 2));
         });
     }},
    {QStringLiteral("panel-maintenance"), QStringLiteral("tray panel: the service is under maintenance"),
     [](Environment &e) { return linkedPanel(e, [](ShellStatus &s) { s.maintenance = true; }); }},
    {QStringLiteral("panel-error-long"), QStringLiteral("tray panel: a long error wraps over several lines"),
     [](Environment &e) {
         return linkedPanel(e, [](ShellStatus &s) {
             s.engineState = SyncEngineState::error(
                 QStringLiteral("Harborly refused Long recording session (final mix, take seventeen).wav: the file "
                                "type is not accepted for this folder, so it waits here"));
         });
     }},
    {QStringLiteral("tray-icon-warning"), QStringLiteral("tray icon: a warning waits in the panel (dot), at 16/22/32/64 px"),
     [](Environment &) { return warningIcons(); }},
    {QStringLiteral("tray-icons"), QStringLiteral("tray icon: every state at 16/22/32/64 px, the syncing frames below"),
     [](Environment &) { return trayIcons(); }},
    {QStringLiteral("main-window-signed-in"), QStringLiteral("main window once linked (no settings window)"),
     [](Environment &e) { return signedInWindow(e); }},
});

} // namespace

} // namespace quillmere::screenshots
