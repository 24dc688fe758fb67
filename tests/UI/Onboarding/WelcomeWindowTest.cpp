#include "Accounts/AuthState.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Http/TransportError.h"
#include "UI/Onboarding/AquariumCanvas.h"
#include "UI/Onboarding/AquariumState.h"
#include "UI/Onboarding/DeviceLinkView.h"
#include "UI/Onboarding/FrameTimer.h"
#include "UI/Onboarding/QuillmereWindowView.h"
#include "UI/Onboarding/ShellActions.h"
#include "UI/Onboarding/WelcomeView.h"
#include "fake-service/FakeHarborly.h"
#include "support/ScriptedService.h"
#include "support/TestSupport.h"
#include "support/TlsServer.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QWindow>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::runFor;
using quillmere::test::runUntil;
using Kind = ConnectionState::Kind;

namespace {

class WelcomeWindowTest : public ::testing::Test, protected quillmere::test::TokenFixture
{
protected:
    void SetUp() override
    {
        fake.start();
        account = fake.addAccount();
    }

    void TearDown() override
    {
        window.reset();
        auth.reset();
        runFor(50ms);
        quillmere::test::drainEvents();
    }

    QuillmereWindowView &makeWindow()
    {
        auth = std::make_unique<AuthState>(vault, clock, ExternalURLOpener(), [this] { return fake.baseURL(); });
        window = std::make_unique<QuillmereWindowView>(*auth, clock, actions, [this] { ++accountWindowOpenings; });
        return *window;
    }

    // Shown, active and animating.
    QuillmereWindowView &showWindow()
    {
        makeWindow();
        window->show();
        window->activateWindow();
        EXPECT_TRUE(runUntil([&] { return frameTimer()->isRunning(); }, 5s));
        EXPECT_TRUE(runUntil([] { return QGuiApplication::applicationState() == Qt::ApplicationActive; }, 5s));
        return *window;
    }

    FrameTimer *frameTimer() const { return window->welcomeView()->frameTimer(); }
    AquariumCanvas *canvas() const { return window->welcomeView()->canvas(); }
    QPushButton *button(const char *name) const
    {
        return window->findChild<QPushButton *>(QLatin1String(name));
    }
    // How many frames the canvas is given in this much time.
    quint64 framesDuring(std::chrono::milliseconds duration)
    {
        const quint64 before = canvas()->frameToken();
        runFor(duration);
        return canvas()->frameToken() - before;
    }

    quillmere::test::FakeHarborly fake;
    qint64 account = 0;
    ManualClock clock{QDateTime::currentDateTimeUtc()};
    std::vector<QUrl> opened;
    ShellActions actions{[this] { return fake.baseURL(); }, [this](const QUrl &url) {
                             opened.push_back(url);
                             return true;
                         }};
    int accountWindowOpenings = 0;
    std::unique_ptr<AuthState> auth;
    std::unique_ptr<QuillmereWindowView> window;
};

} // namespace

// One 16 ms timer drives the animation, and only while the welcome page is on screen.
TEST_F(WelcomeWindowTest, FrameTimerRunsOnlyWhileTheWelcomeScreenIsOnScreen)
{
    makeWindow();
    runFor(100ms);
    EXPECT_FALSE(frameTimer()->isRunning());
    EXPECT_EQ(canvas()->frameToken(), 0u);
    EXPECT_TRUE(window->aquarium().fish().empty()) << "nothing steps the fish before the window shows";

    showWindow();
    EXPECT_TRUE(runUntil([&] { return window->aquarium().fish().size() == 5; }));
    // Shown again and again: still one timer, about 60 frames a second and never twice that.
    for (int i = 0; i < 3; ++i) {
        window->hide();
        EXPECT_FALSE(frameTimer()->isRunning());
        window->show();
        ASSERT_TRUE(runUntil([&] { return frameTimer()->isRunning(); }));
    }
    const quint64 frames = framesDuring(400ms);
    EXPECT_GT(frames, 5u);
    EXPECT_LE(frames, 400u / 16 + 4);

    window->showMinimized();
    ASSERT_TRUE(runUntil([&] { return !frameTimer()->isRunning(); }));
    EXPECT_EQ(framesDuring(100ms), 0u);
    window->showNormal();
    ASSERT_TRUE(runUntil([&] { return frameTimer()->isRunning(); }));

    window->hide();
    EXPECT_FALSE(frameTimer()->isRunning());
    EXPECT_EQ(framesDuring(100ms), 0u);
}

