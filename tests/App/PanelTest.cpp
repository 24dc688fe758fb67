// The panel's duties beside the status line: the multi-device warning, the conflicts, the recent
// files and errors, the maintenance flag, an outage shown as one, and the engine operations the
// shell calls.

#include "Accounts/AuthState.h"
#include "App/AppSession.h"
#include "App/EngineActions.h"
#include "App/PanelState.h"
#include "App/StatusPanel.h"
#include "App/TrayController.h"
#include "Engine/DAWLivenessReporter.h"
#include "Engine/NetworkMonitor.h"
#include "Engine/ScriptedLane.h"
#include "Engine/SyncEngine.h"
#include "Model/ModelContainer.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Settings/UserDefaults.h"
#include "Platform/Workspace/ApplicationEvents.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "ServiceAPI/ServiceReachability.h"
#include "UI/Onboarding/ShellActions.h"
#include "fake-service/FakeHarborly.h"
#include "support/ScriptedService.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::runFor;
using quillmere::test::runUntil;

namespace {

class PanelTest : public ::testing::Test, protected quillmere::test::TokenFixture
{
protected:
    PanelTest()
    {
        fake.start();
        account = fake.addAccount();
        base = fake.baseURL();
        container = ModelContainerFactory::makeContainer(folder.filePath(QStringLiteral("Quillmere.sqlite")));
        engine = std::make_unique<SyncEngine>(
            std::make_shared<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens, clock)), vault, clock, applications,
            lanes.factory());
        actions = makeEngineActions(*engine);
    }

    ~PanelTest() override
    {
        panel.reset();
        session.reset();
        engine.reset();
        auth.reset();
        runFor(50ms);
    }

    // Linked (by a stored token) with one folder that has a location: one lane runs.
    void connect()
    {
        ModelContext context(container);
        beats = std::make_shared<SyncFolder>(QStringLiteral("Beats"), SyncFolderType::projectsFolder,
                                             folder.filePath(QStringLiteral("Beats")), QStringList(),
                                             SyncFolderSyncMode::bidirectional, true, 0, true, std::nullopt, true,
                                             std::vector<std::shared_ptr<DAWConfiguration>>());
        context.insert(beats);
        context.save();
        storeToken(fake.issueToken(account), clock.currentDateTime().addDays(10));
        auth = std::make_unique<AuthState>(vault, clock, ExternalURLOpener(), [this] { return base; });
        session = std::make_unique<AppSession>(*auth, *engine, *actions, network, container, clock);
        panel = std::make_unique<PanelState>(*engine, *auth, container, clock);
        session->start();
        ASSERT_TRUE(runUntil([&] { return engine->lanes().size() == 1 && session->status().connected; }));
        ASSERT_TRUE(runUntil([&] { return trayIconState(session->status()) == TrayIconState::idle; }));
    }

    test::ScriptedLane &lane() { return *lanes.made.front().lock(); }

    // A record the service reported a conflict for.
    void addConflict(const QString &name, SyncFileDirection direction, std::optional<QString> message)
    {
        ModelContext context(container);
        auto record = std::make_shared<SyncFile>(folder.filePath(QStringLiteral("Beats/") + name), name);
        record->setFolderID(beats->stableID());
        record->setSyncStatus(SyncFileStatus::conflict);
        record->setSyncDirection(direction);
        record->setConflictID(7);
        record->setConflictType(QStringLiteral("diverged"));
        record->setConflictCommonAncestor(QStringLiteral("base"));
        record->setConflictServerOid(QStringLiteral("oid"));
        record->setConflictMessage(std::move(message));
        context.insert(record);
        context.save();
    }

    std::shared_ptr<SyncFile> stored(const QString &name)
    {
        ModelContext context(container);
        return context.fetchFirst(FetchDescriptor<SyncFile>().equals(SyncFile::Field::localPath,
                                                                     folder.filePath(QStringLiteral("Beats/") + name)));
    }

    static QStringList texts(QWidget *list, const char *name)
    {
        QStringList found;
        for (const QLabel *label : list->findChildren<QLabel *>(QLatin1String(name)))
            found << label->text();
        return found;
    }

    QTemporaryDir folder;
    quillmere::test::FakeHarborly fake;
    qint64 account = 0;
    ManualClock clock{QDateTime::currentDateTimeUtc()};
    ApplicationEvents applications;
    quillmere::test::ScriptedLaneFactory lanes;
    NetworkMonitor network{NetworkMonitor::Source::Detached};
    std::shared_ptr<ModelContainer> container;
    std::unique_ptr<SyncEngine> engine;
    std::unique_ptr<EngineActions> actions;
    std::unique_ptr<AuthState> auth;
    std::unique_ptr<AppSession> session;
    std::unique_ptr<PanelState> panel;
    std::shared_ptr<SyncFolder> beats;
};

