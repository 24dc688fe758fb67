#include "support/lane/LaneHarness.h"

#include "Model/ModelContainerFactory.h"
#include "Platform/Files/FolderBookmark.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <unistd.h>

namespace quillmere::test {

ScopedEnvironmentFolder::ScopedEnvironmentFolder(const char *name)
    : m_name(name), m_previous(qgetenv(name)), m_hadPrevious(qEnvironmentVariableIsSet(name))
{
    qputenv(name, m_dir.path().toUtf8());
}

ScopedEnvironmentFolder::~ScopedEnvironmentFolder()
{
    if (m_hadPrevious)
        qputenv(m_name, m_previous);
    else
        qunsetenv(m_name);
}

LaneHarness::LaneHarness()
{
    rootPath = QFileInfo(root.path()).canonicalFilePath();
    fake.start();
    account = fake.addAccount();
    const QUrl base = fake.baseURL();
    tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [base] { return base; });
    await(tokens->saveToken(fake.issueToken(account), QDateTime::currentDateTimeUtc().addDays(30)));
    client = std::make_shared<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens, clock));
    container = ModelContainerFactory::makeContainer(rootPath + QStringLiteral("/Quillmere.store"));
    context = std::make_shared<ModelContext>(container);
    bookmarks = std::make_shared<BookmarkManager>(vault);
}

LaneHarness::~LaneHarness()
{
    // A lane's work counts on the clock, the client and the service, which go with the
    // harness. A lane the test let go may still be held by its own work (a delta pass holds
    // its lane until the pass ends, and its request may be on the wire): had the harness gone
    // first, the request's end would read the freed clock. As the engine does when it drops a
    // lane, each one still alive is stopped, and the loop turns until its work let it go.
    const auto allGone = [this] {
        return std::all_of(m_lanes.begin(), m_lanes.end(), [](const auto &lane) { return lane.expired(); });
    };
    if (allGone())
        return;
    for (const auto &weak : m_lanes)
        if (const auto lane = weak.lock())
            lane->stop();
    EXPECT_TRUE(runUntil(allGone, std::chrono::seconds(10))) << "a lane's work still runs after the test";
}

std::shared_ptr<SyncFolder> LaneHarness::addFolder(SyncFolderType kind, SyncFolderSyncMode mode, const QString &name,
                                                   bool withBookmark)
{
    const QString path = rootPath + u'/' + name;
    EXPECT_TRUE(QDir().mkpath(path));
    auto folder = context->insert(std::make_shared<SyncFolder>(name, kind, path, QStringList(), mode, true, 0, false,
                                                              std::nullopt, true,
                                                              std::vector<std::shared_ptr<DAWConfiguration>>()));
    context->save();
    if (withBookmark)
        await(bookmarks->saveBookmark(FolderBookmark::make(path), folder->stableID()));
    return folder;
}

std::shared_ptr<SyncFile> LaneHarness::addRecord(const SyncFolder &folder, const QString &relativePath,
                                                 SyncFileStatus status, SyncFileDesiredState desired)
{
    const QString path = *folder.folderPath() + u'/' + relativePath;
    auto record = context->insert(std::make_shared<SyncFile>(path, QFileInfo(path).fileName()));
    record->setFolderID(folder.stableID());
    record->setSyncStatus(status);
    record->setDesiredState(desired);
    context->save();
    return record;
}

qint64 LaneHarness::serve(const SyncFolder &folder, const QString &name, const QByteArray &bytes,
                          std::optional<QString> drivePath)
{
    FakeLibraryFile file;
    file.accountId = account;
    file.filename = name;
    file.folderType = rawValue(folder.folderType());
    file.syncFolderUUID = folder.stableID().toString(QUuid::WithoutBraces).toUpper();
    file.drivePath = std::move(drivePath);
    file.content = bytes;
    return fake.addFile(file);
}

