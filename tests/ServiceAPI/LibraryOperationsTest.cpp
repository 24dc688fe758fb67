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

// Query values are percent-encoded, including '+', ':' and the folder kind's wire name.
TEST_F(LibraryOperations, ListingAndFeedEncodeTheirQueries)
{
    service.always("/api/v1/files/library", Reply{200, R"({"files": []})"});
    await(client.listLibraryFiles(SyncFolderType::projectsFolder, QStringLiteral("AB+CD")));
    await(client.listLibraryFiles());
    const auto listings = service.seen("/api/v1/files/library");
    ASSERT_EQ(listings.size(), 2u);
    EXPECT_EQ(listings[0].method, "GET");
    EXPECT_EQ(listings[0].target, "/api/v1/files/library?folder_type=drive&sync_folder_uuid=AB%2BCD");
    EXPECT_EQ(listings[0].authorization, "Bearer first-token");
    EXPECT_EQ(listings[1].target, "/api/v1/files/library");

    service.always("/api/v1/files/library/changes", Reply{200, R"({"changes": []})"});
    await(client.fetchChanges(QString()));
    auto next = client.fetchChanges(QStringLiteral("2024-05-01T10:00:00+02:00"), SyncFolderType::references,
                                    QStringLiteral("F00D"));
    const auto fallback = await(std::move(next));
    const auto feeds = service.seen("/api/v1/files/library/changes");
    ASSERT_EQ(feeds.size(), 2u);
    EXPECT_EQ(feeds[0].target, "/api/v1/files/library/changes");
    EXPECT_EQ(feeds[1].target, "/api/v1/files/library/changes?since=2024-05-01T10%3A00%3A00%2B02%3A00&folder_type=reference&sync_folder_uuid=F00D");
    // Without a cursor in the reply there is none: never one made from this device's clock.
    EXPECT_EQ(fallback.cursor, std::nullopt);
}

TEST_F(LibraryOperations, RegistrationAndResetSendTheKeysTheServiceRequires)
{
    service.next("/api/v1/sync-folders", Reply{201, "ignored"});
    await(client.registerSyncFolder(QStringLiteral("U2"), QStringLiteral("Refs \"quoted\""), SyncFolderType::references,
                                    QStringLiteral("upload_only")));
    const auto posts = service.seen("/api/v1/sync-folders");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].method, "POST");
    EXPECT_EQ(posts[0].contentType, "application/json");
    EXPECT_EQ(jsonBody(posts[0]), (QJsonObject{{QStringLiteral("uuid"), QStringLiteral("U2")},
                                               {QStringLiteral("name"), QStringLiteral("Refs \"quoted\"")},
                                               {QStringLiteral("folder_type"), QStringLiteral("reference")},
                                               {QStringLiteral("direction"), QStringLiteral("upload_only")}}));

    service.next("/api/v1/files/library/42", Reply{200, ""});
    await(client.deleteFile(42));
    ASSERT_EQ(service.seen("/api/v1/files/library/42").size(), 1u);
    EXPECT_EQ(service.seen("/api/v1/files/library/42")[0].method, "DELETE");

    service.always("/api/v1/files/reset-folder", Reply{200, R"({"deleted_count": 3})"});
    EXPECT_EQ(await(client.resetFolder(SyncFolderType::unorganisedAudio)), 3);
    await(client.resetFolder(SyncFolderType::projectsFolder, QStringLiteral("Songs/Demo")));
    await(client.resetFolder(SyncFolderType::references));
    const auto resets = service.seen("/api/v1/files/reset-folder");
    ASSERT_EQ(resets.size(), 3u);
    EXPECT_EQ(jsonBody(resets[0]), (QJsonObject{{QStringLiteral("folder_type"), QStringLiteral("unorganised")}}));
    EXPECT_EQ(jsonBody(resets[1]), (QJsonObject{{QStringLiteral("folder_type"), QStringLiteral("drive")},
                                                {QStringLiteral("drive_path"), QStringLiteral("Songs/Demo")}}));
    EXPECT_EQ(jsonBody(resets[2]), (QJsonObject{{QStringLiteral("folder_type"), QStringLiteral("reference")}}));
}

// Each fetch reaches its own route and hands the answer to its own reader.
TEST_F(LibraryOperations, FetchesReachTheirRoutes)
{
    service.next("/api/v1/sync-folders", Reply{200, R"({"data": [{"uuid": "U1", "name": "B", "folder_type": "drive", "direction": "bidirectional"}]})"});
    service.next("/api/v1/storage", Reply{200, R"({"storage_used_bytes": 77})"});
    service.next("/api/v1/account", Reply{200, R"({"id": 5})"});
    service.next("/api/v1/plans", Reply{200, R"({"plans": [{"id": 12, "name": "P"}]})"});
    EXPECT_EQ(await(client.listSyncFolders()).size(), 1);
    EXPECT_EQ(await(client.fetchStorage()).storageUsedBytes, 77);
    EXPECT_EQ(await(client.fetchAccount()).id, 5);
    EXPECT_EQ(await(client.fetchPlans()).size(), 1);
}

} // namespace
