// Each library call against a scripted loopback service: the request it sends and the reader
// it hands the answer to. The readers' own rules are pinned in LibraryRepliesTest.

#include "support/ScriptedService.h"
#include "Platform/Async/Clock.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/LibraryAPIClient.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

using namespace quillmere;
using quillmere::test::await;
using Reply = quillmere::test::ScriptedService::Reply;

namespace {

QJsonObject jsonBody(const quillmere::test::ScriptedService::Seen &request)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
}

class LibraryOperations : public ::testing::Test, protected quillmere::test::TokenFixture
{
protected:
    LibraryOperations() { storeToken(QStringLiteral("first-token"), QDateTime::currentDateTimeUtc().addDays(30)); }

    LibraryAPIClient client{std::make_shared<HarborlyAPI>(tokens, Clock::system())};
};

TEST_F(LibraryOperations, ListingSendsItsQueryInOrderAndReadsTheReply)
{
    service.always("/api/v1/files/library", Reply{200, R"({"files": [{"id": 4, "filename": "a.wav"}, {"id": 5}]})"});
    auto listing = client.listLibraryFiles(SyncFolderType::projectsFolder, QStringLiteral("AB+CD"));
    const auto files = await(std::move(listing));
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(files[0].id, 4);

    auto bare = client.listLibraryFiles();
    await(std::move(bare));
    const auto requests = service.seen("/api/v1/files/library");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/api/v1/files/library?folder_type=drive&sync_folder_uuid=AB%2BCD");
    EXPECT_EQ(requests[0].authorization, "Bearer first-token");
    EXPECT_EQ(requests[1].target, "/api/v1/files/library");
}

TEST_F(LibraryOperations, ChangeFeedQueryAndCursor)
{
    service.next("/api/v1/files/library/changes",
                 Reply{200, R"({"changes": [{"id": 9, "action": "deleted"}], "cursor": "c2"})"});
    auto first = client.fetchChanges(QString());
    const auto feed = await(std::move(first));
    ASSERT_EQ(feed.changes.size(), 1);
    EXPECT_EQ(feed.changes[0].action, QStringLiteral("deleted"));
    EXPECT_EQ(feed.cursor, QStringLiteral("c2"));

    auto next = client.fetchChanges(QStringLiteral("2024-05-01T10:00:00+02:00"), SyncFolderType::references,
                                     QStringLiteral("F00D"));
    await(std::move(next));
    const auto requests = service.seen("/api/v1/files/library/changes");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/api/v1/files/library/changes");
    EXPECT_EQ(requests[1].target, "/api/v1/files/library/changes?since=2024-05-01T10%3A00%3A00%2B02%3A00&folder_type=reference&sync_folder_uuid=F00D");

    service.next("/api/v1/files/library/changes", Reply{200, R"({"changes": []})"});
    const auto before = QDateTime::currentDateTimeUtc().addSecs(-1);
    auto uncursored = client.fetchChanges(QStringLiteral("c2"));
    const auto fallback = await(std::move(uncursored));
    ASSERT_TRUE(fallback.cursor.endsWith(u'Z'));
    const auto stamped = QDateTime::fromString(fallback.cursor, Qt::ISODate);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, QDateTime::currentDateTimeUtc().addSecs(1));
}

TEST_F(LibraryOperations, SyncFolderListAndRegistration)
{
    service.next("/api/v1/sync-folders",
                 Reply{200, R"({"data": [{"uuid": "U1", "name": "Beats", "folder_type": "drive", "direction": "bidirectional"}]})"});
    auto listing = client.listSyncFolders();
    const auto folders = await(std::move(listing));
    ASSERT_EQ(folders.size(), 1);
    EXPECT_EQ(folders[0].name, QStringLiteral("Beats"));

    service.next("/api/v1/sync-folders", Reply{201, "ignored"});
    auto registering = client.registerSyncFolder(QStringLiteral("U2"), QStringLiteral("Refs \"quoted\""),
                                                  SyncFolderType::references, QStringLiteral("upload_only"));
    await(std::move(registering));
    const auto posts = service.seen("/api/v1/sync-folders");
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[1].method, "POST");
    EXPECT_EQ(posts[1].contentType, "application/json");
    EXPECT_EQ(jsonBody(posts[1]), (QJsonObject{{QStringLiteral("uuid"), QStringLiteral("U2")},
                                 {QStringLiteral("name"), QStringLiteral("Refs \"quoted\"")},
                                 {QStringLiteral("folder_type"), QStringLiteral("reference")},
                                 {QStringLiteral("direction"), QStringLiteral("upload_only")}}));
}

TEST_F(LibraryOperations, DeleteAndResetFolderRequests)
{
    service.next("/api/v1/files/library/42", Reply{200, ""});
    await(client.deleteFile(42));
    const auto deletes = service.seen("/api/v1/files/library/42");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].method, "DELETE");

    service.always("/api/v1/files/reset-folder", Reply{200, R"({"deleted_count": 3})"});
    auto plain = client.resetFolder(SyncFolderType::unorganisedAudio);
    EXPECT_EQ(await(std::move(plain)), 3);
    auto withPath = client.resetFolder(SyncFolderType::projectsFolder, QStringLiteral("Songs/Demo"));
    await(std::move(withPath));
    const auto resets = service.seen("/api/v1/files/reset-folder");
    ASSERT_EQ(resets.size(), 2u);
    EXPECT_EQ(resets[0].contentType, "application/json");
    EXPECT_EQ(jsonBody(resets[0]),
              (QJsonObject{{QStringLiteral("folder_type"), QStringLiteral("unorganised")}}));
    EXPECT_EQ(jsonBody(resets[1]),
              (QJsonObject{{QStringLiteral("folder_type"), QStringLiteral("drive")},
                           {QStringLiteral("drive_path"), QStringLiteral("Songs/Demo")}}));
}

TEST_F(LibraryOperations, StorageAccountAndPlans)
{
    service.next("/api/v1/storage", Reply{200, R"({"is_enforced": true, "storage_used_bytes": 77})"});
    service.next("/api/v1/account", Reply{200, R"({"id": 5, "maintenance": true})"});
    service.next("/api/v1/plans", Reply{200, R"({"plans": [{"id": 12, "name": "P", "slug": "spring-pack"}]})"});
    auto storage = client.fetchStorage();
    const auto summary = await(std::move(storage));
    EXPECT_TRUE(summary.isEnforced);
    EXPECT_EQ(summary.storageUsedBytes, 77);
    auto account = client.fetchAccount();
    EXPECT_TRUE(await(std::move(account)).maintenance);
    auto plans = client.fetchPlans();
    const auto list = await(std::move(plans));
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].folderName, QStringLiteral("plan-12-spring-pack"));
}

} // namespace