std::shared_ptr<SyncLane> LaneHarness::makeLane(const std::shared_ptr<SyncFolder> &folder)
{
    LaneServices services{folder, client, bookmarks, rules, conflicts, context, &vault, &clock, dawProvider};
    auto lane = std::dynamic_pointer_cast<SyncLane>(makeSyncLaneFactory()(services));
    m_lanes.push_back(lane);
    lane->setDeltaLoopEnabledForTesting(deltaLoops);
    auto calls = std::make_shared<LaneCalls>();
    m_calls[lane->laneID()] = calls;
    lane->setCallbacks({[calls] { ++calls->stateChanged; }, [calls] { ++calls->storageFull; },
                        [calls](QUuid id) { calls->died.append(id); }});
    return lane;
}

void LaneHarness::runUntilIdle(const SyncLane &lane, std::chrono::milliseconds timeout)
{
    runUntilSettled([&lane] { return lane.isSettled(); }, timeout);
}

std::unique_ptr<SyncEngine> LaneHarness::makeEngine()
{
    auto factory = [this, make = makeSyncLaneFactory()](const LaneServices &services) {
        auto lane = make(services);
        m_lanes.push_back(lane);
        return lane;
    };
    auto engine = std::make_unique<SyncEngine>(client, vault, clock, applicationEvents, std::move(factory));
    engine->setStoredModelContext(context);
    return engine;
}

void LaneHarness::runUntilIdle(const SyncEngine &engine, std::chrono::milliseconds timeout)
{
    // The table is read afresh each time: the engine may replace a lane meanwhile.
    runUntilSettled(
        [&engine] {
            const auto lanes = engine.lanes();
            return std::all_of(lanes.begin(), lanes.end(), [](const auto &lane) {
                const auto *real = dynamic_cast<const SyncLane *>(lane.get());
                return !real || real->isSettled();
            });
        },
        timeout);
}

void LaneHarness::runUntilSettled(const std::function<bool()> &settled, std::chrono::milliseconds timeout)
{
    const auto giveUp = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        drainEvents();
        if (settled()) {
            drainEvents();
            if (settled())
                return;
        }
        if (runUntil(settled, quietWindow))
            continue;
        // Busy, and nothing arrived for a moment: what it waits for may be on the clock.
        if (const auto next = clock.nextDeadline())
            clock.advance(std::max(*next - clock.now(), Clock::Duration::zero()));
        if (std::chrono::steady_clock::now() > giveUp) {
            ADD_FAILURE() << "the lane is still busy";
            return;
        }
    }
}

std::map<QString, QString> LaneHarness::folderFiles(const QString &folderPath)
{
    std::map<QString, QString> files;
    QDirIterator it(folderPath, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    const QDir base(folderPath);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(&file);
        files[base.relativeFilePath(path)] = QString::fromLatin1(hash.result().toHex());
    }
    return files;
}

std::map<QString, QString> LaneHarness::serviceFiles() const
{
    std::map<QString, QString> files;
    for (const auto &file : fake.files(account)) {
        const QString key = file.drivePath && !file.drivePath->isEmpty() ? *file.drivePath + u'/' + file.filename
                                                                         : file.filename;
        files[key] = file.checksum;
    }
    return files;
}

std::map<QString, LaneHarness::RecordState> LaneHarness::records(const QUuid &folderID)
{
    // A context of its own sees what was saved, not what the lane's context holds unsaved.
    ModelContext reader(container);
    std::map<QString, RecordState> states;
    for (const auto &record : reader.fetch(SyncFile::inFolder(folderID)))
        states[record->localPath()] = {record->syncStatus(), record->desiredState()};
    return states;
}

std::vector<LoggedRequest> LaneHarness::destructiveRequests() const
{
    std::vector<LoggedRequest> found;
    for (const auto &request : fake.requestLog())
        if (request.method == "DELETE" || request.path.find("abort") != std::string::npos
            || request.path.find("reset-folder") != std::string::npos)
            found.push_back(request);
    return found;
}

int LaneHarness::inotifyInstances()
{
    int count = 0;
    const QString fdFolder = QStringLiteral("/proc/self/fd/");
    for (const QString &name : QDir(fdFolder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[64] = {};
        const QByteArray native = QFile::encodeName(fdFolder + name);
        if (::readlink(native.constData(), target, sizeof target - 1) > 0 && QByteArray(target) == "anon_inode:inotify")
            ++count;
    }
    return count;
}

} // namespace quillmere::test