TEST_F(WelcomeWindowTest, ButtonsDriveTheSignInStateAndTheShellsActions)
{
    showWindow();
    fake.delayNext("/api/v1/auth/device", 300ms);
    QTest::mouseClick(button("connectButton"), Qt::LeftButton);
    EXPECT_TRUE(auth->connectionState().is(Kind::requestingCode)) << "shown before any reply arrives";
    EXPECT_EQ(window->welcomeView()->deviceLinkView()->connectionState(), auth->connectionState());
    ASSERT_TRUE(runUntil([&] { return auth->connectionState().is(Kind::polling); }));
    const ConnectionState polling = auth->connectionState();

    // The fake's page is http on loopback, like the fake itself.
    QTest::mouseClick(button("openPageButton"), Qt::LeftButton);
    EXPECT_EQ(opened, std::vector<QUrl>{QUrl(polling.verificationUrl())});
    QTest::mouseClick(button("copyCodeButton"), Qt::LeftButton);
    EXPECT_EQ(QApplication::clipboard()->text(), polling.userCode());

    auth->setConnectionState(ConnectionState::error(QStringLiteral("Invalid device code. Please try again.")));
    QTest::mouseClick(button("tryAgainButton"), Qt::LeftButton);
    EXPECT_TRUE(auth->connectionState().is(Kind::disconnected));
    EXPECT_FALSE(auth->hasPollingTask());
    EXPECT_EQ(fake.requestsTo("POST", "/api/v1/auth/device").size(), 1u) << "Try Again asks for no code";

    QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
    EXPECT_EQ(accountWindowOpenings, 1);
}

// The window goes away while the code request is out: the sign-in state finishes the flow.
TEST_F(WelcomeWindowTest, ClosingTheWindowMidRequestLosesNothing)
{
    showWindow();
    fake.delayNext("/api/v1/auth/device", 200ms);
    QTest::mouseClick(button("connectButton"), Qt::LeftButton);
    window.reset();
    ASSERT_TRUE(runUntil([&] { return auth->connectionState().is(Kind::polling); }));
    ASSERT_TRUE(fake.approveDevice(auth->connectionState().userCode(), account));
    // Found by the first poll, or by the next one.
    ASSERT_TRUE(runUntil([&] { return auth->connectionState().is(Kind::connected) || clock.pendingSleepers() > 0; }));
    clock.advance(AuthState::pollInterval);
    ASSERT_TRUE(runUntil([&] { return auth->connectionState().is(Kind::connected); }));
    EXPECT_TRUE(storedToken().has_value());
}

TEST_F(WelcomeWindowTest, SignInScattersTheFishThenTheWelcomeScreenGivesWay)
{
    showWindow();
    ASSERT_TRUE(runUntil([&] { return window->aquarium().fish().size() == 5; }));
    auth->setConnectionState(ConnectionState::connected());
    clock.advance(QuillmereWindowView::scatterDelay - 1ms);
    EXPECT_FALSE(window->aquarium().isScattering());
    clock.advance(1ms);
    EXPECT_TRUE(window->aquarium().isScattering());

    // The frame timer carries the fish out; the screen fades and switches once they are gone.
    ASSERT_TRUE(runUntil([&] { return window->aquarium().allGone(); }, 5s));
    EXPECT_TRUE(window->isWelcomeShown()) << "fading out";
    ASSERT_TRUE(runUntil([&] { return !window->isWelcomeShown(); }, 5s));
    EXPECT_FALSE(frameTimer()->isRunning());
    clock.advance(QuillmereWindowView::resetDelay);
    EXPECT_FALSE(window->aquarium().allGone());
    EXPECT_FALSE(window->aquarium().hasInitialized());

    // Signed out: the welcome screen is back with a fresh tank.
    auth->setConnectionState(ConnectionState::disconnected());
    EXPECT_TRUE(window->isWelcomeShown());
    ASSERT_TRUE(runUntil([&] { return window->aquarium().fish().size() == 5; }));
}

