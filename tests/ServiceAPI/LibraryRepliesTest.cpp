#include "Platform/Http/Json.h"
#include "ServiceAPI/HarborlyAPIError.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>

#include <functional>
#include <optional>
#include <ostream>
#include <tuple>

using quillmere::HarborlyAPIError;
using quillmere::test::failureOf;
using quillmere::LibraryAPIClient;
using quillmere::json::JsonError;
using Client = LibraryAPIClient;

namespace {

struct Refusal
{
    int status = 0;
    QString message;
    bool operator==(const Refusal &) const = default;
    friend void PrintTo(const Refusal &refusal, std::ostream *out)
    {
        *out << refusal.status << " \"" << refusal.message.toStdString() << '"';
    }
};

// The serverError a reader ends with; fails the test when it ends otherwise.
Refusal refusal(const std::function<void()> &read)
{
    const auto error = failureOf<HarborlyAPIError>(read);
    if (error && error->code() == HarborlyAPIError::Code::serverError)
        return Refusal{error->statusCode(), error->message()};
    if (error)
        ADD_FAILURE() << "not a server error: " << error->what();
    return Refusal{0, QStringLiteral("<no refusal>")};
}

bool isInvalidResponse(const std::function<void()> &read)
{
    const auto error = failureOf<HarborlyAPIError>(read);
    return error && error->code() == HarborlyAPIError::Code::invalidResponse;
}

QDateTime utc(int year, int month, int day, int hour, int minute, int second)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC);
}

const QByteArray notUtf8("\xff\xfe broken", 9);