TEST_F(PanelTest, TheWarningShowsWithItsDevicesAndBothAnswersDoWhatTheySay)
{
    connect();
    DAWLivenessReporter &reporter = engine->dawReporter();
    const DAWLivenessReporter::Warning warning{QUuid::createUuid(), QStringLiteral("drive"),
                                               QStringLiteral("Song.als is open on Studio too."),
                                               {QStringLiteral("Studio"), QStringLiteral("Laptop")}};
    reporter.setActiveWarning(warning);
    ASSERT_TRUE(runUntil([&] { return session->status().warningWaiting; }));
    ASSERT_EQ(panel->details().warning, warning);

    // The panel closed: the icon and its tooltip say a warning waits.
    ShellActions shellActions{[this] { return base; }, [](const QUrl &) { return true; }};
    TrayController tray(*auth, shellActions, {}, false);
    ShellStatus quiet = session->status();
    quiet.warningWaiting = false;
    tray.setStatus(quiet);
    const QImage plain = tray.currentIcon().pixmap(22, 22).toImage();
    EXPECT_FALSE(tray.toolTip().contains(QStringLiteral("Heads up")));
    tray.setStatus(session->status());
    EXPECT_TRUE(tray.toolTip().contains(QStringLiteral("Heads up — open on another device")));
    EXPECT_NE(tray.currentIcon().pixmap(22, 22).toImage(), plain);

    StatusPanel view;
    QObject::connect(&view, &StatusPanel::dismissWarningRequested, panel.get(), &PanelState::dismissWarning);
    QObject::connect(&view, &StatusPanel::stopWarningsRequested, panel.get(), &PanelState::stopWarnings);
    QObject::connect(panel.get(), &PanelState::changed, &view, [&] { view.setDetails(panel->details()); });
    view.setDetails(panel->details());
    EXPECT_FALSE(view.warningBox()->isHidden());
    EXPECT_EQ(view.warningMessage()->text(), warning.message);
    // The message names Studio already: the line adds only the device it does not name.
    EXPECT_EQ(view.warningPeers()->text(), QStringLiteral("Also open on: Laptop"));

    view.dismissWarningButton()->click();
    EXPECT_FALSE(reporter.activeWarning());
    EXPECT_FALSE(reporter.optedOut()) << "Dismiss only clears the warning";
    EXPECT_TRUE(view.warningBox()->isHidden());
    ASSERT_TRUE(runUntil([&] { return !session->status().warningWaiting; }));

    reporter.setActiveWarning(DAWLivenessReporter::Warning{QUuid::createUuid(), QStringLiteral("drive"),
                                                           QStringLiteral("again"), {}});
    EXPECT_FALSE(view.warningBox()->isHidden());
    EXPECT_TRUE(view.warningPeers()->isHidden()) << "no devices named, no empty line";
    view.stopWarningsButton()->click();
    EXPECT_TRUE(reporter.optedOut());
    EXPECT_FALSE(reporter.activeWarning());
    EXPECT_EQ(UserDefaults::standard().boolean(DAWLivenessReporter::optOutKey()), true);
}

// A device the service's message already names is not named a second time below it, however
// the message writes it; a device whose name only begins another's is still listed.
TEST_F(PanelTest, TheWarningNamesEachOtherDeviceOnce)
{
    connect();
    StatusPanel view;
    QObject::connect(panel.get(), &PanelState::changed, &view, [&] { view.setDetails(panel->details()); });
    DAWLivenessReporter &reporter = engine->dawReporter();
    const auto warn = [&](const char *source, const char *message, QStringList devices) {
        reporter.setActiveWarning(DAWLivenessReporter::Warning{QUuid::createUuid(), QString::fromLatin1(source),
                                                               QString::fromUtf8(message), std::move(devices)});
        EXPECT_TRUE(runUntil([&] { return panel->details().warning == reporter.activeWarning(); }));
        view.setDetails(panel->details());
    };

    warn("drive", "Song.als is also open on studio mac.", {QStringLiteral("Studio Mac")});
    EXPECT_TRUE(view.warningPeers()->isHidden()) << view.warningPeers()->text().toStdString();

    warn("references", "Open on Studio Mac too.",
         {QStringLiteral("Studio"), QStringLiteral("Studio Mac"), QStringLiteral("Mac"), QStringLiteral("Studio Mac")});
    EXPECT_EQ(view.warningPeers()->text(), QStringLiteral("Also open on: Studio, Mac"));

    warn("drive", "This project is open on another device", {QStringLiteral("Laptop")});
    EXPECT_EQ(view.warningPeers()->text(), QStringLiteral("Also open on: Laptop"));
}