namespace {

// What the window shows on screen now, in two numbers: mean brightness, and how green it is
// (mean of green minus blue; the welcome page is blue, the test's signed-in page green).
struct Look
{
    double brightness = 0;
    double green = 0;
};

Look lookOnScreen(QWidget &window)
{
    QImage image;
    if (QScreen *screen = window.windowHandle() ? window.windowHandle()->screen() : nullptr)
        image = screen->grabWindow(window.winId()).toImage();
    if (image.isNull())
        image = window.grab().toImage();
    image = image.convertToFormat(QImage::Format_RGB32);
    Look look;
    qint64 count = 0;
    for (int y = 0; y < image.height(); y += 4) {
        const auto *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); x += 4, ++count) {
            look.brightness += qGray(row[x]);
            look.green += qGreen(row[x]) - qBlue(row[x]);
        }
    }
    if (count) {
        look.brightness /= double(count);
        look.green /= double(count);
    }
    return look;
}

} // namespace

// Through both fades one page shows through the other: the frames pass through mixtures of
// the two, and none is darker than both (the stack showed nothing under the fading page:
// black, or the last frame left in the window, so the fade never showed at all).
TEST_F(WelcomeWindowTest, TheFadesShowOnePageThroughTheOtherNeverBlack)
{
    makeWindow();
    auto *content = new QWidget;
    content->setAutoFillBackground(true);
    QPalette green = content->palette();
    green.setColor(QPalette::Window, QColor(60, 200, 80));
    content->setPalette(green);
    window->setSignedInContent(content);
    window->resize(800, 560);
    window->show();
    window->activateWindow();
    ASSERT_TRUE(runUntil([&] { return frameTimer()->isRunning(); }, 5s));
    ASSERT_TRUE(runUntil([] { return QGuiApplication::applicationState() == Qt::ApplicationActive; }, 5s));
    ASSERT_TRUE(runUntil([&] { return window->aquarium().fish().size() == 5; }));
    runFor(50ms);
    const Look welcome = lookOnScreen(*window);

    auth->setConnectionState(ConnectionState::connected());
    clock.advance(QuillmereWindowView::scatterDelay);
    ASSERT_TRUE(runUntil([&] { return window->aquarium().allGone(); }, 5s));
    std::vector<Look> hiding;
    while (window->isWelcomeShown() && hiding.size() < 200) {
        runFor(20ms);
        hiding.push_back(lookOnScreen(*window));
    }
    ASSERT_FALSE(window->isWelcomeShown());
    runFor(50ms);
    const Look signedIn = lookOnScreen(*window);
    ASSERT_GT(signedIn.green, welcome.green + 50) << "the pages can be told apart";

    // Somewhere between a fifth and four fifths of the way from one page to the other.
    auto mixed = [&](const std::vector<Look> &frames) {
        const double span = signedIn.green - welcome.green;
        return std::any_of(frames.begin(), frames.end(), [&](const Look &frame) {
            return frame.green > welcome.green + span / 5 && frame.green < signedIn.green - span / 5;
        });
    };
    const double floor = std::min(welcome.brightness, signedIn.brightness) - 6;
    auto noneDark = [&](const std::vector<Look> &frames) {
        return std::all_of(frames.begin(), frames.end(), [&](const Look &frame) { return frame.brightness >= floor; });
    };
    EXPECT_TRUE(mixed(hiding)) << "the signed-in page shows through the fading welcome page";
    EXPECT_TRUE(noneDark(hiding));

    auth->setConnectionState(ConnectionState::disconnected());
    std::vector<Look> showing;
    for (int i = 0; i < 30; ++i) {
        runFor(20ms);
        showing.push_back(lookOnScreen(*window));
    }
    EXPECT_TRUE(mixed(showing)) << "the welcome page fades in over the signed-in page";
    EXPECT_TRUE(noneDark(showing));
}

// Every delayed step belongs to the connection that scheduled it.
TEST_F(WelcomeWindowTest, SigningOutDropsTheStepsTheSignInScheduled)
{
    showWindow();
    auth->setConnectionState(ConnectionState::connected());
    clock.advance(QuillmereWindowView::scatterDelay / 2);
    auth->setConnectionState(ConnectionState::disconnected());
    clock.advance(QuillmereWindowView::scatterDelay);
    EXPECT_FALSE(window->aquarium().isScattering()) << "a scatter for a connection that ended";

    // Signed out again while the screen fades: it stays, and the tank starts afresh.
    ASSERT_TRUE(runUntil([&] { return window->aquarium().fish().size() == 5; }));
    auth->setConnectionState(ConnectionState::connected());
    clock.advance(QuillmereWindowView::scatterDelay);
    ASSERT_TRUE(runUntil([&] { return window->aquarium().allGone(); }, 5s));
    auth->setConnectionState(ConnectionState::disconnected());
    EXPECT_FALSE(window->aquarium().isScattering());
    runFor(std::chrono::milliseconds(QuillmereWindowView::hideDurationMs + 200));
    EXPECT_TRUE(window->isWelcomeShown());
    clock.advance(QuillmereWindowView::welcomeDeadline);
    EXPECT_TRUE(window->isWelcomeShown()) << "no deadline of the old connection hides it";
    EXPECT_FALSE(window->aquarium().fish().empty());
}

