// The tray icon's states, the panel's lines and what the menu and the panel offer.

#include "Accounts/AuthState.h"
#include "App/MainWindow.h"
#include "App/PanelState.h"
#include "App/MenuBarView.h"
#include "App/ShellStatus.h"
#include "App/StatusPanel.h"
#include "App/TrayController.h"
#include "App/TrayIconPainter.h"
#include "Platform/Async/ManualClock.h"
#include "UI/Onboarding/DeviceLinkView.h"
#include "UI/Onboarding/QuillmereWindowView.h"
#include "UI/Onboarding/ShellActions.h"
#include "support/ScriptedService.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLayout>
#include <QMenu>
#include <QLabel>
#include <QPushButton>

#include <set>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::runFor;
using quillmere::test::runUntil;

namespace {

ShellStatus linkedAndIdle()
{
    ShellStatus status;
    status.connected = true;
    status.hasFolders = true;
    status.hasLanes = true;
    status.syncNowAvailable = true;
    status.pauseAvailable = true;
    return status;
}

TEST(ShellStatusTest, TheIconShowsTheMostPressingStateAndTheLineNeverCallsAFailureIdle)
{
    ShellStatus status = linkedAndIdle();
    EXPECT_EQ(trayIconState(status), TrayIconState::idle);
    EXPECT_EQ(statusLine(status), QStringLiteral("Up to date"));

    status.hasFolders = status.hasLanes = false;
    EXPECT_EQ(trayIconState(status), TrayIconState::noFolders);
    EXPECT_TRUE(statusLine(status).contains(QStringLiteral("no sync folder"))) << statusLine(status).toStdString();
    status.hasFolders = status.hasLanes = true;

    status.engineState = SyncEngineState::syncing();
    status.currentFileName = QStringLiteral("Take 3.wav");
    EXPECT_EQ(trayIconState(status), TrayIconState::syncing);
    EXPECT_EQ(statusLine(status), QStringLiteral("Syncing Take 3.wav"));

    status.engineState = SyncEngineState::idle();
    status.paused = true;
    EXPECT_EQ(trayIconState(status), TrayIconState::paused);

    status.engineState = SyncEngineState::error(QStringLiteral("Cannot write Mix.wav"));
    EXPECT_EQ(trayIconState(status), TrayIconState::error);
    EXPECT_EQ(statusLine(status), QStringLiteral("Cannot write Mix.wav"));

    status.storageFull = true;
    EXPECT_EQ(trayIconState(status), TrayIconState::storageFull);
    status.sessionProblem = QStringLiteral("could not clear");
    EXPECT_EQ(trayIconState(status), TrayIconState::error);
    EXPECT_EQ(statusLine(status), QStringLiteral("could not clear"));

    status.awaitingAccount = true;
    EXPECT_EQ(trayIconState(status), TrayIconState::hibernating);
    EXPECT_TRUE(statusLine(status).contains(QStringLiteral("confirm")));
    status.hibernating = true;
    status.hibernationInterval = 240;
    EXPECT_TRUE(statusLine(status).contains(QStringLiteral("4 min"))) << statusLine(status).toStdString();

    status.connected = false;
    EXPECT_EQ(trayIconState(status), TrayIconState::disconnected);
    EXPECT_EQ(statusLine(status), QStringLiteral("Not linked to Harborly"));
    status.waitingForNetwork = true;
    EXPECT_NE(statusLine(status), QStringLiteral("Not linked to Harborly")) << "a stored sign-in is no sign-out";

    // Offline wins the icon, linked or not; the line still tells the rest.
    status.networkAvailable = false;
    EXPECT_EQ(trayIconState(status), TrayIconState::offline);
    ShellStatus syncing = linkedAndIdle();
    syncing.networkAvailable = false;
    syncing.engineState = SyncEngineState::syncing();
    EXPECT_EQ(trayIconState(syncing), TrayIconState::offline);
    EXPECT_EQ(statusLine(syncing), QStringLiteral("Syncing…"));
    EXPECT_EQ(statusBanner(syncing), QStringLiteral("No internet connection"));
}

TEST(ShellStatusTest, SyncNowAndPauseAreOfferedOnlyWhereTheyCanAct)
{
    ShellStatus status = linkedAndIdle();
    EXPECT_TRUE(canSyncNow(status));
    EXPECT_TRUE(canTogglePause(status));
    EXPECT_EQ(pauseActionTitle(status), QStringLiteral("Pause Sync"));
    status.paused = true;
    EXPECT_FALSE(canSyncNow(status));
    EXPECT_TRUE(canTogglePause(status));
    EXPECT_EQ(pauseActionTitle(status), QStringLiteral("Resume Sync"));

    for (auto withhold : {&ShellStatus::syncNowAvailable, &ShellStatus::hasLanes, &ShellStatus::connected}) {
        ShellStatus other = linkedAndIdle();
        other.*withhold = false;
        EXPECT_FALSE(canSyncNow(other));
    }
    status = linkedAndIdle();
    status.pauseAvailable = false;
    EXPECT_FALSE(canTogglePause(status)) << "an engine without pause gets a disabled item, not an imitation";
    status = linkedAndIdle();
    status.hibernating = true;
    EXPECT_FALSE(canSyncNow(status));
}

TEST(ShellStatusTest, PauseNeedsALaneToPauseAndResumeIsAlwaysOffered)
{
    ShellStatus status = linkedAndIdle();
    status.hasLanes = status.hasFolders = false;
    EXPECT_FALSE(canTogglePause(status)) << "no folder has a location: nothing to pause";
    status.paused = true;
    EXPECT_TRUE(canTogglePause(status)) << "a pause is always undone";
    EXPECT_EQ(pauseActionTitle(status), QStringLiteral("Resume Sync"));
}

TEST(ShellStatusTest, AnOutageAndMaintenanceAreShownAsWhatTheyAre)
{
    ShellStatus status = linkedAndIdle();
    status.lastSyncAt = QDateTime(QDate(2026, 5, 1), QTime(9, 15));
    const QDateTime since(QDate(2026, 5, 1), QTime(10, 40));
    status.unreachableSince = since;
    EXPECT_EQ(trayIconState(status), TrayIconState::hibernating);
    EXPECT_EQ(statusLine(status), QStringLiteral("Harborly cannot be reached since %1")
                                      .arg(since.toLocalTime().time().toString(QStringLiteral("HH:mm"))));
    status.unreachableCause = QStringLiteral("The secure connection failed: the server's certificate is not trusted.");
    EXPECT_EQ(statusLine(status), QStringLiteral("Harborly cannot be reached since %1 — %2")
                                      .arg(since.toLocalTime().time().toString(QStringLiteral("HH:mm")),
                                           status.unreachableCause));
    status.engineState = SyncEngineState::syncing();
    EXPECT_EQ(trayIconState(status), TrayIconState::hibernating) << "retries are no progress";
    status.hibernating = true;
    status.hibernationInterval = 120;
    EXPECT_EQ(statusLine(status), QStringLiteral("Harborly cannot be reached — trying again in 2 min — %1")
                                      .arg(status.unreachableCause))
        << "hibernating, the silence keeps its cause";
    status.unreachableCause.clear();
    EXPECT_EQ(statusLine(status), QStringLiteral("Harborly cannot be reached — trying again in 2 min"));

    // Not yet connected: the stored sign-in waits for the service, for a reason when it has one.
    status = ShellStatus();
    status.waitingForNetwork = true;
    EXPECT_EQ(statusLine(status), QStringLiteral("Linked — waiting for Harborly to confirm the sign-in"));
    status.waitingCause = QStringLiteral("The secure connection failed: the server's certificate has expired.");
    EXPECT_EQ(statusLine(status), QStringLiteral("Linked — waiting for Harborly to confirm the sign-in — %1")
                                      .arg(status.waitingCause));

    status = linkedAndIdle();
    status.maintenance = true;
    EXPECT_EQ(statusLine(status), QStringLiteral("Harborly is under maintenance — syncing may wait"));
    status.engineState = SyncEngineState::error(QStringLiteral("Cannot write Mix.wav"));
    EXPECT_EQ(statusLine(status), QStringLiteral("Cannot write Mix.wav")) << "an error is not hidden by it";

    status = linkedAndIdle();
    status.warningWaiting = true;
    EXPECT_TRUE(trayToolTip(status).endsWith(QStringLiteral("\nHeads up — open on another device")));
    status.connected = false;
    EXPECT_FALSE(trayToolTip(status).contains(QStringLiteral("Heads up")));
}

TEST(TrayIconPainterTest, EveryStateHasItsOwnPictureAndOnlySyncingMoves)
{
    const std::vector<TrayIconState> states{TrayIconState::offline,  TrayIconState::disconnected,
                                            TrayIconState::hibernating, TrayIconState::error,
                                            TrayIconState::storageFull, TrayIconState::paused,
                                            TrayIconState::syncing,     TrayIconState::noFolders,
                                            TrayIconState::idle};
    std::set<QByteArray> pictures;
    for (TrayIconState state : states) {
        const QImage image = TrayIconPainter::render(state, 0, 22);
        ASSERT_EQ(image.size(), QSize(22, 22));
        pictures.insert(QByteArray(reinterpret_cast<const char *>(image.constBits()), image.sizeInBytes()));
        EXPECT_EQ(TrayIconPainter::frameCount(state), state == TrayIconState::syncing ? TrayIconPainter::syncingFrames : 1);
    }
    EXPECT_EQ(pictures.size(), states.size());
    EXPECT_NE(TrayIconPainter::render(TrayIconState::syncing, 0, 22), TrayIconPainter::render(TrayIconState::syncing, 1, 22));
    EXPECT_EQ(TrayIconPainter::render(TrayIconState::syncing, 0, 22),
              TrayIconPainter::render(TrayIconState::syncing, TrayIconPainter::syncingFrames, 22));

    const QPainterPath square = TrayIconPainter::parsePath(QStringLiteral("M2 3 H12 V13 L2 13 Z"));
    EXPECT_EQ(square.boundingRect(), QRectF(2, 3, 10, 10));
    const QPainterPath curve = TrayIconPainter::parsePath(QStringLiteral("M0 0 C0 10, 10 10, 10 0 Q5 -5 0 0"));
    EXPECT_EQ(curve.elementCount(), 1 + 3 + 3);
    // Something it does not know ends the path there.
    EXPECT_EQ(TrayIconPainter::parsePath(QStringLiteral("M0 0 L4 4 A1 1 0 0 0 9 9 L8 8")).elementCount(), 2);
}

class ShellViewsTest : public ::testing::Test, protected quillmere::test::TokenFixture
{
protected:
    void TearDown() override
    {
        tray.reset();
        auth.reset();
        runFor(30ms);
    }

