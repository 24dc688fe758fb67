// The main window's welcome screen in each sign-in state, and the device-link view alone
// (as the tray panel embeds it).

#include "screenshots/Screenshots.h"

#include "Accounts/AuthState.h"
#include "Platform/Async/ManualClock.h"
#include "UI/Onboarding/AquariumCanvas.h"
#include "UI/Onboarding/AquariumState.h"
#include "UI/Onboarding/DeviceLinkView.h"
#include "UI/Onboarding/ShellActions.h"
#include "UI/Onboarding/WelcomeView.h"

namespace quillmere::screenshots {

namespace {

const QUrl serviceBase(QStringLiteral("https://harborly.example"));
const QString verificationAddress = QStringLiteral("https://harborly.example/link");
const QString userCode = QStringLiteral("WDJB-MJHT");
const QString failure =
    QStringLiteral("Could not connect to the server. Check your internet connection and try again in a moment.");

ShellActions quietActions()
{
    return ShellActions([] { return serviceBase; }, [](const QUrl &) { return false; });
}

// About 40 s of swimming (the tank fills up as it would), then optionally a scatter.
QImage welcome(Environment &environment, const ConnectionState &state, QSize size = WelcomeView::cardSize,
               int scatterSteps = -1)
{
    // No token is stored, so the start-up check leaves the state as set here.
    AuthState auth(environment.vault(), environment.clock(), ExternalURLOpener(), [] { return serviceBase; });
    auth.setConnectionState(state);
    AquariumState aquarium(AquariumState::seededRandom(20260101));
    const ShellActions actions = quietActions();
    WelcomeView view(auth, aquarium, environment.clock(), actions, {});
    return capture(view, size, [&] {
        for (int i = 0; i < 2400; ++i)
            view.canvas()->advance();
        if (scatterSteps >= 0) {
            aquarium.scatter(view.canvas()->canvasSize().width(), view.canvas()->canvasSize().height());
            for (int i = 0; i < scatterSteps; ++i)
                view.canvas()->advance();
        }
    });
}

QImage deviceLink(const ConnectionState &state)
{
    const ShellActions actions = quietActions();
    DeviceLinkView view([&](const QString &address) { return actions.acceptedVerificationURL(address); });
    view.setConnectionState(state);
    view.setAutoFillBackground(true);
    return capture(view, view.sizeHint().expandedTo(QSize(360, 0)));
}

const bool registered = addStates({
    {QStringLiteral("welcome-disconnected"), QStringLiteral("welcome screen with fish, link prompt"),
     [](Environment &e) { return welcome(e, ConnectionState::disconnected()); }},
    {QStringLiteral("welcome-requesting-code"), QStringLiteral("welcome screen while the device code is requested"),
     [](Environment &e) { return welcome(e, ConnectionState::requestingCode()); }},
    {QStringLiteral("welcome-polling"), QStringLiteral("welcome screen showing the code to enter"),
     [](Environment &e) { return welcome(e, ConnectionState::polling(userCode, verificationAddress)); }},
    {QStringLiteral("welcome-connected"), QStringLiteral("welcome screen once linked, before it gives way"),
     [](Environment &e) { return welcome(e, ConnectionState::connected()); }},
    {QStringLiteral("welcome-error"), QStringLiteral("welcome screen after a failed code request"),
     [](Environment &e) { return welcome(e, ConnectionState::error(failure)); }},
    {QStringLiteral("welcome-scattering"), QStringLiteral("the fish fleeing the window after sign-in"),
     [](Environment &e) { return welcome(e, ConnectionState::connected(), WelcomeView::cardSize, 12); }},
    {QStringLiteral("welcome-large-window"), QStringLiteral("welcome screen in a window larger than the card"),
     [](Environment &e) { return welcome(e, ConnectionState::disconnected(), QSize(1180, 760)); }},
    {QStringLiteral("device-link-disconnected"), QStringLiteral("device-link view: prompt"),
     [](Environment &) { return deviceLink(ConnectionState::disconnected()); }},
    {QStringLiteral("device-link-requesting-code"), QStringLiteral("device-link view: requesting a code"),
     [](Environment &) { return deviceLink(ConnectionState::requestingCode()); }},
    {QStringLiteral("device-link-polling"), QStringLiteral("device-link view: code entry"),
     [](Environment &) { return deviceLink(ConnectionState::polling(userCode, verificationAddress)); }},
    {QStringLiteral("device-link-refused-address"),
     QStringLiteral("device-link view: code entry with an address that may not be opened"),
     [](Environment &) { return deviceLink(ConnectionState::polling(userCode, QStringLiteral("http://harborly.example/link"))); }},
    {QStringLiteral("device-link-connected"), QStringLiteral("device-link view: linked"),
     [](Environment &) { return deviceLink(ConnectionState::connected()); }},
    {QStringLiteral("device-link-error"), QStringLiteral("device-link view: connection error"),
     [](Environment &) { return deviceLink(ConnectionState::error(failure)); }},
});

} // namespace

} // namespace quillmere::screenshots