// Every reader refuses what is not its success status; which text becomes the message (the
// body, "message", "error" or the reader's own fallback) differs per reader.
TEST(LibraryReplies, RefusalsTakeTheirMessageByEachReadersRule)
{
    const struct
    {
        const char *what;
        std::function<void()> read;
        Refusal expected;
    } cases[] = {
        {"listing 201", [] { Client::parseLibraryResponse(201, "{}"); }, {201, QStringLiteral("{}")}},
        {"listing body", [] { Client::parseLibraryResponse(500, "database on fire"); }, {500, QStringLiteral("database on fire")}},
        {"listing not utf-8", [] { Client::parseLibraryResponse(502, notUtf8); }, {502, QStringLiteral("Unknown error")}},
        {"listing empty", [] { Client::parseLibraryResponse(503, QByteArray()); }, {503, QString()}},
        {"changes not utf-8", [] { Client::parseChangesResponse(500, notUtf8); }, {500, QStringLiteral("Changes request failed")}},
        {"changes body", [] { Client::parseChangesResponse(404, "no such folder"); }, {404, QStringLiteral("no such folder")}},
        {"folders message", [] { Client::parseSyncFoldersResponse(403, R"({"message": "nope"})"); }, {403, QStringLiteral("nope")}},
        {"folders error", [] { Client::parseSyncFoldersResponse(500, R"({"error": "x"})"); }, {500, QStringLiteral("Failed to list sync folders")}},
        {"register error", [] { Client::parseRegisterSyncFolderResponse(409, R"({"error": "taken", "message": 5})"); }, {409, QStringLiteral("taken")}},
        {"register 300", [] { Client::parseRegisterSyncFolderResponse(300, "[]"); }, {300, QStringLiteral("Sync folder registration failed")}},
        {"delete 204", [] { Client::parseDeleteResponse(204, QByteArray()); }, {204, QString()}},
        {"delete not utf-8", [] { Client::parseDeleteResponse(500, notUtf8); }, {500, QStringLiteral("Delete failed")}},
        {"reset message", [] { Client::parseResetFolderResponse(400, R"({"message": "m", "error": "e"})"); }, {400, QStringLiteral("m")}},
        {"reset body", [] { Client::parseResetFolderResponse(500, "oops"); }, {500, QStringLiteral("Reset folder failed")}},
        {"download 206", [] { Client::parseDownloadResponse(206); }, {206, QStringLiteral("Download failed")}},
        {"storage 201", [] { Client::parseStorageResponse(201, "{}"); }, {201, QStringLiteral("Storage request failed")}},
        {"storage message", [] { Client::parseStorageResponse(507, R"({"message": "full", "error": "e"})"); }, {507, QStringLiteral("full")}},
        {"account error", [] { Client::parseAccountResponse(500, R"({"error": "e"})"); }, {500, QStringLiteral("Account request failed")}},
        {"plans body", [] { Client::parsePlansResponse(500, R"({"message": "m"})"); }, {500, QStringLiteral(R"({"message": "m"})")}},
        {"plans not utf-8", [] { Client::parsePlansResponse(503, notUtf8); }, {503, QStringLiteral("Plans request failed")}},
        {"liveness error", [] { Client::parseDAWLivenessResponse(500, R"({"error": "x"})"); }, {500, QStringLiteral("DAW-liveness report failed")}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(refusal(c.read), c.expected) << c.what;

    EXPECT_NO_THROW(Client::parseRegisterSyncFolderResponse(201, "not even json"));
    EXPECT_NO_THROW(Client::parseDeleteResponse(200, notUtf8));
    EXPECT_NO_THROW(Client::parseDownloadResponse(200));
    for (const auto &read : std::initializer_list<std::function<void()>>{
             [] { Client::parseLibraryResponse(200, "<html>"); }, [] { Client::parseChangesResponse(200, "not json"); },
             [] { Client::parseResetFolderResponse(204, QByteArray()); }, [] { Client::parseStorageResponse(200, "storage"); },
             [] { Client::parsePlansResponse(200, "{"); }, [] { Client::parseDAWLivenessResponse(204, QByteArray()); }})
        EXPECT_THROW(read(), JsonError);
}

// Integers are integers only: a quoted id or a fractional size is another type and reads as
// absent; an entry without its required fields is dropped alone.
TEST(LibraryReplies, ListingAndFeedTypeStrictly)
{
    const auto files = Client::parseLibraryResponse(200, R"({"files": [
        {"id": 7, "filename": "kick.wav"}, {"filename": "no-id.wav"}, {"id": 8},
        {"id": "9", "filename": "quoted-id.wav"}, "not an object",
        {"id": 10, "filename": "full.wav", "mime_type": "audio/wav", "file_size": 12.5,
         "file_checksum": "abc", "file_category": "drive_file", "drive_path": "Drums",
         "user_plan_id": 3, "created_at": "2024-05-01T12:00:00+02:00", "updated_at": "2024-05-01T10:00:00.250Z"}
    ]})");
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(std::tie(files[0].id, files[0].filename, files[0].fileSize), std::tuple(7, QStringLiteral("kick.wav"), 0));
    EXPECT_FALSE(files[0].fileChecksum || files[0].fileCategory || files[0].drivePath || files[0].userPlanId
                 || files[0].createdAt || files[0].updatedAt);
    const auto &full = files[1];
    EXPECT_EQ(std::tie(full.mimeType, full.fileChecksum, full.fileCategory, full.drivePath),
              std::tuple(QStringLiteral("audio/wav"), QStringLiteral("abc"), QStringLiteral("drive_file"), QStringLiteral("Drums")));
    EXPECT_EQ(full.fileSize, 0) << "a fractional size is of another type";
    EXPECT_EQ(full.userPlanId, 3);
    EXPECT_EQ(full.createdAt, utc(2024, 5, 1, 10, 0, 0));
    EXPECT_EQ(full.updatedAt, std::nullopt) << "fractional seconds read as absent";
    EXPECT_TRUE(Client::parseLibraryResponse(200, R"({"files": {"id": 1}})").isEmpty());
    EXPECT_TRUE(Client::parseLibraryResponse(200, "[1, 2]").isEmpty());

    const auto feed = Client::parseChangesResponse(200, R"({"changes": [
        {"id": 1}, {"id": "2", "filename": "dropped.wav"}, {"filename": "no-id.wav"},
        {"id": 3, "filename": "gone.wav", "file_size": 12.5, "action": "deleted", "drive_path": "A/B",
         "user_plan_id": 4, "created_at": "2024-05-01T10:00:00Z", "updated_at": "yesterday",
         "deleted_at": "2024-05-02T00:00:00-01:30"}
    ], "cursor": "opaque-42"})");
    ASSERT_EQ(feed.changes.size(), 2);
    const auto &bare = feed.changes[0];
    EXPECT_EQ(bare.action, QStringLiteral("created"));
    EXPECT_FALSE(bare.mimeType || bare.fileSize || bare.fileChecksum || bare.fileCategory || bare.drivePath
                 || bare.userPlanId || bare.createdAt || bare.updatedAt || bare.deletedAt);
    const auto &gone = feed.changes[1];
    EXPECT_EQ(std::tie(gone.action, gone.drivePath, gone.userPlanId),
              std::tuple(QStringLiteral("deleted"), QStringLiteral("A/B"), 4));
    EXPECT_EQ(gone.fileSize, std::nullopt) << "a fractional size reads as absent in the feed";
    EXPECT_EQ(gone.createdAt, utc(2024, 5, 1, 10, 0, 0));
    EXPECT_EQ(gone.updatedAt, std::nullopt);
    EXPECT_EQ(gone.deletedAt, utc(2024, 5, 2, 1, 30, 0));
    EXPECT_EQ(feed.cursor, QStringLiteral("opaque-42"));
}

