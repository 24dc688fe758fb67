#pragma once

#include "Accounts/KeychainVault.h"
#include "Accounts/TokenManager.h"
#include "Engine/BookmarkManager.h"
#include "Engine/ConflictResolver.h"
#include "Engine/RulesEngine.h"
#include "Engine/SyncEngine.h"
#include "Lane/SyncLane.h"
#include "Model/ModelContainer.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "Platform/Workspace/ApplicationEvents.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "fake-service/FakeHarborly.h"
#include "support/FakeDAWRunningStateProvider.h"
#include "support/TemporaryConfigHome.h"

#include <QTemporaryDir>

#include <map>
#include <memory>

namespace quillmere::test {

// Points an environment variable at a fresh folder for the life of the object.
class ScopedEnvironmentFolder
{
public:
    explicit ScopedEnvironmentFolder(const char *name);
    ~ScopedEnvironmentFolder();
    QString path() const { return m_dir.path(); }

private:
    const char *m_name;
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

// The applications a test says run, by profile identifier; of any other identifier nothing
// can be told, as before the first scan of the process list.
class ScriptedApplicationEvents final : public ApplicationEvents
{
public:
    std::optional<QList<RunningApplication>> runningApplicationsFor(const QString &profileIdentifier) const override
    {
        const auto found = running.find(profileIdentifier);
        return found != running.end() ? std::optional(found->second) : std::nullopt;
    }

    std::map<QString, QList<RunningApplication>> running;
};

// What the scripted engine heard from one lane.
struct LaneCalls
{
    int stateChanged = 0;
    int storageFull = 0;
    QList<QUuid> died;
};

// Everything a lane runs against, real where the user has it: folders in a temporary
// directory, the fake service on loopback behind a real LibraryAPIClient (token in an
// in-memory vault), a SQLite store, a BookmarkManager over real bookmarks, and a manual clock.
// Staging and configuration folders are private to the harness.
class LaneHarness
{
public:
    struct RecordState
    {
        SyncFileStatus status;
        std::optional<SyncFileDesiredState> desired;
        friend bool operator==(const RecordState &, const RecordState &) = default;
    };

    LaneHarness();
    // Stops every lane made here that is still alive and waits until each is gone, before the
    // clock, the client and the service it counts on go.
    ~LaneHarness();

    // Creates the folder `name` under the harness root, its SyncFolder record (saved) and,
    // unless told not to, its bookmark in the vault.
    std::shared_ptr<SyncFolder> addFolder(SyncFolderType kind,
                                          SyncFolderSyncMode mode = SyncFolderSyncMode::bidirectional,
                                          const QString &name = QStringLiteral("Loops"), bool withBookmark = true);
    // A tracked record of the folder, saved.
    std::shared_ptr<SyncFile> addRecord(const SyncFolder &folder, const QString &relativePath,
                                        SyncFileStatus status = SyncFileStatus::synced,
                                        SyncFileDesiredState desired = SyncFileDesiredState::syncedLocal);

    // A file of the account's library in this folder (its kind's folder type), served with
    // these bytes; its id.
    qint64 serve(const SyncFolder &folder, const QString &name, const QByteArray &bytes,
                 std::optional<QString> drivePath = std::nullopt);

    // A lane built by the application's factory, with counting callbacks installed. Its delta
    // loop runs only when `deltaLoops` is set: the manual clock would otherwise reach the
    // loop's ticks while a test waits on a step that takes a moment, and passes would run
    // beside the step under test.
    std::shared_ptr<SyncLane> makeLane(const std::shared_ptr<SyncFolder> &folder);
    LaneCalls &calls(const SyncLaneInterface &lane) { return *m_calls.at(lane.laneID()); }

    // Turns the event loop until the lane is settled (SyncLane::isSettled: no activation,
    // root check, debounced delivery, priority wait or queue pass) and every posted event has
    // been handled. While the lane is busy and nothing arrives for a moment, the manual clock
    // moves to its next deadline, one deadline at a time, so timed waits the lane owes run in
    // order; the delta loop and the watchdog only run when such a move reaches them. Fails the
    // test when the lane is still busy after `timeout` of real time.
    void runUntilIdle(const SyncLane &lane, std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // The engine as the application wires it: the harness's client, vault, clock and store,
    // lanes made by makeSyncLaneFactory(). Not started. It builds its own BookmarkManager.
    std::unique_ptr<SyncEngine> makeEngine();
    // runUntilIdle until every lane the engine holds is settled.
    void runUntilIdle(const SyncEngine &engine, std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Relative path -> SHA-256 (hex) of every regular file under the folder.
    static std::map<QString, QString> folderFiles(const QString &folderPath);
    // "<drive path>/<file name>" (or the name alone) -> checksum of the account's library files.
    std::map<QString, QString> serviceFiles() const;
    // localPath -> status and desired state of the folder's records, read from the store.
    std::map<QString, RecordState> records(const QUuid &folderID);
    // Requests to the fake that delete or abort something.
    std::vector<LoggedRequest> destructiveRequests() const;
    // inotify instances open in this process (each FileWatcher run holds one).
    static int inotifyInstances();

    ScopedEnvironmentFolder cacheHome{"XDG_CACHE_HOME"};
    TemporaryConfigHome configHome;
    QTemporaryDir root;
    QString rootPath; // canonical
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    FakeHarborly fake;
    qint64 account = 0;
    ManualClock clock;
    std::shared_ptr<TokenManager> tokens;
    std::shared_ptr<LibraryAPIClient> client;
    std::shared_ptr<ModelContainer> container;
    std::shared_ptr<ModelContext> context;
    std::shared_ptr<BookmarkManager> bookmarks;
    std::shared_ptr<RulesEngine> rules = std::make_shared<RulesEngine>();
    std::shared_ptr<ConflictResolver> conflicts = std::make_shared<ConflictResolver>();
    // What the engine's lanes see running (they ask SystemDAWRunningStateProvider, as the
    // application's do); the harness's own lanes ask dawProvider instead.
    ScriptedApplicationEvents applicationEvents;
    bool deltaLoops = false;
    // How long runUntilIdle lets a busy lane rest before it moves the clock: long enough for
    // a loopback reply; a scenario that runs hundreds of passes may choose a shorter wait.
    std::chrono::milliseconds quietWindow{50};
    // What every lane of the harness sees running; nothing until a test says so.
    std::shared_ptr<FakeDAWRunningStateProvider> dawProvider = std::make_shared<FakeDAWRunningStateProvider>();

private:
    void runUntilSettled(const std::function<bool()> &settled, std::chrono::milliseconds timeout);

    std::map<QUuid, std::shared_ptr<LaneCalls>> m_calls;
    // Every lane made here, the engine's too.
    std::vector<std::weak_ptr<SyncLaneInterface>> m_lanes;
};

} // namespace quillmere::test
