#include "Lane/LaneTestSupport.h"

#include <gmock/gmock.h>

#include <QCryptographicHash>

#include <set>

using namespace quillmere;
using namespace quillmere::test;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::SizeIs;

namespace {

using State = LaneHarness::RecordState;

class EndToEndTest : public LaneTest
{
protected:
    std::shared_ptr<SyncFolder> folder = h.addFolder(SyncFolderType::projectsFolder);
    QString root = *folder->folderPath();

    void serve(const QString &relative, const QByteArray &bytes)
    {
        FakeLibraryFile file;
        file.accountId = h.account;
        file.filename = relative.section(u'/', -1);
        file.folderType = QStringLiteral("drive");
        file.syncFolderUUID = folder->stableID().toString(QUuid::WithoutBraces).toUpper();
        if (relative.contains(u'/'))
            file.drivePath = relative.section(u'/', 0, -2);
        file.content = bytes;
        h.fake.addFile(file);
    }

    // Content hash -> how many times its bytes reached the fake, each time checked against
    // the hash (a form upload or a presigned PUT).
    std::map<QString, int> storedContents()
    {
        std::map<QString, int> times;
        for (const auto &upload : h.fake.formUploads()) {
            const auto bytes = h.fake.uploadedObject(QString::fromStdString(upload.oid));
            EXPECT_TRUE(bytes) << upload.oid;
            if (bytes)
                ++times[sha256(*bytes)];
        }
        return times;
    }
};

TEST_F(EndToEndTest, AThousandFilesReachTheServiceOnceEachWithDuplicatesAsPointers)
{
    std::map<QString, QByteArray> written; // relative path -> bytes
    for (int i = 0; i < 900; ++i)
        written[QStringLiteral("Set%1/take-%2.wav").arg(i % 10).arg(i)] = "take " + QByteArray::number(i);
    // Twenty contents in three sub-folders each.
    for (int k = 0; k < 20; ++k)
        for (const char *place : {"Dup/A", "Dup/B", "Other/C"})
            written[QStringLiteral("%1/loop-%2.wav").arg(QLatin1String(place)).arg(k)] = "loop " + QByteArray::number(k);
    // Forty already at the service, at their own places.
    std::set<QString> alreadyThere;
    for (int j = 0; j < 40; ++j) {
        const QString relative = QStringLiteral("Old/kept-%1.wav").arg(j);
        written[relative] = "kept " + QByteArray::number(j);
        serve(relative, written[relative]);
        alreadyThere.insert(sha256(written[relative]));
    }
    ASSERT_EQ(written.size(), 1000u);
    std::map<QString, QString> expected;
    for (const auto &[relative, bytes] : written) {
        writeFile(root + u'/' + relative, bytes);
        expected[relative] = sha256(bytes);
    }

    auto lane = h.makeLane(folder);
    int holding = 0;
    onLogLine(QStringLiteral("Batch pre-pass: holding 40 intra-batch duplicate(s) behind their representative"),
              [&] { ++holding; });
    lane->start();
    h.runUntilIdle(*lane, std::chrono::minutes(5));

    // Disk unchanged, and the service holds every file at its own place with its bytes.
    EXPECT_EQ(LaneHarness::folderFiles(root), expected);
    EXPECT_EQ(h.serviceFiles(), expected);

    // Every content not already there was sent exactly once: 900 takes and 20 loops.
    const auto stored = storedContents();
    EXPECT_EQ(stored.size(), 920u);
    for (const auto &[hash, times] : stored) {
        EXPECT_EQ(times, 1) << hash.toStdString();
        EXPECT_EQ(alreadyThere.count(hash), 0u) << hash.toStdString();
    }

    // The copies waited behind one of theirs and became pointers, each at its own path.
    EXPECT_EQ(holding, 1);
    EXPECT_THAT(h.fake.requestsTo("POST", "/api/v1/files/batch-dedup-confirm"), Not(IsEmpty()));
    ModelContext reader(h.container);
    std::set<qint64> ids;
    for (const auto &record : reader.fetch(SyncFile::inFolder(folder->stableID()))) {
        SCOPED_TRACE(record->localPath().toStdString());
        ASSERT_TRUE(record->remoteId());
        EXPECT_TRUE(ids.insert(*record->remoteId()).second);
        const auto file = h.fake.file(*record->remoteId());
        ASSERT_TRUE(file);
        const QString relative = record->localPath().mid(root.size() + 1);
        EXPECT_EQ(file->filename, relative.section(u'/', -1));
        EXPECT_EQ(file->drivePath.value_or(QString()), relative.section(u'/', 0, -2));
        EXPECT_EQ(file->checksum, expected[relative]);
    }

    const auto records = h.records(folder->stableID());
    EXPECT_THAT(records, SizeIs(1000));
    for (const auto &[path, state] : records)
        EXPECT_EQ(state, synced) << path.toStdString();
    EXPECT_THAT(lane->heldDuplicates(), IsEmpty());
    EXPECT_THAT(lane->activeRepresentatives(), IsEmpty());
    EXPECT_THAT(lane->syncErrors(), IsEmpty());
}

TEST_F(EndToEndTest, HeldCopiesStayHeldUntilTheirRepresentativeIsConfirmed)
{
    const QByteArray pad = "one pad in three places";
    for (const char *relative : {"A/pad.wav", "B/pad.wav", "C/pad.wav"})
        writeFile(root + u'/' + QLatin1String(relative), pad);
    auto lane = h.makeLane(folder);
    h.fake.delayNext("/api/v1/files/batch-dedup-confirm", std::chrono::milliseconds(300));
    h.fake.takeMostDelayedAtOnce();
    lane->start();
    // While the confirmation is asked for (held by the fake), the group is still the
    // representative's: nothing releases the held copies to uploads of their own.
    ASSERT_TRUE(runUntil([&] { return h.fake.takeMostDelayedAtOnce() > 0; }));
    EXPECT_TRUE(lane->activeRepresentatives().contains(sha256(pad)));
    EXPECT_THAT(lane->heldDuplicates().value(sha256(pad)), SizeIs(2));
    h.runUntilIdle(*lane);

    EXPECT_EQ(storedContents(), (std::map<QString, int>{{sha256(pad), 1}}));
    EXPECT_EQ(h.serviceFiles(), (std::map<QString, QString>{{QStringLiteral("A/pad.wav"), sha256(pad)},
                                                            {QStringLiteral("B/pad.wav"), sha256(pad)},
                                                            {QStringLiteral("C/pad.wav"), sha256(pad)}}));
    for (const auto &[path, state] : h.records(folder->stableID()))
        EXPECT_EQ(state, synced) << path.toStdString();
    EXPECT_THAT(lane->heldDuplicates(), IsEmpty());
    EXPECT_THAT(lane->activeRepresentatives(), IsEmpty());
}

} // namespace
