#include "ServiceAPI/TransferFixture.h"

#include "ServiceAPI/HarborlyAPIError.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using quillmere::HarborlyAPIError;
using quillmere::LibraryAPIClient;
using quillmere::SyncFolderType;
using namespace quillmere::test;

namespace {

using BatchCalls = TransferFixture;

const QString kFolder = QStringLiteral("6F1C2D3E-0000-4000-8000-00000000000A");

QJsonObject bodyOf(const LoggedRequest &request)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
}

QString hashOf(int n)
{
    return QString::fromLatin1(QCryptographicHash::hash(QByteArray::number(n), QCryptographicHash::Sha256).toHex());
}

qint64 seedFile(FakeHarborly &fake, qint64 account, const QByteArray &content, const QString &drivePath)
{
    FakeLibraryFile file;
    file.accountId = account;
    file.filename = drivePath.section(u'/', -1);
    file.content = content;
    file.drivePath = drivePath;
    return fake.addFile(file);
}

} // namespace

// The lane decides how many files make a batch: however many there are, they go as one request.
TEST_F(BatchCalls, HashCheckSendsEveryEntryInOneRequestAndDropsMalformedEntries)
{
    seedFile(fake, account, "kick", QStringLiteral("drums/kick.wav"));
    const qint64 snareId = seedFile(fake, account, "snare", QStringLiteral("drums/snare.wav"));
    fake.setMalformedBatchEntries(true);

    QList<LibraryAPIClient::BatchHashEntry> entries;
    entries.append({QStringLiteral("kick.wav"), QStringLiteral("drums/kick.wav"), sha256("kick"), 4});
    entries.append({QStringLiteral("snare.wav"), QStringLiteral("copies/snare.wav"), sha256("snare"), 5});
    entries.append({QStringLiteral("odd.wav"), QStringLiteral("odd.wav"), QStringLiteral("not-a-hash"), 1});
    for (int n = 0; n < 247; ++n)
        entries.append({QStringLiteral("new-%1.wav").arg(n), QStringLiteral("new-%1.wav").arg(n), hashOf(n), n});

    const auto result = await(client->checkHashBatch(kFolder, SyncFolderType::projectsFolder, entries));

    const auto requests = fake.requestsTo("POST", "/api/v1/files/batch-check-hash");
    ASSERT_EQ(requests.size(), 1u);
    const QJsonObject sent = bodyOf(requests[0]);
    EXPECT_EQ(sent.value(QStringLiteral("files")).toArray().size(), 250);
    EXPECT_EQ(sent.value(QStringLiteral("sync_folder_uuid")).toString(), kFolder);
    EXPECT_EQ(sent.value(QStringLiteral("folder_type")).toString(), QStringLiteral("drive"));

    EXPECT_EQ(result.synced, QSet<QString>{sha256("kick")});
    ASSERT_EQ(result.deduplicated.size(), 1);
    EXPECT_EQ(result.deduplicated[0].fileId, snareId);
    EXPECT_EQ(result.unknown, QSet<QString>{QStringLiteral("not-a-hash")});
    ASSERT_EQ(result.uploadRequired.size(), 247);
    EXPECT_EQ(result.uploadRequired[246].contentSHA256, hashOf(246));
    EXPECT_EQ(result.cursor, fake.currentCursor(account));
}

