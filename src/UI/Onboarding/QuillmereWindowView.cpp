#include "UI/Onboarding/QuillmereWindowView.h"

#include "Accounts/AuthState.h"
#include "UI/Onboarding/AquariumCanvas.h"
#include "UI/Onboarding/AquariumState.h"
#include "UI/Onboarding/WelcomeView.h"

#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QPropertyAnimation>
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

    m_wasConnected = isConnected();
    m_showWelcome = !m_wasConnected;
    m_pages->setCurrentWidget(m_showWelcome ? static_cast<QWidget *>(m_welcome) : m_content);

    connect(&authState, &AuthState::connectionStateChanged, this, &QuillmereWindowView::connectionStateChanged);
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
}

bool QuillmereWindowView::isConnected() const
{
    return m_authState && m_authState->connectionState().is(ConnectionState::Kind::connected);
}

void QuillmereWindowView::connectionStateChanged()
{
    const bool connected = isConnected();
    if (connected == m_wasConnected)
        return;
    m_wasConnected = connected;
    ++m_generation;
    m_scatterTask = TaskHandle();
    m_deadlineTask = TaskHandle();
    m_resetTask = TaskHandle();
    if (connected) {
        m_pendingScatter = m_showWelcome;
        startPendingScatter();
    } else {
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
}

} // namespace quillmere
