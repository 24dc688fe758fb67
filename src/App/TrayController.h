#pragma once

#include "App/PanelState.h"
#include "App/ShellStatus.h"

#include <QHash>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace quillmere {

class AuthState;
class MenuBarView;
class ShellActions;

// The tray icon with its menu (Open, Account, Sync Now, Pause/Resume, Quit) and its panel, showing
// the status and the panel's details it is given (the application hands it the session's and
// the panel state's). A multi-device warning waiting in the panel puts a dot on the icon and a
// line in its tooltip. The icon moves only while syncing, one frame every frameInterval: each
// frame crosses to the tray host, so a low rate keeps the cost near nothing. Where the desktop
// has no tray (or a test says so) nothing is put in a tray; the menu is still made, and the
// main window carries it.
class TrayController : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds frameInterval{250};

    struct Callbacks
    {
        std::function<void()> openMainWindow;
        std::function<void()> openAccountWindow;
        std::function<void()> syncNow;
        std::function<void()> togglePause;
        std::function<void()> quit;
        // The panel's answers to the warning and to a conflict.
        std::function<void()> dismissWarning;
        std::function<void()> stopWarnings;
        std::function<void(const QString &)> acknowledgeConflict;
    };

    // The sign-in state (for the panel's device link) and the actions outlive the controller.
    TrayController(AuthState &auth, const ShellActions &actions, Callbacks callbacks, bool useTray,
                   QObject *parent = nullptr);
    ~TrayController() override;

    void setStatus(const ShellStatus &status);
    const ShellStatus &status() const { return m_status; }
    void setDetails(const PanelDetails &details);

    bool hasTray() const { return m_tray != nullptr; }
    QMenu *menu() const { return m_menu; }
    QAction *openAction() const { return m_open; }
    QAction *accountAction() const { return m_account; }
    QAction *syncNowAction() const { return m_syncNow; }
    QAction *pauseAction() const { return m_pause; }
    QAction *quitAction() const { return m_quit; }

    TrayIconState iconState() const { return m_state; }
    int frame() const { return m_frame; }
    bool isAnimating() const { return m_animation.isActive(); }
    QString toolTip() const { return m_toolTip; }
    // The icon as the tray shows it now (also without a tray).
    QIcon currentIcon();

    MenuBarView *panel();
    // Shows the panel under the point (the tray icon's place, where the desktop tells it).
    void showPanel();
    void hideAll();

Q_SIGNALS:
    // The panel was put on screen.
    void panelShown();

private:
    void nextFrame();
    QIcon iconFor(TrayIconState state, int frame, bool badge);

    AuthState &m_auth;
    ShellStatus m_status;
    PanelDetails m_details;
    const ShellActions &m_actions;
    Callbacks m_callbacks;
    QMenu *m_menu = nullptr;
    QAction *m_open = nullptr;
    QAction *m_account = nullptr;
    QAction *m_syncNow = nullptr;
    QAction *m_pause = nullptr;
    QAction *m_quit = nullptr;
    QSystemTrayIcon *m_tray = nullptr;
    QPointer<MenuBarView> m_panel;
    TrayIconState m_state = TrayIconState::disconnected;
    bool m_badge = false;
    int m_frame = 0;
    QString m_toolTip;
    QTimer m_animation;
    QHash<int, QIcon> m_icons;
};

} // namespace quillmere