    TrayController &makeTray()
    {
        auth = std::make_unique<AuthState>(vault, clock, ExternalURLOpener(), [this] { return base; });
        TrayController::Callbacks callbacks;
        callbacks.openMainWindow = [this] { calls.push_back("open"); };
        callbacks.syncNow = [this] { calls.push_back("syncNow"); };
        callbacks.togglePause = [this] { calls.push_back("pause"); };
        callbacks.quit = [this] { calls.push_back("quit"); };
        tray = std::make_unique<TrayController>(*auth, actions, callbacks, false);
        return *tray;
    }

    ManualClock clock{QDateTime::currentDateTimeUtc()};
    ShellActions actions{[this] { return base; }, [](const QUrl &) { return true; }};
    std::unique_ptr<AuthState> auth;
    std::unique_ptr<TrayController> tray;
    std::vector<std::string> calls;
};

TEST_F(ShellViewsTest, TheIconAnimatesOnlyWhileSyncingAtAFewFramesASecond)
{
    makeTray();
    EXPECT_FALSE(tray->hasTray());
    EXPECT_EQ(tray->iconState(), TrayIconState::disconnected);
    EXPECT_FALSE(tray->isAnimating());

    ShellStatus status = linkedAndIdle();
    status.engineState = SyncEngineState::syncing();
    tray->setStatus(status);
    EXPECT_EQ(tray->iconState(), TrayIconState::syncing);
    ASSERT_TRUE(tray->isAnimating());
    runFor(1100ms);
    const int frames = tray->frame();
    EXPECT_GE(frames, 3);
    EXPECT_LE(frames, 5) << "each frame crosses to the tray host: a few a second at most";
    EXPECT_TRUE(tray->toolTip().contains(QStringLiteral("Syncing")));

    status.engineState = SyncEngineState::idle();
    tray->setStatus(status);
    EXPECT_FALSE(tray->isAnimating());
    EXPECT_EQ(tray->frame(), 0);
    EXPECT_FALSE(tray->currentIcon().isNull());
}

TEST_F(ShellViewsTest, TheMenuAndThePanelOfferWhatTheStatusAllows)
{
    makeTray();
    EXPECT_FALSE(tray->syncNowAction()->isEnabled()) << "not linked";
    EXPECT_FALSE(tray->pauseAction()->isEnabled());

    ShellStatus status = linkedAndIdle();
    tray->setStatus(status);
    EXPECT_TRUE(tray->syncNowAction()->isEnabled());
    tray->syncNowAction()->trigger();
    tray->pauseAction()->trigger();
    tray->openAction()->trigger();
    tray->quitAction()->trigger();
    EXPECT_EQ(calls, (std::vector<std::string>{"syncNow", "pause", "open", "quit"}));

    status.paused = true;
    tray->setStatus(status);
    EXPECT_EQ(tray->pauseAction()->text(), QStringLiteral("Resume Sync"));
    EXPECT_FALSE(tray->syncNowAction()->isEnabled());

    // The panel: the status while linked, the device link otherwise; offline says so.
    MenuBarView *panel = tray->panel();
    EXPECT_FALSE(panel->showsSignIn());
    EXPECT_EQ(panel->statusPanel()->line()->text(), QStringLiteral("Sync paused"));
    EXPECT_EQ(panel->statusPanel()->pauseButton()->text(), QStringLiteral("Resume Sync"));
    EXPECT_FALSE(panel->statusPanel()->syncNowButton()->isEnabled());
    panel->statusPanel()->pauseButton()->click();
    EXPECT_EQ(calls.back(), "pause");

    status = ShellStatus();
    status.networkAvailable = false;
    tray->setStatus(status);
    EXPECT_TRUE(panel->showsSignIn());
    EXPECT_FALSE(panel->offlineBanner()->isHidden());
    EXPECT_EQ(panel->offlineBanner()->text(), QStringLiteral("No internet connection"));
    // The panel's device link starts the sign-in state's link, as the welcome screen does.
    panel->deviceLinkView()->findChild<QPushButton *>(QStringLiteral("connectButton"))->click();
    EXPECT_TRUE(auth->connectionState().is(ConnectionState::Kind::requestingCode));
}

TEST_F(ShellViewsTest, WrappedLinesInThePanelGetTheHeightOfAllTheirLines)
{
    makeTray();
    ShellStatus status = linkedAndIdle();
    status.engineState = SyncEngineState::error(
        QStringLiteral("Harborly refused Long recording session (final mix, take seventeen).wav: the file type is not "
                       "accepted for this folder, so it waits here until the folder's settings allow it"));
    tray->setStatus(status);
    PanelDetails details;
    details.warning = DAWLivenessReporter::Warning{
        QUuid::createUuid(), QStringLiteral("drive"),
        QStringLiteral("Album Sessions is open on another device. Saving here can overwrite the changes made there."),
        {QStringLiteral("Studio iMac")}};
    details.conflicts = {{QStringLiteral("/m/Verse.wav"), QStringLiteral("Verse Vocals (take 4, comped).wav"),
                          QStringLiteral("Sessions"),
                          QStringLiteral("Another device uploaded a newer version of this file meanwhile.")}};
    tray->setDetails(details);
    tray->showPanel();
    MenuBarView *panel = tray->panel();
    quillmere::test::runFor(20ms);
    EXPECT_EQ(panel->width(), MenuBarView::panelWidth);
    int wrapped = 0;
    for (QLabel *label : panel->findChildren<QLabel *>()) {
        if (!label->isVisible() || !label->wordWrap() || label->text().isEmpty())
            continue;
        const int needed = label->heightForWidth(label->width());
        wrapped += needed > label->fontMetrics().height() * 3 / 2;
        EXPECT_GE(label->height(), needed) << label->objectName().toStdString() << ": " << label->text().toStdString();
    }
    EXPECT_GE(wrapped, 3) << "the line, the warning and the conflict's message wrap";
    panel->hide();
}

// Many conflicts to review: every row keeps the whole of its message, in the tray's panel and in
// the main window's page.
TEST_F(ShellViewsTest, EveryListedConflictKeepsItsWholeMessage)
{
    storeToken(QStringLiteral("stored"), clock.currentDateTime().addDays(30));
    makeTray();
    tray->setStatus(linkedAndIdle());
    PanelDetails details;
    for (int i = 0; i < 8; ++i)
        details.conflicts.append({QStringLiteral("/m/Take %1.wav").arg(i), QStringLiteral("Take %1 (comped).wav").arg(i),
                                  QStringLiteral("Sessions"),
                                  QStringLiteral("Another device uploaded a newer version of this file meanwhile.")});
    const auto expectWhole = [](QWidget *view) {
        const QList<QLabel *> messages = view->findChildren<QLabel *>(QStringLiteral("conflictMessage"));
        ASSERT_EQ(messages.size(), 8);
        for (QLabel *message : messages) {
            ASSERT_TRUE(message->isVisible());
            EXPECT_GE(message->height(), message->heightForWidth(message->width())) << message->text().toStdString();
        }
    };
    tray->setDetails(details);
    tray->showPanel();
    quillmere::test::runFor(20ms);
    expectWhole(tray->panel());
    tray->panel()->hide();

    // A stored sign-in shows the signed-in page at once.
    MainWindow window(*auth, clock, actions, [] {}, nullptr, [] {});
    // A desktop's font, larger than the test platform's: the page outgrows the window.
    QFont larger = window.font();
    larger.setPointSizeF(larger.pointSizeF() * 1.4);
    window.setFont(larger);
    window.statusPanel()->setStatus(linkedAndIdle());
    window.statusPanel()->setDetails(details);
    window.bringToFront();
    ASSERT_TRUE(runUntil([&] { return !window.root()->isWelcomeShown(); }));
    quillmere::test::runFor(20ms);
    expectWhole(&window);
    window.hide();
}

TEST_F(ShellViewsTest, TheMenuOffersTheAccountWindowAndThePanelDoesToo)
{
    makeTray();
    int openings = 0;
    tray.reset();
    TrayController::Callbacks callbacks;
    callbacks.openAccountWindow = [&] { ++openings; };
    tray = std::make_unique<TrayController>(*auth, actions, callbacks, false);
    ASSERT_TRUE(tray->accountAction());
    EXPECT_TRUE(tray->menu()->actions().contains(tray->accountAction()));
    tray->accountAction()->trigger();
    tray->setStatus(linkedAndIdle());
    tray->panel()->accountButton()->click();
    EXPECT_EQ(openings, 2);
}

TEST_F(ShellViewsTest, TheSignedInPageSpeaksOfTheTrayOnlyWhereThereIsOne)
{
    makeTray();
    MainWindow withTray(*auth, clock, actions, {}, nullptr, {});
    MainWindow withoutTray(*auth, clock, actions, {}, tray->menu(), {});
    const QString note = withTray.findChild<QLabel *>(QStringLiteral("signedInNote"))->text();
    EXPECT_TRUE(note.contains(QStringLiteral("tray icon")));
    const QString alone = withoutTray.findChild<QLabel *>(QStringLiteral("signedInNote"))->text();
    EXPECT_FALSE(alone.contains(QStringLiteral("tray"))) << alone.toStdString();
}

} // namespace