// Files that failed for good keep the line from saying "Up to date" and put the dot on the
// icon, while the engine's state stays idle.
TEST_F(PanelTest, FilesInErrorAreShownOnTheLineAndTheIcon)
{
    connect();
    ShellActions shellActions{[this] { return base; }, [](const QUrl &) { return true; }};
    TrayController tray(*auth, shellActions, {}, false);
    StatusPanel view;
    const auto show = [&](qint64 failed) {
        lane().setFilesInError(failed);
        lane().notifyStateChanged();
        EXPECT_TRUE(runUntil([&] { return session->status().filesInError == failed; }));
        tray.setStatus(session->status());
        view.setStatus(session->status());
        return tray.currentIcon().pixmap(22, 22).toImage();
    };
    const QImage fine = show(0);
    EXPECT_TRUE(view.line()->text().startsWith(QStringLiteral("Up to date")));

    EXPECT_NE(show(1), fine);
    EXPECT_EQ(engine->syncState(), SyncEngineState::idle());
    EXPECT_EQ(trayIconState(session->status()), TrayIconState::idle);
    EXPECT_EQ(view.line()->text(), QStringLiteral("1 file could not sync"));
    EXPECT_TRUE(tray.toolTip().contains(QStringLiteral("1 file could not sync")));

    EXPECT_NE(show(3), fine);
    EXPECT_EQ(view.line()->text(), QStringLiteral("3 files could not sync"));

    EXPECT_EQ(show(0), fine);
    EXPECT_TRUE(view.line()->text().startsWith(QStringLiteral("Up to date")));
}

// Conflicts waiting for the user's Acknowledge are shown as files in error are: the line names
// them instead of "Up to date" and the icon carries its dot; files in error keep the line.
TEST_F(PanelTest, ConflictsToReviewAreShownOnTheLineAndTheIcon)
{
    connect();
    ShellActions shellActions{[this] { return base; }, [](const QUrl &) { return true; }};
    TrayController tray(*auth, shellActions, {}, false);
    StatusPanel view;
    const auto show = [&](qint64 conflicts, qint64 failed) {
        lane().setConflictsToReview(conflicts);
        lane().setFilesInError(failed);
        lane().notifyStateChanged();
        EXPECT_TRUE(runUntil([&] {
            return session->status().conflictsToReview == conflicts && session->status().filesInError == failed;
        }));
        tray.setStatus(session->status());
        view.setStatus(session->status());
        return tray.currentIcon().pixmap(22, 22).toImage();
    };
    const QImage fine = show(0, 0);
    EXPECT_TRUE(view.line()->text().startsWith(QStringLiteral("Up to date")));

    const QImage dotted = show(1, 0);
    EXPECT_NE(dotted, fine);
    EXPECT_EQ(engine->syncState(), SyncEngineState::idle());
    EXPECT_EQ(trayIconState(session->status()), TrayIconState::idle);
    EXPECT_EQ(view.line()->text(), QStringLiteral("1 conflict to review"));
    EXPECT_TRUE(tray.toolTip().contains(QStringLiteral("1 conflict to review")));

    EXPECT_EQ(show(4, 0), dotted);
    EXPECT_EQ(view.line()->text(), QStringLiteral("4 conflicts to review"));

    EXPECT_EQ(show(4, 2), dotted);
    EXPECT_EQ(view.line()->text(), QStringLiteral("2 files could not sync"));

    EXPECT_EQ(show(0, 0), fine);
    EXPECT_TRUE(view.line()->text().startsWith(QStringLiteral("Up to date")));
}

