#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>

namespace quillmere {

class AquariumCanvas;
class AquariumState;
class AuthState;
class Clock;
class DeviceLinkView;
class FrameTimer;
class ShellActions;
class WelcomeBackground;

// The main window's content while no account is linked: the drifting colour background,
// the fish, and over them a card with the application's icon, a greeting and the
// device-link view. It keeps no state of its own: the sign-in state and the fish belong to
// the application and the window. One frame timer drives background and fish together.
class WelcomeView : public QWidget
{
    Q_OBJECT

public:
    // The card's fixed size, which is also the window's minimum content size.
    static constexpr QSize cardSize{780, 520};

    // Opens (or brings forward) the account window; the shell supplies it.
    using OpenAccountWindow = std::function<void()>;

    // The sign-in state, the aquarium, the clock and the actions must outlive the view.
    WelcomeView(AuthState &authState, AquariumState &aquarium, Clock &clock, const ShellActions &actions,
                OpenAccountWindow openAccountWindow, QWidget *parent = nullptr);

    // Bound to the device-link view's buttons.
    void startDeviceLink();
    void dismissError();
    void openAccountWindow();

    AquariumCanvas *canvas() const { return m_canvas; }
    DeviceLinkView *deviceLinkView() const { return m_deviceLink; }
    FrameTimer *frameTimer() const { return m_frameTimer; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void advanceFrame();
    void showConnectionState();

    QPointer<AuthState> m_authState;
    const ShellActions &m_actions;
    OpenAccountWindow m_openAccountWindow;
    WelcomeBackground *m_background = nullptr;
    AquariumCanvas *m_canvas = nullptr;
    QWidget *m_card = nullptr;
    DeviceLinkView *m_deviceLink = nullptr;
    FrameTimer *m_frameTimer = nullptr;
};

} // namespace quillmere
