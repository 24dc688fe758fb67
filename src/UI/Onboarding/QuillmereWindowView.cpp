#include "UI/Onboarding/QuillmereWindowView.h"

#include "Accounts/AuthState.h"
#include "UI/Onboarding/AquariumCanvas.h"
#include "UI/Onboarding/AquariumState.h"
#include "UI/Onboarding/WelcomeView.h"

#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QResizeEvent>
#include <QStackedLayout>

namespace quillmere {

QuillmereWindowView::QuillmereWindowView(AuthState &authState, Clock &clock, const ShellActions &actions,
                                         std::function<void()> openAccountWindow, QWidget *parent)
    : QWidget(parent), m_authState(&authState), m_clock(clock), m_aquarium(new AquariumState({}, this))
{
    setObjectName(QStringLiteral("quillmereWindowView"));
    setMinimumSize(WelcomeView::cardSize);
    m_pages = new QStackedLayout(this);
    m_pages->setContentsMargins(0, 0, 0, 0);
    m_welcome = new WelcomeView(authState, *m_aquarium, clock, actions, std::move(openAccountWindow), this);
    m_content = new QWidget(this);
    m_content->setObjectName(QStringLiteral("signedInContent"));
    m_pages->addWidget(m_welcome);
    m_pages->addWidget(m_content);

    // Covers both pages while a stored sign-in may still connect: a returning user never sees
    // the welcome screen for the moment the check takes.
    m_neutral = new QWidget(this);
    m_neutral->setObjectName(QStringLiteral("neutralPage"));
    m_neutral->setAutoFillBackground(true);

    m_wasConnected = isConnected();
    m_storedSignIn = !m_wasConnected && isCheckingStoredSignIn();
    m_showWelcome = !m_wasConnected && !m_storedSignIn;
    // Under the neutral page the signed-in page waits: the welcome page would animate unseen.
    m_pages->setCurrentWidget(m_showWelcome ? static_cast<QWidget *>(m_welcome) : m_content);
    m_neutral->setVisible(m_storedSignIn);
    m_neutral->raise();

    connect(&authState, &AuthState::connectionStateChanged, this, &QuillmereWindowView::connectionStateChanged);
    connect(&authState, &AuthState::startupCheckFinished, this, [this] { storedSignInSettled(true); });
    connect(&authState, &AuthState::waitingChanged, this, [this] { storedSignInSettled(false); });
    connect(m_aquarium, &AquariumState::allGoneChanged, this, &QuillmereWindowView::fishAllGone);
    // A sign-in finished in the browser scatters the fish when the user comes back.
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, &QuillmereWindowView::startPendingScatter);
}

QuillmereWindowView::~QuillmereWindowView() = default;

void QuillmereWindowView::setSignedInContent(QWidget *content)
{
    const bool current = m_pages->currentWidget() == m_content;
    m_pages->removeWidget(m_content);
    delete m_content;
    m_content = content;
    m_pages->addWidget(m_content);
    if (current)
        m_pages->setCurrentWidget(m_content);
    m_neutral->raise();
}

bool QuillmereWindowView::isConnected() const
{
    return m_authState && m_authState->connectionState().is(ConnectionState::Kind::connected);
}

bool QuillmereWindowView::isCheckingStoredSignIn() const
{
    return m_authState && !m_authState->hasFinishedStartupCheck() && !m_authState->isWaitingForNetwork()
        && !m_authState->isWaitingForVault();
}

void QuillmereWindowView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_neutral->setGeometry(rect());
}

void QuillmereWindowView::storedSignInSettled(bool checkEnded)
{
    // A stored sign-in that waits (keyring, network) or found nothing: the welcome screen,
    // whose prompt tells of the wait.
    if (isConnected() || isCheckingStoredSignIn())
        return;
    // A sign-in still stored (waiting) connects later as the stored one, through a repeated
    // check, which leaves the wait shown until it decides. A check that ended without waiting
    // found nothing: the next connection is a sign-in made here.
    const bool waiting = m_authState->isWaitingForNetwork() || m_authState->isWaitingForVault();
    if (waiting)
        m_storedSignIn = true;
    else if (checkEnded)
        m_storedSignIn = false;
    if (m_neutral->isHidden())
        return;
    m_neutral->hide();
    m_showWelcome = true;
    m_pages->setCurrentWidget(m_welcome);
}

void QuillmereWindowView::connectionStateChanged()
{
    const bool connected = isConnected();
    const bool linkingHere = m_authState
        && (m_authState->connectionState().is(ConnectionState::Kind::requestingCode)
            || m_authState->connectionState().is(ConnectionState::Kind::polling));
    if (linkingHere)
        m_storedSignIn = false;
    if (connected == m_wasConnected)
        return;
    m_wasConnected = connected;
    ++m_generation;
    m_scatterTask = TaskHandle();
    m_deadlineTask = TaskHandle();
    m_resetTask = TaskHandle();
    if (connected) {
        if (m_storedSignIn || m_neutral->isVisible()) {
            // The stored sign-in reconnected: no sign-in was made in this window, so nothing
            // scatters; the signed-in page is simply there.
            m_storedSignIn = false;
            m_neutral->hide();
            stopFade();
            m_hiding = false;
            m_showWelcome = false;
            m_pages->setCurrentWidget(m_content);
            return;
        }
        m_pendingScatter = m_showWelcome;
        startPendingScatter();
    } else {
        m_storedSignIn = false;
        m_neutral->hide();
        m_pendingScatter = false;
        showWelcomeAgain();
    }
}