// Fish that cannot leave (the window is minimised, so they do not move) do not keep the
// welcome screen: it is gone three seconds after the scatter began.
TEST_F(WelcomeWindowTest, WelcomeScreenIsGoneThreeSecondsAfterTheScatterAtTheLatest)
{
    showWindow();
    ASSERT_TRUE(runUntil([&] { return window->aquarium().fish().size() == 5; }));
    auth->setConnectionState(ConnectionState::connected());
    clock.advance(QuillmereWindowView::scatterDelay);
    ASSERT_TRUE(window->aquarium().isScattering());
    window->showMinimized();
    ASSERT_TRUE(runUntil([&] { return !frameTimer()->isRunning(); }));
    clock.advance(QuillmereWindowView::welcomeDeadline - 1ms);
    EXPECT_TRUE(window->isWelcomeShown());
    EXPECT_FALSE(window->aquarium().allGone());
    clock.advance(1ms);
    EXPECT_FALSE(window->isWelcomeShown());
    clock.advance(QuillmereWindowView::resetDelay);
    EXPECT_TRUE(window->aquarium().fish().empty());
    EXPECT_FALSE(window->aquarium().isScattering());
}

namespace {

// A stored sign-in that waits because the service's certificate is refused (a network that
// intercepts the connection) names that cause on the page, as the tray's line does.
TEST_F(WelcomeWindowTest, AStoredSignInWaitingOnARefusedCertificateNamesItOnThePrompt)
{
    const quillmere::test::Key key = quillmere::test::makeKey();
    const quillmere::test::Certificate selfSigned =
        quillmere::test::makeCertificate(key.get(), "127.0.0.1", "IP:127.0.0.1", -1, 30);
    quillmere::test::TlsServer intercepting(selfSigned.get(), key.get());
    const QUrl interceptingURL = intercepting.url(QStringLiteral("/"));
    storeToken(fake.issueToken(account), clock.currentDateTime().addSecs(-1));
    auth = std::make_unique<AuthState>(vault, clock, ExternalURLOpener(), [interceptingURL] { return interceptingURL; });
    window = std::make_unique<QuillmereWindowView>(*auth, clock, actions, [] {});
    DeviceLinkView *link = window->welcomeView()->deviceLinkView();
    ASSERT_TRUE(runUntil([&] { return auth->isWaitingForNetwork(); }));
    const QString cause = QString::fromUtf8(TransportError(TransportError::Code::certificateUntrusted).what());
    ASSERT_EQ(auth->waitingCause(), cause);
    EXPECT_TRUE(link->waitingNotice().contains(cause)) << link->waitingNotice().toStdString();
    EXPECT_TRUE(link->waitingNotice().startsWith(DeviceLinkView::waitingNoticeFor(true, false)))
        << "still says that the computer is linked";
    window.reset();
    auth.reset();
}

TEST_F(WelcomeWindowTest, AStoredSignInThatWaitsForTheNetworkSaysSoOnThePrompt)
{
    storeToken(fake.issueToken(account), clock.currentDateTime().addSecs(-1));
    fake.dropNext("/api/v1/auth/refresh", -1);
    makeWindow();
    DeviceLinkView *link = window->welcomeView()->deviceLinkView();
    EXPECT_TRUE(link->waitingNotice().isEmpty());
    ASSERT_TRUE(runUntil([&] { return auth->isWaitingForNetwork(); }));
    EXPECT_EQ(link->waitingNotice(), DeviceLinkView::waitingNoticeFor(true, false));
    EXPECT_FALSE(link->waitingNotice().isEmpty());

    fake.clearFaults();
    auth->networkBecameAvailable();
    ASSERT_TRUE(runUntil([&] { return auth->connectionState().is(Kind::connected); }));
    EXPECT_TRUE(link->waitingNotice().isEmpty());
}

} // namespace
