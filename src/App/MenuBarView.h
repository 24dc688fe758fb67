#pragma once

#include "App/ShellStatus.h"

#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;
class QStackedWidget;

namespace quillmere {

class AuthState;
class DeviceLinkView;
class ShellActions;
class StatusPanel;

// The tray's panel: the device-link view while the account is not linked (with the welcome
// screen's bindings: start, dismiss an error, open the page, copy the code, create an account),
// and the status panel once it is; below them "Open Quillmere" and "Quit".
class MenuBarView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int panelWidth = 340;

    // The sign-in state and the actions outlive the view.
    MenuBarView(AuthState &auth, const ShellActions &actions, std::function<void()> openAccountWindow,
                QWidget *parent = nullptr);

    void setStatus(const ShellStatus &status);
    const ShellStatus &status() const { return m_statusShown; }

    bool showsSignIn() const;
    DeviceLinkView *deviceLinkView() const { return m_deviceLink; }
    StatusPanel *statusPanel() const { return m_status; }
    QLabel *offlineBanner() const { return m_offline; }

Q_SIGNALS:
    void syncNowRequested();
    void pauseToggleRequested();
    void openRequested();
    void quitRequested();

private:
    void refresh();

    AuthState &m_auth;
    ShellStatus m_statusShown;
    std::function<void()> m_openAccountWindow;
    QLabel *m_offline = nullptr;
    QStackedWidget *m_pages = nullptr;
    DeviceLinkView *m_deviceLink = nullptr;
    StatusPanel *m_status = nullptr;
};

} // namespace quillmere
