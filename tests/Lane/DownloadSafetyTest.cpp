#include "Lane/LaneTestSupport.h"

#include <gmock/gmock.h>

#include <QFile>

#include <atomic>
#include <thread>

using namespace quillmere;
using namespace quillmere::test;
using namespace std::chrono_literals;
using ::testing::IsEmpty;

namespace {

using State = LaneHarness::RecordState;

class DownloadSafetyTest : public LaneTest
{
protected:
    std::shared_ptr<SyncFolder> folder = h.addFolder(SyncFolderType::projectsFolder);
    QString root = *folder->folderPath();

    // A file of the folder at the service; returns its id.
    qint64 serve(const QString &name, const QByteArray &bytes) { return h.serve(*folder, name, bytes); }
    // Where the service serves a file's bytes.
    static std::string bytesPath(qint64 id) { return "/api/v1/files/library/" + std::to_string(id); }

    // On a thread of its own: as soon as the fake holds a request, `save` runs, as a user
    // saving while the bytes travel.
    std::thread saveWhileHeld(std::function<void()> save)
    {
        return std::thread([this, save = std::move(save)] {
            const auto until = std::chrono::steady_clock::now() + 20s;
            while (h.fake.takeMostDelayedAtOnce() == 0 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(2ms);
            save();
        });
    }

    std::shared_ptr<SyncFile> stored(const QString &name)
    {
        reader = std::make_unique<ModelContext>(h.container);
        return reader->fetchFirst(SyncFile::withLocalPath(root + u'/' + name));
    }
};

} // namespace

TEST_F(DownloadSafetyTest, AFileSavedWhileItsDownloadTravelsIsKeptBesideTheServiceVersion)
{
    const QString path = root + QStringLiteral("/take.wav");
    h.fake.delayNext(bytesPath(serve(QStringLiteral("take.wav"), "service take")), 1500ms);
    std::thread user = saveWhileHeld([path] { writeFile(path, "saved during the download"); });

    auto lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);
    user.join();

    // Neither version saw the other: both stay, and the file waits as a conflict.
    const std::map<QString, QString> saved{{QStringLiteral("take.wav"), sha256("saved during the download")}};
    EXPECT_EQ(LaneHarness::folderFiles(root), saved);
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("take.wav"), sha256("service take")}}));
    EXPECT_EQ(h.records(folder->stableID()),
              (std::map<QString, State>{{path, {SyncFileStatus::conflict, SyncFileDesiredState::uploadPending}}}));
}

TEST_F(DownloadSafetyTest, ANewerVersionNeverReplacesASaveMadeDuringItsDownload)
{
    const QString path = root + QStringLiteral("/mix.wav");
    const qint64 id = serve(QStringLiteral("mix.wav"), "service mix v2");
    auto record = h.addRecord(*folder, QStringLiteral("mix.wav"), SyncFileStatus::syncing,
                              SyncFileDesiredState::downloadPending);
    record->setRemoteId(id);
    record->setRemoteChecksum(sha256("service mix v2"));
    record->setLocalChecksum(sha256("mix v1"));
    h.context->save();
    writeFile(path, "mix v1");

    h.fake.delayNext(bytesPath(id), 1500ms);
    std::thread user = saveWhileHeld([path] { writeFile(path, "mix v1, edited"); });
    auto lane = h.makeLane(folder);
    bool done = false;
    std::exception_ptr error;
    detail::captureVoid(lane->downloadRecord(id, path, {}), error, done);
    ASSERT_TRUE(runUntil([&] { return done; }));
    user.join();

    EXPECT_FALSE(error);
    EXPECT_EQ(readFile(path), "mix v1, edited");
    EXPECT_EQ(LaneHarness::folderFiles(root).size(), 1u) << "no temporary file left";
    const auto kept = stored(QStringLiteral("mix.wav"));
    EXPECT_EQ(kept->desiredState(), SyncFileDesiredState::uploadPending);
    EXPECT_EQ(kept->syncStatus(), SyncFileStatus::pending);
    EXPECT_EQ(kept->localChecksum(), sha256("mix v1")) << "still the last synced content";
}

TEST_F(DownloadSafetyTest, AServiceNameThatDiffersOnlyInCaseOrAccentsNeverReplacesTheLocalFile)
{
    // One local file untracked, one tracked and at the service under its own name.
    writeFile(root + QStringLiteral("/Kick.wav"), "user kick");
    writeFile(root + QStringLiteral("/Café.wav"), "user cafe");
    serve(QStringLiteral("Café.wav"), "user cafe");
    const std::string kickBytes = bytesPath(serve(QStringLiteral("kick.wav"), "service kick"));
    const std::string cafeBytes = bytesPath(serve(QStringLiteral("CAFE\u0301.wav"), "service cafe")); // decomposed É

    auto lane = h.makeLane(folder);
    lane->start();
    h.runUntilIdle(*lane);

    EXPECT_EQ(LaneHarness::folderFiles(root),
              (std::map<QString, QString>{{QStringLiteral("Kick.wav"), sha256("user kick")},
                                          {QStringLiteral("Café.wav"), sha256("user cafe")}}));
    EXPECT_THAT(h.fake.requestsTo("GET", kickBytes), IsEmpty());
    EXPECT_THAT(h.fake.requestsTo("GET", cafeBytes), IsEmpty());

    // Each clash is one line and one record in error, naming the local file; nothing retries.
    for (const QString &local : {QStringLiteral("Kick.wav"), QStringLiteral("Café.wav")}) {
        SCOPED_TRACE(local.toStdString());
        const QStringList lines = logDetails().filter(QStringLiteral("Not downloaded: “%1”").arg(local));
        EXPECT_EQ(lines.size(), 1);
    }
    const auto kick = stored(QStringLiteral("kick.wav"));
    ASSERT_TRUE(kick);
    EXPECT_EQ(kick->syncStatus(), SyncFileStatus::error);
    EXPECT_EQ(kick->desiredState(), SyncFileDesiredState::downloadPending);
    EXPECT_TRUE(kick->errorMessage().value_or(QString()).contains(QStringLiteral("Kick.wav")));
    EXPECT_EQ(stored(QStringLiteral("Kick.wav"))->syncStatus(), SyncFileStatus::synced);
}
