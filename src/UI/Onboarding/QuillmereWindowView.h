#pragma once

#include "Platform/Async/Clock.h"
#include "Platform/Async/TaskHandle.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <stop_token>

class QGraphicsOpacityEffect;
class QPropertyAnimation;
class QStackedLayout;

namespace quillmere {

class AquariumState;
class AuthState;
class ShellActions;
class WelcomeView;

// The main window's root: the welcome screen while no account is linked, the signed-in
// content after. It owns the window's one AquariumState, so the fish outlive the welcome
// screen's rebuilds. When the account becomes connected the fish scatter (0.8 s later, once
// the application is active), the welcome screen fades out when they are gone, and the
// aquarium is reset 1.5 s after that; when the account leaves connected the aquarium is
// reset and the welcome screen fades back in. Each fade shows the other page through the
// fading welcome page.
//
// A stored sign-in is no sign-in made in this window: while the start-up check may still
// connect, a neutral page covers the window, and when the check connects the signed-in page is
// there at once, without scatter or fade. A check that finds nothing, or waits for the
// keyring or the network, shows the welcome screen (whose prompt tells of the wait).
class QuillmereWindowView : public QWidget
{
    Q_OBJECT

public:
    static constexpr Clock::Duration scatterDelay = std::chrono::milliseconds(800);
    static constexpr Clock::Duration resetDelay = std::chrono::milliseconds(1500);
    // The welcome screen is gone at the latest this long after the scatter began, whether or
    // not every fish has left (a large or hidden window).
    static constexpr Clock::Duration welcomeDeadline = std::chrono::seconds(3);
    static constexpr int hideDurationMs = 1000;
    static constexpr int showDurationMs = 500;

    // The sign-in state, the clock and the actions must outlive the view.
    QuillmereWindowView(AuthState &authState, Clock &clock, const ShellActions &actions,
                        std::function<void()> openAccountWindow, QWidget *parent = nullptr);
    ~QuillmereWindowView() override;

    AquariumState &aquarium() const { return *m_aquarium; }
    WelcomeView *welcomeView() const { return m_welcome; }
    bool isWelcomeShown() const { return m_showWelcome; }
    // The neutral page covers the window while a stored sign-in is being checked.
    bool isNeutralShown() const { return !m_neutral->isHidden(); }
    // What the window shows once the account is linked; the view takes ownership.
    void setSignedInContent(QWidget *content);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    bool isConnected() const;
    bool isCheckingStoredSignIn() const;
    void storedSignInSettled(bool checkEnded);
    void connectionStateChanged();
    void startPendingScatter();
    QCoro::Task<> scatterLater(quint64 generation, std::stop_token stop);
    QCoro::Task<> enforceDeadline(quint64 generation, std::stop_token stop);
    QCoro::Task<> resetLater(quint64 generation, std::stop_token stop);
    void fishAllGone();
    void beginHide();
    void finishHide();
    void showWelcomeAgain();
    void fade(qreal from, qreal to, int durationMs, std::function<void()> done);
    void stopFade();

    QPointer<AuthState> m_authState;
    Clock &m_clock;
    AquariumState *m_aquarium = nullptr;
    QStackedLayout *m_pages = nullptr;
    WelcomeView *m_welcome = nullptr;
    QWidget *m_content = nullptr;
    QWidget *m_neutral = nullptr;
    QPointer<QPropertyAnimation> m_fade;

    bool m_showWelcome = true;
    bool m_wasConnected = false;
    bool m_pendingScatter = false;
    bool m_hiding = false;
    // The connection to come is the stored sign-in's (the start-up check, or its repeat once
    // the keyring or the network is back), not a sign-in made here.
    bool m_storedSignIn = false;
    // Raised whenever the account becomes or stops being connected; a delayed step carries
    // the value that scheduled it and is dropped once it differs.
    quint64 m_generation = 0;
    TaskHandle m_scatterTask;
    TaskHandle m_deadlineTask;
    TaskHandle m_resetTask;
};

} // namespace quillmere