void QuillmereWindowView::startPendingScatter()
{
    if (!m_pendingScatter || QGuiApplication::applicationState() != Qt::ApplicationActive)
        return;
    m_pendingScatter = false;
    const quint64 generation = m_generation;
    m_scatterTask = TaskHandle::start([this, generation](std::stop_token stop) { return scatterLater(generation, stop); });
}

QCoro::Task<> QuillmereWindowView::scatterLater(quint64 generation, std::stop_token stop)
{
    QPointer<QuillmereWindowView> self(this);
    auto sleeping = m_clock.sleepFor(scatterDelay, stop);
    if (!co_await std::move(sleeping) || !self || generation != m_generation)
        co_return;
    // Away from the centre the fish actually orbit: the canvas's own size.
    const QSizeF size = m_welcome->canvas()->canvasSize();
    m_aquarium->scatter(size.width(), size.height());
    m_deadlineTask =
        TaskHandle::start([this, generation](std::stop_token stop) { return enforceDeadline(generation, stop); });
}

QCoro::Task<> QuillmereWindowView::enforceDeadline(quint64 generation, std::stop_token stop)
{
    QPointer<QuillmereWindowView> self(this);
    auto sleeping = m_clock.sleepFor(welcomeDeadline, stop);
    if (!co_await std::move(sleeping) || !self || generation != m_generation || !m_showWelcome)
        co_return;
    // The fish did not get out in time (a hidden window does not animate, a large one takes
    // long to cross): the welcome screen goes now.
    if (!m_hiding)
        beginHide();
    finishHide();
}

QCoro::Task<> QuillmereWindowView::resetLater(quint64 generation, std::stop_token stop)
{
    QPointer<QuillmereWindowView> self(this);
    auto sleeping = m_clock.sleepFor(resetDelay, stop);
    if (!co_await std::move(sleeping) || !self || generation != m_generation)
        co_return;
    m_aquarium->reset();
}

void QuillmereWindowView::fishAllGone()
{
    if (m_aquarium->allGone() && isConnected() && m_showWelcome && !m_hiding)
        beginHide();
}

void QuillmereWindowView::beginHide()
{
    m_hiding = true;
    const quint64 generation = m_generation;
    m_resetTask = TaskHandle::start([this, generation](std::stop_token stop) { return resetLater(generation, stop); });
    fade(1, 0, hideDurationMs, [this, generation] {
        if (generation == m_generation)
            finishHide();
    });
}

void QuillmereWindowView::finishHide()
{
    stopFade();
    m_hiding = false;
    m_showWelcome = false;
    m_pages->setCurrentWidget(m_content);
}

void QuillmereWindowView::showWelcomeAgain()
{
    stopFade();
    m_hiding = false;
    m_aquarium->reset();
    if (m_showWelcome)
        return;
    m_showWelcome = true;
    m_pages->setCurrentWidget(m_welcome);
    fade(0, 1, showDurationMs, [this] { stopFade(); });
}

void QuillmereWindowView::fade(qreal from, qreal to, int durationMs, std::function<void()> done)
{
    stopFade();
    // Both pages on screen, the welcome page on top: the signed-in page is what shows through
    // it. One page alone would leave nothing under the fading one (black, or the last frame).
    m_pages->setStackingMode(QStackedLayout::StackAll);
    m_pages->setCurrentWidget(m_welcome);
    m_content->show();
    m_welcome->raise();
    auto *effect = new QGraphicsOpacityEffect(m_welcome);
    effect->setOpacity(from);
    m_welcome->setGraphicsEffect(effect);
    auto *animation = new QPropertyAnimation(effect, "opacity", effect);
    animation->setStartValue(from);
    animation->setEndValue(to);
    animation->setDuration(durationMs);
    animation->setEasingCurve(QEasingCurve::InOutQuad);
    m_fade = animation;
    // Queued: the end step removes the effect, which owns the animation that is emitting.
    const QPointer<QPropertyAnimation> started(animation);
    connect(
        animation, &QPropertyAnimation::finished, this,
        [this, started, done = std::move(done)] {
            if (started && started == m_fade)
                done();
        },
        Qt::QueuedConnection);
    animation->start();
}

void QuillmereWindowView::stopFade()
{
    if (m_fade)
        m_fade->stop();
    m_fade = nullptr;
    // Removing the effect deletes it, and its animation with it.
    m_welcome->setGraphicsEffect(nullptr);
    if (m_pages->stackingMode() == QStackedLayout::StackAll) {
        QWidget *current = m_pages->currentWidget();
        m_pages->setStackingMode(QStackedLayout::StackOne);
        m_pages->setCurrentWidget(current);
    }
}

} // namespace quillmere