// Work that waits while nothing syncs (a delete held until the service's changes can be read,
// a file settling, a retry on its back-off) keeps the line from saying "Up to date"; files in
// error and conflicts still come first.
TEST_F(PanelTest, ChangesWaitingWhileTheEngineIdlesAreShownOnTheLine)
{
    connect();
    StatusPanel view;
    const auto show = [&](qint64 pending, qint64 conflicts, qint64 failed) {
        lane().setFilesPending(pending);
        lane().setConflictsToReview(conflicts);
        lane().setFilesInError(failed);
        lane().notifyStateChanged();
        EXPECT_TRUE(runUntil([&] {
            return session->status().filesPending == pending && session->status().conflictsToReview == conflicts
                   && session->status().filesInError == failed;
        }));
        view.setStatus(session->status());
        return view.line()->text();
    };
    EXPECT_TRUE(show(0, 0, 0).startsWith(QStringLiteral("Up to date")));

    EXPECT_EQ(show(1, 0, 0), QStringLiteral("1 change waiting to sync"));
    EXPECT_EQ(engine->syncState(), SyncEngineState::idle());
    EXPECT_EQ(trayIconState(session->status()), TrayIconState::idle);
    EXPECT_EQ(show(3, 0, 0), QStringLiteral("3 changes waiting to sync"));
    EXPECT_EQ(show(3, 1, 0), QStringLiteral("1 conflict to review"));
    EXPECT_EQ(show(3, 1, 2), QStringLiteral("2 files could not sync"));
    EXPECT_TRUE(show(0, 0, 0).startsWith(QStringLiteral("Up to date")));
}

