#pragma once

#include <QWidget>

#include <functional>

class QMenu;
class QMenuBar;

namespace quillmere {

class AuthState;
class Clock;
class QuillmereWindowView;
class ShellActions;
class StatusPanel;

// The main window: the welcome screen while the account is not linked, then the signed-in page
// (the status panel; there is no settings window). Where the desktop has no tray the window
// carries the tray's menu in its menu bar, and closing it quits, since nothing else would be
// left to bring it back or to quit from; with a tray, closing only hides it.
class MainWindow : public QWidget
{
    Q_OBJECT

public:
    // The sign-in state, the clock and the actions outlive the window. `trayMenu` is shown in
    // the menu bar when given (no tray); `quit` runs when such a window is closed. The signed-in
    // page shows the status panel; its owner hands it the status and takes its presses.
    MainWindow(AuthState &auth, Clock &clock, const ShellActions &actions, std::function<void()> openAccountWindow,
               QMenu *trayMenu, std::function<void()> quit, QWidget *parent = nullptr);
    ~MainWindow() override;

    QuillmereWindowView *root() const { return m_root; }
    StatusPanel *statusPanel() const { return m_status; }
    QMenuBar *menuBar() const { return m_menuBar; }
    // Shows the window, un-minimised and in front.
    void bringToFront();

Q_SIGNALS:
    // The window was put on screen for the first time.
    void firstExposed();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QuillmereWindowView *m_root = nullptr;
    StatusPanel *m_status = nullptr;
    QMenuBar *m_menuBar = nullptr;
    std::function<void()> m_quit;
    bool m_exposed = false;
};

} // namespace quillmere
