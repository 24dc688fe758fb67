#pragma once

#include "App/PanelState.h"
#include "App/ShellStatus.h"

#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;

namespace quillmere {

class AuthState;
class DeviceLinkView;
class ShellActions;
class StatusPanel;

// The tray's panel: the device-link view while the account is not linked (with the welcome
// screen's bindings: start, dismiss an error, open the page, copy the code, create an account),
// and the status panel with its details once it is; below them "Open Quillmere", "Account"
// (the account window: plans once linked) and "Quit".
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
    void setDetails(const PanelDetails &details);

    bool showsSignIn() const;
    // Sizes the panel to its width and the height its contents need at that width: wrapped
    // lines count all their lines (a plain adjustSize measures them at another width).
    void fitHeight();
    DeviceLinkView *deviceLinkView() const { return m_deviceLink; }
    StatusPanel *statusPanel() const { return m_status; }
    QLabel *offlineBanner() const { return m_offline; }
    QPushButton *accountButton() const { return m_account; }

Q_SIGNALS:
    void syncNowRequested();
    void pauseToggleRequested();
    void openRequested();
    void quitRequested();
    void dismissWarningRequested();
    void stopWarningsRequested();
    void acknowledgeConflictRequested(const QString &localPath);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void refresh();

    AuthState &m_auth;
    ShellStatus m_statusShown;
    std::function<void()> m_openAccountWindow;
    QLabel *m_offline = nullptr;
    QPushButton *m_account = nullptr;
    DeviceLinkView *m_deviceLink = nullptr;
    StatusPanel *m_status = nullptr;
};

} // namespace quillmere
