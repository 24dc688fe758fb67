#pragma once

#include "ActivityLog/SyncLogger.h"
#include "FileServices/FileChecksum.h"
#include "support/TestSupport.h"
#include "support/lane/LaneHarness.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

#include <functional>
#include <map>
#include <mutex>
#include <ostream>

// Readable failure output for the lane's strings and record states.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace quillmere::test {

inline void PrintTo(const LaneHarness::RecordState &state, std::ostream *os)
{
    *os << '{' << rawValue(state.status).toStdString() << ", "
        << (state.desired ? rawValue(*state.desired).toStdString() : std::string("none")) << '}';
}

// The lower-case hex SHA-256 of some bytes, as the lane and the service write it.
inline QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Counts the reads of each file a lane hashes (on its workers) from install() on.
class ChecksumReads
{
public:
    void install(SyncLane &lane)
    {
        lane.setChecksumFunctionForTesting([this](const QString &path, std::stop_token stop) {
            {
                std::lock_guard lock(m_mutex);
                ++m_reads[path];
            }
            return computeFileChecksumSync(path, std::move(stop));
        });
    }
    int of(const QString &path)
    {
        std::lock_guard lock(m_mutex);
        return m_reads[path];
    }

private:
    std::mutex m_mutex;
    std::map<QString, int> m_reads;
};

// A record with nothing owed.
inline constexpr LaneHarness::RecordState synced{SyncFileStatus::synced, SyncFileDesiredState::syncedLocal};

class LaneTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SyncLogger::shared().clear();
        inotifyBefore = LaneHarness::inotifyInstances();
    }

    // The details of every activity-log line so far, oldest first.
    static QStringList logDetails()
    {
        QStringList details;
        for (const auto &entry : SyncLogger::shared().entries())
            details.append(entry.detail.value_or(QString()));
        return details;
    }

    std::vector<LoggedRequest> registrations() const { return h.fake.requestsTo("POST", "/api/v1/sync-folders"); }

    static QJsonObject bodyOf(const LoggedRequest &request)
    {
        return QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
    }

    // What the store holds for the folder record (not the lane's unsaved view).
    std::shared_ptr<SyncFolder> storedFolder(const QUuid &id)
    {
        reader = std::make_unique<ModelContext>(h.container);
        return reader->fetchFirst(SyncFolder::withStableID(id));
    }

    // Runs `action` whenever a log line whose detail starts with `prefix` is written: a look
    // at the store between the steps of one run (the state a step left before the queue,
    // which runs on its own, changes it).
    void onLogLine(const QString &prefix, std::function<void()> action)
    {
        // Each append is announced twice (the append and its trim): a line counts once.
        auto watch = [prefix, action = std::move(action), lastSeen = std::make_shared<QUuid>()] {
            const auto &entries = SyncLogger::shared().entries();
            if (entries.empty() || entries.back().id == *lastSeen)
                return;
            *lastSeen = entries.back().id;
            if (entries.back().detail && entries.back().detail->startsWith(prefix))
                action();
        };
        QObject::connect(&SyncLogger::shared(), &SyncLogger::entriesChanged, &logWatch, std::move(watch));
    }

    // Another device's new version of a file at the service (its checksum and size follow).
    void replace(qint64 id, const QByteArray &bytes)
    {
        h.fake.updateFile(id, [&](FakeLibraryFile &file) {
            file.content = bytes;
            file.checksum.clear();
            file.fileSize = -1;
        });
    }

    LaneHarness h;
    int inotifyBefore = 0;
    std::unique_ptr<ModelContext> reader;
    QObject logWatch; // ends the log-line watches before the harness goes
};

// One folder of a kind with its lane, started and settled; a pass is one change-feed pass and
// the work it leaves.
class OneLaneTest : public LaneTest
{
protected:
    void open(SyncFolderType kind = SyncFolderType::projectsFolder)
    {
        folder = h.addFolder(kind);
        root = *folder->folderPath();
        lane = h.makeLane(folder);
        lane->start();
        h.runUntilIdle(*lane);
    }

    void pass()
    {
        await(lane->runDeltaPass({}));
        h.runUntilIdle(*lane);
    }

    std::map<QString, QString> files() const { return LaneHarness::folderFiles(root); }
    std::map<QString, LaneHarness::RecordState> records() { return h.records(folder->stableID()); }
    QString at(const QString &relative) const { return root + u'/' + relative; }

    std::shared_ptr<SyncFolder> folder;
    QString root;
    std::shared_ptr<SyncLane> lane;
};

} // namespace quillmere::test