// The feed folded into its deletes keeps each file whose last word is its delete, with the
// delete's time, and the newest time the feed names; it is refused as the feed is.
TEST(LibraryReplies, FeedFoldedIntoItsDeletesKeepsEachFilesLastWord)
{
    const auto deletes = Client::parseDeletesResponse(200, R"({"changes": [
        {"id": 1, "action": "created", "updated_at": "2024-05-01T10:00:00Z"},
        {"id": 1, "action": "deleted", "deleted_at": "2024-05-01T11:00:00Z"},
        {"id": 2, "action": "deleted", "deleted_at": "2024-05-01T12:00:00Z"},
        {"id": 2, "action": "created", "created_at": "2024-05-01T12:30:00Z"},
        {"id": 3, "action": "deleted"}, {"action": "deleted", "deleted_at": "2024-06-01T00:00:00Z"},
        {"id": 4, "action": "updated", "updated_at": "2024-05-01T09:00:00Z"}
    ], "cursor": "c"})");
    EXPECT_EQ(deletes.deleted, (QHash<qint64, std::optional<QDateTime>>{{1, utc(2024, 5, 1, 11, 0, 0)},
                                                                        {3, std::nullopt}}));
    EXPECT_EQ(deletes.newest, utc(2024, 5, 1, 12, 30, 0)) << "an entry without an id tells nothing";
    EXPECT_EQ(refusal([] { Client::parseDeletesResponse(410, "cursor expired"); }),
              (Refusal{410, QStringLiteral("cursor expired")}));
    EXPECT_THROW(Client::parseDeletesResponse(200, "not json"), JsonError);
}

TEST(LibraryReplies, TheCursorIsOnlyOneTheServiceSent)
{
    EXPECT_EQ(Client::parseChangesResponse(200, R"({"changes": [{"id": 5}]})").cursor, std::nullopt);
    EXPECT_EQ(Client::parseChangesResponse(200, R"({"changes": [], "cursor": 17})").cursor, std::nullopt);
    EXPECT_EQ(Client::parseChangesResponse(200, "[]").cursor, std::nullopt);
    EXPECT_EQ(Client::parseChangesResponse(200, R"({"cursor": ""})").cursor, std::nullopt);
    EXPECT_EQ(Client::parseChangesResponse(200, R"({"cursor": "2030-01-02T03:04:05Z"})").cursor,
              QStringLiteral("2030-01-02T03:04:05Z"));
}

TEST(LibraryReplies, SyncFoldersNeedTheDataArrayAndCompleteEntries)
{
    const auto folders = Client::parseSyncFoldersResponse(204, R"({"data": [
        {"uuid": "B", "name": "Beats", "folder_type": "drive", "direction": "bidirectional", "sort_order": 2},
        {"uuid": "C", "name": "No direction", "folder_type": "reference"},
        {"uuid": "D", "name": "Refs", "folder_type": "reference", "direction": "upload_only", "sort_order": "1"}, 7
    ]})");
    ASSERT_EQ(folders.size(), 2);
    EXPECT_EQ(std::tie(folders[0].uuid, folders[0].name, folders[0].folderType, folders[0].direction, folders[0].sortOrder),
              std::tuple(QStringLiteral("B"), QStringLiteral("Beats"), QStringLiteral("drive"), QStringLiteral("bidirectional"), 2));
    EXPECT_EQ(std::tie(folders[1].uuid, folders[1].sortOrder), std::tuple(QStringLiteral("D"), 0));

    for (const char *body : {"", R"([{"data": []}])", R"({"folders": []})", R"({"data": {}})"})
        EXPECT_TRUE(isInvalidResponse([body] { Client::parseSyncFoldersResponse(200, body); })) << body;
    EXPECT_TRUE(Client::parseSyncFoldersResponse(200, R"({"data": []})").isEmpty());
}

