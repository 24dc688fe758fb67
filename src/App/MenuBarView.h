#pragma once

#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;
class QStackedWidget;

namespace quillmere {

class AppSession;
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

    // The session and the actions outlive the view.
    MenuBarView(AppSession &session, const ShellActions &actions, std::function<void()> openAccountWindow,
                QWidget *parent = nullptr);

    bool showsSignIn() const;
    DeviceLinkView *deviceLinkView() const { return m_deviceLink; }
    StatusPanel *statusPanel() const { return m_status; }
    QLabel *offlineBanner() const { return m_offline; }

Q_SIGNALS:
    void openRequested();
    void quitRequested();

private:
    void refresh();

    AppSession &m_session;
    std::function<void()> m_openAccountWindow;
    QLabel *m_offline = nullptr;
    QStackedWidget *m_pages = nullptr;
    DeviceLinkView *m_deviceLink = nullptr;
    StatusPanel *m_status = nullptr;
};

} // namespace quillmere
