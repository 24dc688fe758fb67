#include "App/TrayController.h"

#include "App/MenuBarView.h"
#include "App/TrayIconPainter.h"

#include <QAction>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>

namespace quillmere {

TrayController::TrayController(AuthState &auth, const ShellActions &actions, Callbacks callbacks, bool useTray,
                               QObject *parent)
    : QObject(parent), m_auth(auth), m_actions(actions), m_callbacks(std::move(callbacks))
{
    m_menu = new QMenu;
    m_menu->setObjectName(QStringLiteral("quillmereMenu"));
    m_menu->setTitle(QStringLiteral("Quillmere"));
    m_open = m_menu->addAction(shellText("Open Quillmere"));
    m_account = m_menu->addAction(shellText("Account…"));
    m_syncNow = m_menu->addAction(shellText("Sync Now"));
    m_pause = m_menu->addAction(shellText("Pause Sync"));
    m_menu->addSeparator();
    m_quit = m_menu->addAction(shellText("Quit Quillmere"));
    m_quit->setShortcut(QKeySequence::Quit);

    connect(m_open, &QAction::triggered, this, [this] {
        if (m_callbacks.openMainWindow)
            m_callbacks.openMainWindow();
    });
    connect(m_account, &QAction::triggered, this, [this] {
        if (m_callbacks.openAccountWindow)
            m_callbacks.openAccountWindow();
    });
    connect(m_syncNow, &QAction::triggered, this, [this] {
        if (m_callbacks.syncNow)
            m_callbacks.syncNow();
    });
    connect(m_pause, &QAction::triggered, this, [this] {
        if (m_callbacks.togglePause)
            m_callbacks.togglePause();
    });
    connect(m_quit, &QAction::triggered, this, [this] {
        if (m_callbacks.quit)
            m_callbacks.quit();
    });

    m_animation.setInterval(frameInterval);
    // A frame late is no matter: let the system group the wake-ups.
    m_animation.setTimerType(Qt::CoarseTimer);
    connect(&m_animation, &QTimer::timeout, this, &TrayController::nextFrame);

    if (useTray) {
        m_tray = new QSystemTrayIcon(this);
        m_tray->setContextMenu(m_menu);
        connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
                showPanel();
            else if (reason == QSystemTrayIcon::DoubleClick && m_callbacks.openMainWindow)
                m_callbacks.openMainWindow();
        });
    }
    setStatus(ShellStatus());
    if (m_tray)
        m_tray->show();
}

TrayController::~TrayController()
{
    delete m_panel;
    if (m_tray)
        m_tray->setContextMenu(nullptr);
    delete m_menu;
}

QIcon TrayController::iconFor(TrayIconState state, int frame, bool badge)
{
    const int key = (int(state) * 64 + frame) * 2 + (badge ? 1 : 0);
    auto found = m_icons.constFind(key);
    if (found != m_icons.constEnd())
        return *found;
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QImage image = TrayIconPainter::render(state, frame, size);
        if (badge)
            TrayIconPainter::paintBadge(image);
        icon.addPixmap(QPixmap::fromImage(image));
    }
    m_icons.insert(key, icon);
    return icon;
}

QIcon TrayController::currentIcon()
{
    return iconFor(m_state, m_frame, m_badge);
}

void TrayController::setStatus(const ShellStatus &status)
{
    m_status = status;
    if (m_panel)
        m_panel->setStatus(status);
    const TrayIconState state = trayIconState(status);
    const bool badge = trayBadge(status);
    const bool stateChanged = state != m_state || badge != m_badge;
    if (state != m_state)
        m_frame = 0;
    m_state = state;
    m_badge = badge;
    const bool animate = TrayIconPainter::frameCount(state) > 1;
    if (animate && !m_animation.isActive())
        m_animation.start();
    else if (!animate)
        m_animation.stop();

    m_toolTip = trayToolTip(status);
    m_syncNow->setEnabled(canSyncNow(status));
    m_pause->setText(pauseActionTitle(status));
    m_pause->setEnabled(canTogglePause(status));
    if (m_tray) {
        if (stateChanged || m_tray->icon().isNull())
            m_tray->setIcon(currentIcon());
        if (m_tray->toolTip() != m_toolTip)
            m_tray->setToolTip(m_toolTip);
    }
}

void TrayController::setDetails(const PanelDetails &details)
{
    m_details = details;
    if (m_panel)
        m_panel->setDetails(details);
}

void TrayController::nextFrame()
{
    m_frame = (m_frame + 1) % TrayIconPainter::frameCount(m_state);
    if (m_tray)
        m_tray->setIcon(currentIcon());
}

MenuBarView *TrayController::panel()
{
    if (!m_panel) {
        m_panel = new MenuBarView(m_auth, m_actions, m_callbacks.openAccountWindow);
        m_panel->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
        m_panel->setStatus(m_status);
        m_panel->setDetails(m_details);
        connect(m_panel, &MenuBarView::dismissWarningRequested, this, [this] {
            if (m_callbacks.dismissWarning)
                m_callbacks.dismissWarning();
        });
        connect(m_panel, &MenuBarView::stopWarningsRequested, this, [this] {
            if (m_callbacks.stopWarnings)
                m_callbacks.stopWarnings();
        });
        connect(m_panel, &MenuBarView::acknowledgeConflictRequested, this, [this](const QString &path) {
            if (m_callbacks.acknowledgeConflict)
                m_callbacks.acknowledgeConflict(path);
        });
        connect(m_panel, &MenuBarView::syncNowRequested, this, [this] {
            if (m_callbacks.syncNow)
                m_callbacks.syncNow();
        });
        connect(m_panel, &MenuBarView::pauseToggleRequested, this, [this] {
            if (m_callbacks.togglePause)
                m_callbacks.togglePause();
        });
        connect(m_panel, &MenuBarView::openRequested, this, [this] {
            m_panel->hide();
            if (m_callbacks.openMainWindow)
                m_callbacks.openMainWindow();
        });
        connect(m_panel, &MenuBarView::quitRequested, this, [this] {
            m_panel->hide();
            if (m_callbacks.quit)
                m_callbacks.quit();
        });
    }
    return m_panel;
}

void TrayController::showPanel()
{
    MenuBarView *view = panel();
    view->fitHeight();
    // Under the icon where the desktop tells where it is; otherwise by the pointer. (A Wayland
    // desktop tells neither, and places the popup itself.)
    QRect anchor = m_tray ? m_tray->geometry() : QRect();
    if (!anchor.isValid())
        anchor = QRect(QCursor::pos(), QSize(1, 1));
    QScreen *screen = QGuiApplication::screenAt(anchor.center());
    const QRect area = screen ? screen->availableGeometry() : QRect(QPoint(0, 0), view->size());
    QPoint place(anchor.center().x() - view->width() / 2, anchor.bottom() + 4);
    if (place.y() + view->height() > area.bottom())
        place.setY(anchor.top() - view->height() - 4);
    place.setX(std::clamp(place.x(), area.left(), std::max(area.left(), area.right() - view->width())));
    place.setY(std::clamp(place.y(), area.top(), std::max(area.top(), area.bottom() - view->height())));
    view->move(place);
    view->show();
    view->raise();
    view->activateWindow();
    Q_EMIT panelShown();
}

void TrayController::hideAll()
{
    m_animation.stop();
    if (m_panel)
        m_panel->hide();
    if (m_tray)
        m_tray->hide();
}

} // namespace quillmere