TEST_F(BatchCalls, DedupConfirmLinksHeldContentInOneRequestAndReportsTheRest)
{
    seedFile(fake, account, "pad", QStringLiteral("synths/pad.wav"));
    QList<LibraryAPIClient::BatchDedupConfirmEntry> entries;
    for (int n = 0; n < 250; ++n) {
        LibraryAPIClient::BatchDedupConfirmEntry entry;
        entry.contentSHA256 = n % 2 ? hashOf(n) : sha256("pad");
        entry.filename = QStringLiteral("pad-%1.wav").arg(n);
        entry.fileSize = 3;
        entry.mimeType = QStringLiteral("audio/wav");
        entry.drivePath = QStringLiteral("copies/pad-%1.wav").arg(n);
        entry.audioDurationSeconds = 1.5;
        if (n == 0)
            entry.audioSampleRate = 48000;
        entries.append(entry);
    }

    const auto result = await(client->dedupConfirmBatch(kFolder, SyncFolderType::projectsFolder, entries,
                                                        QStringLiteral("DEVICE-1"), std::nullopt));

    const auto requests = fake.requestsTo("POST", "/api/v1/files/batch-dedup-confirm");
    ASSERT_EQ(requests.size(), 1u);
    const QJsonObject first = bodyOf(requests[0]);
    EXPECT_EQ(first.value(QStringLiteral("pre_verified")), QJsonValue(true));
    EXPECT_EQ(first.value(QStringLiteral("device_id")).toString(), QStringLiteral("DEVICE-1"));
    EXPECT_FALSE(first.contains(QStringLiteral("plan_id")));
    const QJsonArray files = first.value(QStringLiteral("files")).toArray();
    EXPECT_EQ(files[0].toObject().value(QStringLiteral("audio_analysis")).toObject().value(QStringLiteral("sample_rate")).toInt(),
              48000);
    EXPECT_FALSE(files[2].toObject().contains(QStringLiteral("audio_analysis"))) << "a duration without a rate";

    ASSERT_EQ(result.confirmed.size(), 125);
    ASSERT_EQ(result.failed.size(), 125);
    EXPECT_EQ(result.confirmed[1].drivePath, QStringLiteral("copies/pad-2.wav"));
    EXPECT_EQ(result.failed[0].reason, QStringLiteral("Content not held"));
    EXPECT_EQ(fake.files(account).size(), 126u);

    // Malformed reply entries are dropped, never the whole reply.
    fake.setMalformedBatchEntries(true);
    const auto again = await(client->dedupConfirmBatch(kFolder, SyncFolderType::projectsFolder, entries.mid(0, 2)));
    EXPECT_EQ(again.confirmed.size(), 1);
    EXPECT_EQ(again.failed.size(), 1);
}

TEST_F(BatchCalls, ReplyReadersTakeTheirOwnFailureMessages)
{
    const QByteArray errorOnly = R"({"error": "x"})";
    const auto messageOf = [](const std::optional<HarborlyAPIError> &error) { return error ? error->message() : QString(); };
    EXPECT_EQ(messageOf(failureOf<HarborlyAPIError>([&] { LibraryAPIClient::parseBatchHashCheckResponse(500, errorOnly); })),
              QStringLiteral("Batch hash check failed"));
    EXPECT_EQ(messageOf(failureOf<HarborlyAPIError>([&] { LibraryAPIClient::parseBatchDedupConfirmResponse(500, errorOnly); })),
              QStringLiteral("x"));
    const auto opened = LibraryAPIClient::parseMultipartInitiateResponse(200, R"({"status": "already_exists"})",
                                                                         QStringLiteral("req-oid"));
    EXPECT_TRUE(opened.alreadyExists);
    EXPECT_EQ(opened.oid, QStringLiteral("req-oid"));
    // Without "part_size" a part is 100 MiB.
    EXPECT_EQ(LibraryAPIClient::parseMultipartInitiateResponse(200, R"({"upload_id": "u"})", QString()).partSize,
              104'857'600);
    const auto parts = LibraryAPIClient::parsePresignPartsResponse(
        200, R"({"parts": [{"part_number": 1}, {"part_number": 2, "presigned_url": "http://127.0.0.1/p", "expires_at": "soon"}]})");
    ASSERT_EQ(parts.size(), 1);
    EXPECT_EQ(parts[0].partNumber, 2);
    EXPECT_FALSE(parts[0].expiresAt);
}

TEST_F(BatchCalls, DAWLivenessReportsNamePeersWithTheSameProject)
{
    EXPECT_FALSE(await(client->reportDAWLiveness(QStringLiteral("DEV-A"), QStringLiteral("song.als"),
                                                 QStringLiteral("Live"), QStringLiteral("Laptop")))
                     .warn);
    const auto warned = await(client->reportDAWLiveness(QStringLiteral("DEV-B"), QStringLiteral("song.als"),
                                                        std::nullopt, QStringLiteral("Studio")));
    EXPECT_TRUE(warned.warn);
    EXPECT_EQ(warned.openDeviceCount, 2);
    EXPECT_EQ(warned.peerDeviceNames, QStringList{QStringLiteral("Laptop")});
    const auto reports = fake.livenessReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].dawName, QStringLiteral("Live"));
    EXPECT_FALSE(reports[1].dawName);
}