TEST(LibraryReplies, ResetCountStorageAndAccountDefaultsAndStrictTypes)
{
    EXPECT_EQ(Client::parseResetFolderResponse(202, R"({"deleted_count": 12})"), 12);
    EXPECT_EQ(Client::parseResetFolderResponse(200, R"({"deleted_count": 1.5})"), 0);

    const auto empty = Client::parseStorageResponse(200, R"({"is_enforced": 1, "breakdown": [1]})");
    EXPECT_EQ(std::tie(empty.subscription, empty.subscriptionLabel), std::tuple(QStringLiteral("silver"), QStringLiteral("Silver")));
    EXPECT_FALSE(empty.isEnforced);
    const auto full = Client::parseStorageResponse(200, R"({
        "subscription": "gold", "subscription_label": "Gold", "storage_limit_bytes": 5000000000000,
        "storage_used_bytes": 10, "actual_disk_bytes": "20", "is_enforced": true,
        "breakdown": {"plan_asset": 1, "commercial_reference": 2, "drive_file": 3, "unorganised": 4.5}})");
    EXPECT_EQ(std::tie(full.subscription, full.subscriptionLabel), std::tuple(QStringLiteral("gold"), QStringLiteral("Gold")));
    EXPECT_EQ(std::tie(full.storageLimitBytes, full.storageUsedBytes, full.actualDiskBytes),
              std::tuple(5000000000000, 10, 0));
    EXPECT_TRUE(full.isEnforced);
    EXPECT_EQ(std::tie(full.breakdown.planAsset, full.breakdown.commercialReference, full.breakdown.driveFile,
                       full.breakdown.unorganised),
              std::tuple(1, 2, 3, 0));

    const auto nobody = Client::parseAccountResponse(200, "[]");
    EXPECT_EQ(std::tie(nobody.id, nobody.plan), std::tuple(0, QStringLiteral("silver")));
    const auto account = Client::parseAccountResponse(200, R"({"id": 9, "name": "Ada", "email": "a@b.c",
        "plan": "gold", "storage_used_bytes": 1, "storage_limit_bytes": 2, "maintenance": true})");
    EXPECT_EQ(std::tie(account.id, account.name, account.email, account.plan, account.storageUsedBytes,
                       account.storageLimitBytes, account.maintenance),
              std::tuple(9, QStringLiteral("Ada"), QStringLiteral("a@b.c"), QStringLiteral("gold"), 1, 2, true));
}

TEST(LibraryReplies, PlansNameTheirFoldersAndCountTheirFiles)
{
    const auto plans = Client::parsePlansResponse(200, R"({"plans": [
        {"id": 12, "name": "No slug"},
        {"id": 12, "name": "Spring", "slug": "spring-pack", "status": "archived", "files": [
            {"id": 1, "filename": "a.wav", "file_size": 10, "created_at": "2024-05-01T10:00:00Z"},
            {"id": 2}, {"id": 3, "filename": "c.wav", "drive_path": "Loops", "file_size": 2.5}]},
        {"id": 13, "name": "Named", "folder_name": "Custom", "file_count": 40}, {"name": "no id"}, {"id": 14}
    ]})");
    ASSERT_EQ(plans.size(), 3);
    EXPECT_EQ(std::tie(plans[0].folderName, plans[0].status, plans[0].fileCount),
              std::tuple(QStringLiteral("plan-12-plan"), QStringLiteral("active"), 0));
    EXPECT_EQ(std::tie(plans[1].folderName, plans[1].status, plans[1].fileCount),
              std::tuple(QStringLiteral("plan-12-spring-pack"), QStringLiteral("archived"), 2));
    ASSERT_EQ(plans[1].files.size(), 2);
    EXPECT_EQ(std::tie(plans[1].files[0].filename, plans[1].files[0].fileSize), std::tuple(QStringLiteral("a.wav"), 10));
    EXPECT_EQ(plans[1].files[0].createdAt, utc(2024, 5, 1, 10, 0, 0));
    EXPECT_EQ(std::tie(plans[1].files[1].id, plans[1].files[1].drivePath), std::tuple(3, QStringLiteral("Loops")));
    EXPECT_EQ(plans[1].files[1].fileSize, std::nullopt);
    EXPECT_EQ(std::tie(plans[2].folderName, plans[2].fileCount), std::tuple(QStringLiteral("Custom"), 40));
    EXPECT_TRUE(Client::parsePlansResponse(200, R"({"plans": "none"})").isEmpty());
}

TEST(LibraryReplies, DAWLivenessFields)
{
    const auto reply = Client::parseDAWLivenessResponse(
        200, R"({"warn": true, "peer_devices": [{"device_name": "Studio"}, {}, {"device_name": 3}, "x"]})");
    EXPECT_TRUE(reply.warn);
    EXPECT_EQ(reply.message, std::nullopt);
    EXPECT_EQ(reply.peerDeviceNames, QStringList{QStringLiteral("Studio")});
    const auto counted = Client::parseDAWLivenessResponse(
        202, R"({"warn": "yes", "open_device_count": 2, "message": "open elsewhere"})");
    EXPECT_FALSE(counted.warn);
    EXPECT_EQ(std::tie(counted.openDeviceCount, counted.message), std::tuple(2, std::optional(QStringLiteral("open elsewhere"))));
}

} // namespace