TEST_F(PanelTest, ConflictsFollowTheStoreAndAcknowledgingMakesTheTablesTransition)
{
    connect();
    addConflict(QStringLiteral("Verse.wav"), SyncFileDirection::conflict, QStringLiteral("Changed on Studio too"));
    addConflict(QStringLiteral("Hook.wav"), SyncFileDirection::download, std::nullopt);
    ASSERT_TRUE(runUntil([&] { return panel->details().conflicts.size() == 2; }));

    StatusPanel view;
    QObject::connect(&view, &StatusPanel::acknowledgeConflictRequested, panel.get(), &PanelState::acknowledgeConflict);
    QObject::connect(panel.get(), &PanelState::changed, &view, [&] { view.setDetails(panel->details()); });
    view.setDetails(panel->details());
    EXPECT_FALSE(view.conflictList()->isHidden());
    const QStringList files = texts(view.conflictList(), "conflictFile");
    EXPECT_TRUE(files.contains(QStringLiteral("Verse.wav — in Beats"))) << files.join(u'|').toStdString();
    EXPECT_TRUE(texts(view.conflictList(), "conflictMessage").contains(QStringLiteral("Changed on Studio too")));

    // Acknowledged from the panel: synced, direction upload, the conflict forgotten, saved.
    const auto rows = view.conflictList()->findChildren<QWidget *>(QStringLiteral("conflictRow"));
    QPushButton *acknowledgeVerse = nullptr;
    for (QWidget *row : rows)
        if (row->findChild<QLabel *>(QStringLiteral("conflictFile"))->text().startsWith(QStringLiteral("Verse")))
            acknowledgeVerse = row->findChild<QPushButton *>(QStringLiteral("acknowledgeButton"));
    ASSERT_TRUE(acknowledgeVerse);
    const int refreshesBefore = lane().priorityRefreshes;
    acknowledgeVerse->click();
    // The folder's lane takes the conflict off what it shows; nothing is owed, so no pass.
    EXPECT_EQ(lane().acknowledgedConflicts, 1);
    EXPECT_EQ(lane().priorityRefreshes, refreshesBefore);
    const auto verse = stored(QStringLiteral("Verse.wav"));
    ASSERT_TRUE(verse);
    EXPECT_EQ(verse->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(verse->syncDirection(), SyncFileDirection::upload);
    EXPECT_FALSE(verse->conflictID() || verse->conflictType() || verse->conflictCommonAncestor()
                 || verse->conflictServerOid() || verse->conflictMessage());
    ASSERT_EQ(panel->details().conflicts.size(), 1u);
    EXPECT_EQ(texts(view.conflictList(), "conflictFile"), QStringList{QStringLiteral("Hook.wav — in Beats")});

    // Only a conflict's direction changes: a download stays one.
    EXPECT_TRUE(panel->acknowledgeConflict(folder.filePath(QStringLiteral("Beats/Hook.wav"))));
    EXPECT_EQ(stored(QStringLiteral("Hook.wav"))->syncDirection(), SyncFileDirection::download);
    EXPECT_FALSE(panel->acknowledgeConflict(folder.filePath(QStringLiteral("Beats/Hook.wav")))) << "not twice";
    EXPECT_EQ(lane().acknowledgedConflicts, 2);
    EXPECT_TRUE(view.conflictList()->isHidden());

    // Resolved elsewhere (a lane's own context: an upload accepted without a conflict): it
    // leaves the list without the panel's doing.
    addConflict(QStringLiteral("Bridge.wav"), SyncFileDirection::conflict, QStringLiteral("x"));
    ASSERT_TRUE(runUntil([&] { return panel->details().conflicts.size() == 1; }));
    {
        ModelContext elsewhere(container);
        const auto bridge = elsewhere.fetchFirst(FetchDescriptor<SyncFile>().equals(
            SyncFile::Field::localPath, folder.filePath(QStringLiteral("Beats/Bridge.wav"))));
        bridge->setSyncStatus(SyncFileStatus::synced);
        bridge->setConflictID(std::nullopt);
        elsewhere.save();
    }
    EXPECT_TRUE(runUntil([&] { return panel->details().conflicts.empty(); }));
}

TEST_F(PanelTest, AConflictEditedSinceStaysListedAndAcknowledgingItKeepsTheEditOwed)
{
    connect();
    addConflict(QStringLiteral("Verse.wav"), SyncFileDirection::conflict,
                QStringLiteral("Changed on Studio too"));
    ASSERT_TRUE(runUntil([&] { return panel->details().conflicts.size() == 1; }));

    // Edited here before anyone looked (as the lane's intake owes it), and a failed upload of
    // another file that never had a conflict: only the conflict is listed.
    {
        ModelContext intake(container);
        const auto verse = intake.fetchFirst(FetchDescriptor<SyncFile>().equals(
            SyncFile::Field::localPath, folder.filePath(QStringLiteral("Beats/Verse.wav"))));
        verse->oweAgain();
        verse->oweUpload();
        auto failed = std::make_shared<SyncFile>(folder.filePath(QStringLiteral("Beats/Intro.wav")),
                                                 QStringLiteral("Intro.wav"));
        failed->setFolderID(beats->stableID());
        failed->setSyncStatus(SyncFileStatus::error);
        failed->setDesiredState(SyncFileDesiredState::uploadPending);
        intake.insert(failed);
        intake.save();
    }
    runFor(2 * PanelState::conflictRefreshDelay);
    ASSERT_EQ(panel->details().conflicts.size(), 1u);
    EXPECT_EQ(panel->details().conflicts.front().filename, QStringLiteral("Verse.wav"));
    EXPECT_EQ(panel->details().conflicts.front().message, QStringLiteral("Changed on Studio too"));

    EXPECT_TRUE(panel->acknowledgeConflict(folder.filePath(QStringLiteral("Beats/Verse.wav"))));
    const auto verse = stored(QStringLiteral("Verse.wav"));
    EXPECT_EQ(verse->syncStatus(), SyncFileStatus::pending);
    EXPECT_EQ(verse->desiredState(), SyncFileDesiredState::uploadPending);
    EXPECT_FALSE(verse->conflictID() || verse->conflictType() || verse->conflictCommonAncestor()
                 || verse->conflictServerOid() || verse->conflictMessage());
    EXPECT_TRUE(panel->details().conflicts.empty());
    EXPECT_FALSE(panel->acknowledgeConflict(folder.filePath(QStringLiteral("Beats/Verse.wav"))))
        << "not twice";
    EXPECT_FALSE(panel->acknowledgeConflict(folder.filePath(QStringLiteral("Beats/Intro.wav"))));
}

TEST_F(PanelTest, AcknowledgingAConflictThatHeldAnEditBackSendsTheEdit)
{
    connect();
    // Changed here and at the service; nothing was sent, the edit is still owed.
    {
        ModelContext lane(container);
        auto record = std::make_shared<SyncFile>(folder.filePath(QStringLiteral("Beats/Take.wav")),
                                                 QStringLiteral("Take.wav"));
        record->setFolderID(beats->stableID());
        record->setRemoteId(12);
        record->setRemoteChecksum(QStringLiteral("theirs"));
        record->setLocalChecksum(QStringLiteral("base"));
        record->setLocalModifiedAt(clock.currentDateTime());
        record->setDesiredState(SyncFileDesiredState::uploadPending);
        record->setSyncStatus(SyncFileStatus::conflict);
        record->setSyncDirection(SyncFileDirection::conflict);
        record->setConflictMessage(QStringLiteral("Changed here and at Harborly"));
        lane.insert(record);
        lane.save();
    }
    ASSERT_TRUE(runUntil([&] { return panel->details().conflicts.size() == 1; }));
    const int refreshesBefore = lane().priorityRefreshes;

    EXPECT_TRUE(panel->acknowledgeConflict(folder.filePath(QStringLiteral("Beats/Take.wav"))));
    // Owed now, over the version the user has seen, and the folder's lane is told at once.
    const auto take = stored(QStringLiteral("Take.wav"));
    EXPECT_EQ(take->syncStatus(), SyncFileStatus::pending);
    EXPECT_EQ(take->desiredState(), SyncFileDesiredState::uploadPending);
    EXPECT_EQ(take->syncDirection(), SyncFileDirection::upload);
    EXPECT_FALSE(take->remoteChecksum());
    EXPECT_FALSE(take->localModifiedAt());
    EXPECT_EQ(take->localChecksum(), QStringLiteral("base"));
    EXPECT_EQ(lane().priorityRefreshes, refreshesBefore + 1);
    EXPECT_EQ(lane().acknowledgedConflicts, 1);
    EXPECT_TRUE(panel->details().conflicts.empty());
}

// The list follows the store a moment later: a conflict that replaced the one shown meanwhile
// (another upload's, another version) has not been seen, and Acknowledge leaves it.
TEST_F(PanelTest, AcknowledgeActsOnlyOnTheConflictTheListShowed)
{
    connect();
    addConflict(QStringLiteral("Verse.wav"), SyncFileDirection::conflict, QStringLiteral("Changed on Studio too"));
    ASSERT_TRUE(runUntil([&] { return panel->details().conflicts.size() == 1; }));
    {
        ModelContext lane(container);
        const auto verse = lane.fetchFirst(FetchDescriptor<SyncFile>().equals(
            SyncFile::Field::localPath, folder.filePath(QStringLiteral("Beats/Verse.wav"))));
        verse->setConflictID(8);
        verse->setConflictServerOid(QStringLiteral("a newer version"));
        lane.save();
    }

    EXPECT_FALSE(panel->acknowledgeConflict(folder.filePath(QStringLiteral("Beats/Verse.wav"))));
    auto verse = stored(QStringLiteral("Verse.wav"));
    EXPECT_EQ(verse->syncStatus(), SyncFileStatus::conflict);
    EXPECT_EQ(verse->conflictID(), 8);

    // Shown as it is now, it can be acknowledged.
    ASSERT_TRUE(runUntil([&] { return panel->details().conflicts.value(0).conflictID == 8; }));
    EXPECT_TRUE(panel->acknowledgeConflict(folder.filePath(QStringLiteral("Beats/Verse.wav"))));
    verse = stored(QStringLiteral("Verse.wav"));
    EXPECT_EQ(verse->syncStatus(), SyncFileStatus::synced);
    EXPECT_EQ(verse->conflictID(), std::nullopt);
}

TEST_F(PanelTest, RecentFilesAndErrorsShowTheirKindDirectionAndText)
{
    connect();
    const QDateTime now = clock.currentDateTime();
    auto entry = [&](const char *name, SyncFileDirection direction, RecentFile::Kind kind, int secondsAgo) {
        return RecentFile{QUuid::createUuid(), QString::fromUtf8(name), direction, kind, now.addSecs(-secondsAgo),
                          std::nullopt};
    };
    lane().setRecentSyncedFiles(
        {entry("Gone.wav", SyncFileDirection::download, RecentFile::Kind::deleted, 1),
         entry("Removed.wav", SyncFileDirection::upload, RecentFile::Kind::deleted, 2),
         entry("Known.wav", SyncFileDirection::upload, RecentFile::Kind::verified, 3),
         entry("New.wav", SyncFileDirection::download, RecentFile::Kind::transferred, 4),
         entry("Both.wav", SyncFileDirection::conflict, RecentFile::Kind::transferred, 5)});
    RecentFile failed = entry("Broken.wav", SyncFileDirection::upload, RecentFile::Kind::transferred, 5);
    failed.errorMessage = QStringLiteral("The file could not be read");
    lane().setSyncErrors({failed});
    lane().notifyStateChanged();
    ASSERT_TRUE(runUntil(
        [&] { return panel->details().recentFiles.size() == 5 && panel->details().syncErrors.size() == 1; }));

    StatusPanel view;
    view.setDetails(panel->details());
    const QStringList recent = texts(view.recentList(), "recentFile");
    ASSERT_EQ(recent.size(), 5);
    // Each deletion says first which side made it.
    EXPECT_TRUE(recent[0].startsWith(QStringLiteral("↓ Gone.wav · Deleted at Harborly — removed from this computer")))
        << recent[0].toStdString();
    EXPECT_TRUE(recent[1].startsWith(QStringLiteral("↑ Removed.wav · Deleted on this computer — removed from Harborly")))
        << recent[1].toStdString();
    EXPECT_TRUE(recent[2].contains(QStringLiteral("Verified already in sync")));
    EXPECT_TRUE(recent[3].startsWith(QStringLiteral("↓ New.wav · Downloaded")));
    // Sent, but the service keeps another version: never read as a plain upload.
    EXPECT_TRUE(
        recent[4].startsWith(QStringLiteral("— Both.wav · Sent — in conflict, see Conflicts to review")))
        << recent[4].toStdString();
    EXPECT_EQ(texts(view.errorList(), "syncError"),
              QStringList{QStringLiteral("↑ Broken.wav — The file could not be read")});

    // An edit the user chose over the service's version says what it did there.
    lane().setRecentSyncedFiles({entry("Chosen.wav", SyncFileDirection::upload, RecentFile::Kind::replaced, 1)});
    lane().notifyStateChanged();
    ASSERT_TRUE(runUntil([&] { return panel->details().recentFiles.size() == 1; }));
    view.setDetails(panel->details());
    const QStringList chosen = texts(view.recentList(), "recentFile");
    ASSERT_EQ(chosen.size(), 1);
    EXPECT_TRUE(chosen[0].startsWith(QStringLiteral("↑ Chosen.wav · Uploaded — replaced Harborly's version")))
        << chosen[0].toStdString();

    // Many errors: the newest five and how many more.
    QList<RecentFile> many;
    for (int i = 0; i < 8; ++i) {
        RecentFile error = entry("E.wav", SyncFileDirection::upload, RecentFile::Kind::transferred, i);
        error.filename = QStringLiteral("E%1.wav").arg(i);
        error.errorMessage = QStringLiteral("failed");
        many << error;
    }
    lane().setSyncErrors(many);
    lane().notifyStateChanged();
    ASSERT_TRUE(runUntil([&] { return panel->details().syncErrors.size() == 8; }));
    view.setDetails(panel->details());
    EXPECT_EQ(texts(view.errorList(), "syncError").size(), StatusPanel::maxListed);
    EXPECT_EQ(texts(view.errorList(), "moreErrors"), QStringList{QStringLiteral("and 3 more")});
}

TEST_F(PanelTest, MaintenanceIsReadWhenThePanelOpensAtMostOnceAMinuteAndTheLineSaysSo)
{
    connect();
    fake.updateAccount(account, [](auto &summary) { summary.maintenance = true; });
    const size_t before = fake.requestsTo("GET", "/api/v1/account").size();
    panel->panelOpened();
    ASSERT_TRUE(runUntil([&] { return auth->isInMaintenanceMode(); }));
    ASSERT_TRUE(runUntil([&] { return session->status().maintenance; }));
    EXPECT_EQ(statusLine(session->status()), QStringLiteral("Harborly is under maintenance — syncing may wait"));

    fake.updateAccount(account, [](auto &summary) { summary.maintenance = false; });
    panel->panelOpened();
    runFor(100ms);
    EXPECT_EQ(fake.requestsTo("GET", "/api/v1/account").size(), before + 1) << "once a minute at most";
    EXPECT_TRUE(auth->isInMaintenanceMode());

    clock.advance(PanelState::maintenanceCheckInterval);
    panel->panelOpened();
    ASSERT_TRUE(runUntil([&] { return !auth->isInMaintenanceMode(); }));
    EXPECT_EQ(fake.requestsTo("GET", "/api/v1/account").size(), before + 2);
    ASSERT_TRUE(runUntil([&] { return !session->status().maintenance; }));
    EXPECT_TRUE(statusLine(session->status()).startsWith(QStringLiteral("Up to date")));
}

TEST_F(PanelTest, WhileNothingAnswersThePanelSaysSinceWhenAndUpToDateOnlyAfterAnAnswer)
{
    connect();
    engine->setIsPaused(false);
    EXPECT_TRUE(statusLine(session->status()).startsWith(QStringLiteral("Up to date")));

    // The service goes away: nothing listens at its address.
    const QUrl service = base;
    base = QUrl(QStringLiteral("http://127.0.0.1:1"));
    const QDateTime lost = clock.currentDateTime();
    EXPECT_ANY_THROW(quillmere::test::await(engine->apiClient()->fetchAccount()));
    ASSERT_TRUE(runUntil([&] { return session->status().unreachableSince.has_value(); }));
    EXPECT_EQ(*session->status().unreachableSince, lost);
    EXPECT_EQ(trayIconState(session->status()), TrayIconState::hibernating);
    EXPECT_EQ(statusLine(session->status()),
              QStringLiteral("Harborly cannot be reached since %1")
                  .arg(lost.toLocalTime().time().toString(QStringLiteral("HH:mm"))));

    // A second silence keeps the first moment; a refusal is an answer.
    clock.advance(std::chrono::minutes(5));
    EXPECT_ANY_THROW(quillmere::test::await(engine->apiClient()->fetchAccount()));
    EXPECT_EQ(engine->apiClient()->api()->reachability()->unreachableSince(), lost);
    base = service;
    fake.answerNext("/api/v1/account", 503);
    EXPECT_ANY_THROW(quillmere::test::await(engine->apiClient()->fetchAccount()));
    ASSERT_TRUE(runUntil([&] { return !session->status().unreachableSince; }));
    EXPECT_TRUE(statusLine(session->status()).startsWith(QStringLiteral("Up to date")));
}

// Each engine property the status shows reaches the panel's text by its own change alone, one
// property at a time, wired as the application wires the panel to the session.
TEST_F(PanelTest, EachEngineChangeTheStatusShowsReachesThePanelByItself)
{
    connect();
    StatusPanel view;
    QObject::connect(session.get(), &AppSession::statusChanged, &view, [&] { view.setStatus(session->status()); });
    view.setStatus(session->status());
    ASSERT_EQ(view.line()->text(), QStringLiteral("Up to date"));

    const QDateTime synced = clock.currentDateTime();
    const QString upToDate =
        QStringLiteral("Up to date — last synced %1").arg(synced.toLocalTime().time().toString(QStringLiteral("HH:mm")));
    const auto reported = [&](const std::function<void(test::ScriptedLane &)> &set) {
        return [&, set] {
            set(lane());
            lane().notifyStateChanged();
        };
    };
    struct Step
    {
        const char *change;
        std::function<void()> make;
        QString line;
    };
    const std::vector<Step> steps{
        {"last sync", reported([&](auto &l) { l.setLastSyncAt(synced); }), upToDate},
        {"storage full", [&] { engine->setIsStorageFull(true); },
         QStringLiteral("Storage limit reached — uploads wait until space is free")},
        {"storage free", [&] { engine->setIsStorageFull(false); }, upToDate},
        {"paused", [&] { engine->setIsPaused(true); }, QStringLiteral("Sync paused")},
        {"resumed", [&] { engine->setIsPaused(false); }, upToDate},
        {"manual sync", [&] { engine->setIsSyncingNow(true); }, QStringLiteral("Syncing…")},
        {"manual sync over", [&] { engine->setIsSyncingNow(false); }, upToDate},
        {"lane error", reported([](auto &l) { l.setSyncState(SyncEngineState::error(QStringLiteral("Disk gone"))); }),
         QStringLiteral("Disk gone")},
        {"lane syncing", reported([](auto &l) { l.setSyncState(SyncEngineState::syncing()); }), QStringLiteral("Syncing…")},
        {"files pending", reported([](auto &l) { l.setFilesPending(3); }), QStringLiteral("Syncing — 3 files waiting")},
        {"current file", reported([](auto &l) { l.setCurrentFile(QStringLiteral("Kick.wav")); }),
         QStringLiteral("Syncing Kick.wav")},
        {"hibernating", [&] { engine->setIsHibernating(true); },
         QStringLiteral("Harborly cannot be reached — trying again in 2 min")},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.change);
        step.make();
        EXPECT_TRUE(runUntil([&] { return view.line()->text() == step.line; }, 2s)) << view.line()->text().toStdString();
    }

    // Shown beside the line: the held-download banner, and the transfers under way.
    const QString notice = QStringLiteral("Downloads wait until Beats is free.");
    reported([&](auto &l) { l.setHeldDownloadNotice(notice); })();
    EXPECT_TRUE(runUntil([&] { return view.banner()->text() == notice; }, 2s));
    reported([](auto &l) { l.setFilesSyncing(2); })();
    EXPECT_TRUE(runUntil([&] { return session->status().filesSyncing == 2; }, 2s));
}

TEST_F(PanelTest, TheShellCallsTheEnginesOwnOperationsAndAllFourAreThere)
{
    EXPECT_TRUE(actions->canHydrate());
    EXPECT_TRUE(actions->canSyncNow());
    EXPECT_TRUE(actions->canPause());
    EXPECT_TRUE(actions->canWipe());
    connect();
    EXPECT_TRUE(session->status().syncNowAvailable && session->status().pauseAvailable);

    actions->pauseAll();
    EXPECT_TRUE(engine->isPaused());
    EXPECT_EQ(lane().pauses, 1);
    actions->resumeAll();
    EXPECT_FALSE(engine->isPaused());
    ASSERT_EQ(engine->lanes().size(), 1u);
    actions->requestManualSync();
    EXPECT_TRUE(runUntil([&] { return lane().deltaPassesEnded == 1; }));

    quillmere::test::await(actions->wipeLocalState());
    EXPECT_TRUE(engine->lanes().empty());
    ModelContext context(container);
    EXPECT_TRUE(context.fetch(FetchDescriptor<SyncFolder>()).empty()) << "the engine's own wipe ran";
}

} // namespace
