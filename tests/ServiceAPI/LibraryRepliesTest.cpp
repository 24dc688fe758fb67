#include "Platform/Http/Json.h"
#include "ServiceAPI/HarborlyAPIError.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>

#include <functional>
#include <optional>
#include <ostream>

using quillmere::HarborlyAPIError;
using quillmere::test::failureOf;
using quillmere::LibraryAPIClient;
using quillmere::json::JsonError;

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

// ---- Library listing and change feed ----

TEST(LibraryListingReply, KeepsOnlyEntriesWithIdAndFilenameAndDefaultsTheRest)
{
    const auto files = LibraryAPIClient::parseLibraryResponse(200, R"({"files": [
        {"id": 7, "filename": "kick.wav"},
        {"filename": "no-id.wav"},
        {"id": 8},
        {"id": "9", "filename": "quoted-id.wav"},
        "not an object",
        {"id": 10, "filename": "full.wav", "mime_type": "audio/wav", "file_size": 12.5,
         "file_checksum": "abc", "file_category": "drive_file", "drive_path": "Drums",
         "user_plan_id": 3, "created_at": "2024-05-01T12:00:00+02:00",
         "updated_at": "2024-05-01T10:00:00.250Z"}
    ]})");
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[0].id, 7);
    EXPECT_EQ(files[0].filename, QStringLiteral("kick.wav"));
    EXPECT_EQ(files[0].mimeType, QString());
    EXPECT_EQ(files[0].fileSize, 0);
    EXPECT_FALSE(files[0].fileChecksum || files[0].fileCategory || files[0].drivePath || files[0].userPlanId
                 || files[0].createdAt || files[0].updatedAt);

    const auto &full = files[1];
    EXPECT_EQ(full.mimeType, QStringLiteral("audio/wav"));
    EXPECT_EQ(full.fileSize, 0) << "a fractional size is of another type";
    EXPECT_EQ(full.fileChecksum, QStringLiteral("abc"));
    EXPECT_EQ(full.fileCategory, QStringLiteral("drive_file"));
    EXPECT_EQ(full.drivePath, QStringLiteral("Drums"));
    EXPECT_EQ(full.userPlanId, 3);
    EXPECT_EQ(full.createdAt, utc(2024, 5, 1, 10, 0, 0));
    EXPECT_EQ(full.updatedAt, std::nullopt) << "fractional seconds read as absent";
}

TEST(LibraryListingReply, ShapesThatYieldNoFiles)
{
    EXPECT_TRUE(LibraryAPIClient::parseLibraryResponse(200, "[1, 2]").isEmpty());
    EXPECT_TRUE(LibraryAPIClient::parseLibraryResponse(200, R"({"files": {"id": 1}})").isEmpty());
    EXPECT_TRUE(LibraryAPIClient::parseLibraryResponse(200, "{}").isEmpty());
    EXPECT_THROW(LibraryAPIClient::parseLibraryResponse(200, "<html>"), JsonError);
    EXPECT_THROW(LibraryAPIClient::parseLibraryResponse(200, ""), JsonError);
}

TEST(LibraryListingReply, RefusalsCarryTheBodyText)
{
    EXPECT_EQ(refusal([] { LibraryAPIClient::parseLibraryResponse(201, R"({"files": []})"); }).status, 201);

    EXPECT_EQ(refusal([] { LibraryAPIClient::parseLibraryResponse(500, "database on fire"); }),
              (Refusal{500, QStringLiteral("database on fire")}));

    EXPECT_EQ(refusal([] { LibraryAPIClient::parseLibraryResponse(502, notUtf8); }).message,
              QStringLiteral("Unknown error"));

    EXPECT_EQ(refusal([] { LibraryAPIClient::parseLibraryResponse(503, QByteArray()); }).message, QString());
}

TEST(ChangeFeedReply, RetainsEntriesWithOnlyAnIdAndReadsEveryField)
{
    const auto now = utc(2030, 1, 2, 3, 4, 5);
    const auto feed = LibraryAPIClient::parseChangesResponse(200, R"({"changes": [
        {"id": 1},
        {"id": "2", "filename": "dropped.wav"},
        {"filename": "no-id.wav"},
        {"id": 3, "filename": "gone.wav", "mime_type": "audio/wav", "file_size": 12.5, "action": "deleted",
         "file_checksum": "c", "file_category": "reference", "drive_path": "A/B", "user_plan_id": 4,
         "created_at": "2024-05-01T10:00:00Z", "updated_at": "yesterday",
         "deleted_at": "2024-05-02T00:00:00-01:30"}
    ], "cursor": "opaque-42"})", now);
    ASSERT_EQ(feed.changes.size(), 2);
    const auto &bare = feed.changes[0];
    EXPECT_EQ(bare.id, 1);
    EXPECT_EQ(bare.filename, QString());
    EXPECT_EQ(bare.action, QStringLiteral("created"));
    EXPECT_FALSE(bare.mimeType || bare.fileSize || bare.fileChecksum || bare.fileCategory || bare.drivePath
                 || bare.userPlanId || bare.createdAt || bare.updatedAt || bare.deletedAt);

    const auto &gone = feed.changes[1];
    EXPECT_EQ(gone.action, QStringLiteral("deleted"));
    EXPECT_EQ(gone.fileSize, std::nullopt) << "a fractional size reads as absent in the feed";
    EXPECT_EQ(gone.drivePath, QStringLiteral("A/B"));
    EXPECT_EQ(gone.userPlanId, 4);
    EXPECT_EQ(gone.createdAt, utc(2024, 5, 1, 10, 0, 0));
    EXPECT_EQ(gone.updatedAt, std::nullopt);
    EXPECT_EQ(gone.deletedAt, utc(2024, 5, 2, 1, 30, 0));
    EXPECT_EQ(feed.cursor, QStringLiteral("opaque-42"));
}

TEST(ChangeFeedReply, CursorFallsBackToNowOnlyWhenNotAString)
{
    const auto now = utc(2030, 1, 2, 3, 4, 5);
    const QString nowText = QStringLiteral("2030-01-02T03:04:05Z");
    EXPECT_EQ(LibraryAPIClient::parseChangesResponse(200, R"({"changes": []})", now).cursor, nowText);
    EXPECT_EQ(LibraryAPIClient::parseChangesResponse(200, R"({"changes": [], "cursor": 17})", now).cursor, nowText);
    EXPECT_EQ(LibraryAPIClient::parseChangesResponse(200, "[]", now).cursor, nowText);
    EXPECT_EQ(LibraryAPIClient::parseChangesResponse(200, R"({"cursor": ""})", now).cursor, QString());

    // A feed without "cursor" still returns its changes.
    const auto feed = LibraryAPIClient::parseChangesResponse(200, R"({"changes": [{"id": 5}]})", now);
    ASSERT_EQ(feed.changes.size(), 1);
    EXPECT_EQ(feed.cursor, nowText);
}

TEST(ChangeFeedReply, RefusalsAndBodiesThatAreNotJson)
{
    const auto now = QDateTime::currentDateTimeUtc();
    EXPECT_EQ(refusal([&] { LibraryAPIClient::parseChangesResponse(500, notUtf8, now); }),
              (Refusal{500, QStringLiteral("Changes request failed")}));

    EXPECT_EQ(refusal([&] { LibraryAPIClient::parseChangesResponse(404, "no such folder", now); }).message,
              QStringLiteral("no such folder"));

    EXPECT_THROW(LibraryAPIClient::parseChangesResponse(200, "not json", now), JsonError);
}

// ---- Sync folders ----

TEST(SyncFoldersReply, DropsIncompleteEntriesAndKeepsOrder)
{
    const auto folders = LibraryAPIClient::parseSyncFoldersResponse(204, R"({"data": [
        {"uuid": "B", "name": "Beats", "folder_type": "drive", "direction": "bidirectional", "sort_order": 2},
        {"uuid": "C", "name": "No direction", "folder_type": "reference"},
        {"uuid": "D", "name": "Refs", "folder_type": "reference", "direction": "upload_only", "sort_order": "1"},
        7
    ]})");
    ASSERT_EQ(folders.size(), 2);
    EXPECT_EQ(folders[0].uuid, QStringLiteral("B"));
    EXPECT_EQ(folders[0].folderType, QStringLiteral("drive"));
    EXPECT_EQ(folders[0].direction, QStringLiteral("bidirectional"));
    EXPECT_EQ(folders[0].sortOrder, 2);
    EXPECT_EQ(folders[1].uuid, QStringLiteral("D"));
    EXPECT_EQ(folders[1].sortOrder, 0);
}

TEST(SyncFoldersReply, AcceptedStatusWithoutDataArrayIsInvalid)
{
    EXPECT_TRUE(isInvalidResponse([] { LibraryAPIClient::parseSyncFoldersResponse(204, QByteArray()); }));
    EXPECT_TRUE(isInvalidResponse([] { LibraryAPIClient::parseSyncFoldersResponse(200, R"([{"data": []}])"); }));
    EXPECT_TRUE(isInvalidResponse([] { LibraryAPIClient::parseSyncFoldersResponse(200, R"({"folders": []})"); }));
    EXPECT_TRUE(isInvalidResponse([] { LibraryAPIClient::parseSyncFoldersResponse(200, R"({"data": {}})"); }));
    EXPECT_TRUE(LibraryAPIClient::parseSyncFoldersResponse(200, R"({"data": []})").isEmpty());
}

TEST(SyncFoldersReply, RefusalReadsOnlyMessage)
{
    EXPECT_EQ(refusal([] { LibraryAPIClient::parseSyncFoldersResponse(403, R"({"message": "nope"})"); }),
              (Refusal{403, QStringLiteral("nope")}));
    EXPECT_EQ(refusal([] { LibraryAPIClient::parseSyncFoldersResponse(500, R"({"error": "x"})"); }).message,
              QStringLiteral("Failed to list sync folders"));
}

TEST(RegisterSyncFolderReply, AnyTwoHundredSucceedsOthersReadMessageThenError)
{
    EXPECT_NO_THROW(LibraryAPIClient::parseRegisterSyncFolderResponse(201, "not even json"));
    EXPECT_EQ(refusal([] {
                  LibraryAPIClient::parseRegisterSyncFolderResponse(409,
                                                                    R"({"error": "taken", "message": 5})");
              }),
              (Refusal{409, QStringLiteral("taken")}));
    EXPECT_EQ(refusal([] { LibraryAPIClient::parseRegisterSyncFolderResponse(300, "[]"); }).message,
              QStringLiteral("Sync folder registration failed"));
}

// ---- Delete, reset, download ----

TEST(DeleteAndResetReplies, StatusesAndTexts)
{
    EXPECT_NO_THROW(LibraryAPIClient::parseDeleteResponse(200, notUtf8));
    EXPECT_EQ(refusal([] { LibraryAPIClient::parseDeleteResponse(204, QByteArray()); }),
              (Refusal{204, QString()}));
    EXPECT_EQ(refusal([] { LibraryAPIClient::parseDeleteResponse(500, notUtf8); }).message,
              QStringLiteral("Delete failed"));

    EXPECT_EQ(LibraryAPIClient::parseResetFolderResponse(200, "{}"), 0);
    EXPECT_EQ(LibraryAPIClient::parseResetFolderResponse(202, R"({"deleted_count": 12})"), 12);
    EXPECT_EQ(LibraryAPIClient::parseResetFolderResponse(200, R"({"deleted_count": 1.5})"), 0);
    EXPECT_THROW(LibraryAPIClient::parseResetFolderResponse(204, QByteArray()), JsonError);
    EXPECT_EQ(refusal([] {
                  LibraryAPIClient::parseResetFolderResponse(400, R"({"message": "m", "error": "e"})");
              }).message,
              QStringLiteral("m"));
    EXPECT_EQ(refusal([] { LibraryAPIClient::parseResetFolderResponse(500, "oops"); }).message,
              QStringLiteral("Reset folder failed"));

    EXPECT_NO_THROW(LibraryAPIClient::parseDownloadResponse(200));
    EXPECT_EQ(refusal([] { LibraryAPIClient::parseDownloadResponse(206); }),
              (Refusal{206, QStringLiteral("Download failed")}));
}

// ---- Storage and account ----

TEST(StorageReply, DefaultsAndStrictTypes)
{
    const auto empty = LibraryAPIClient::parseStorageResponse(200, "{}");
    EXPECT_EQ(empty.subscription, QStringLiteral("silver"));
    EXPECT_EQ(empty.subscriptionLabel, QStringLiteral("Silver"));
    EXPECT_EQ(empty.storageLimitBytes, 0);
    EXPECT_EQ(empty.storageUsedBytes, 0);
    EXPECT_EQ(empty.actualDiskBytes, 0);
    EXPECT_FALSE(empty.isEnforced);
    EXPECT_EQ(empty.breakdown.driveFile, 0);

    const auto full = LibraryAPIClient::parseStorageResponse(200, R"({
        "subscription": "gold", "subscription_label": "Gold", "storage_limit_bytes": 5000000000000,
        "storage_used_bytes": 10, "actual_disk_bytes": "20", "is_enforced": true,
        "breakdown": {"plan_asset": 1, "commercial_reference": 2, "drive_file": 3, "unorganised": 4.5}})");
    EXPECT_EQ(full.subscription, QStringLiteral("gold"));
    EXPECT_EQ(full.subscriptionLabel, QStringLiteral("Gold"));
    EXPECT_EQ(full.storageLimitBytes, 5000000000000);
    EXPECT_EQ(full.storageUsedBytes, 10);
    EXPECT_EQ(full.actualDiskBytes, 0);
    EXPECT_TRUE(full.isEnforced);
    EXPECT_EQ(full.breakdown.planAsset, 1);
    EXPECT_EQ(full.breakdown.commercialReference, 2);
    EXPECT_EQ(full.breakdown.driveFile, 3);
    EXPECT_EQ(full.breakdown.unorganised, 0);

    EXPECT_FALSE(LibraryAPIClient::parseStorageResponse(200, R"({"is_enforced": 1})").isEnforced);
    EXPECT_EQ(LibraryAPIClient::parseStorageResponse(200, R"({"breakdown": [1]})").breakdown.planAsset, 0);
    EXPECT_THROW(LibraryAPIClient::parseStorageResponse(200, "storage"), JsonError);
}

TEST(StorageAndAccountReplies, RefusalsReadOnlyMessage)
{
    EXPECT_EQ(refusal([] { LibraryAPIClient::parseStorageResponse(201, "{}"); }).message,
              QStringLiteral("Storage request failed"));
    EXPECT_EQ(
        refusal([] { LibraryAPIClient::parseStorageResponse(507, R"({"message": "full", "error": "e"})"); }),
        (Refusal{507, QStringLiteral("full")}));
    EXPECT_EQ(refusal([] { LibraryAPIClient::parseAccountResponse(500, R"({"error": "e"})"); }).message,
              QStringLiteral("Account request failed"));
}

TEST(AccountReply, DefaultsAndFields)
{
    const auto empty = LibraryAPIClient::parseAccountResponse(200, "[]");
    EXPECT_EQ(empty.id, 0);
    EXPECT_EQ(empty.plan, QStringLiteral("silver"));
    EXPECT_FALSE(empty.maintenance);

    const auto account = LibraryAPIClient::parseAccountResponse(200, R"({"id": 9, "name": "Ada", "email": "a@b.c",
        "plan": "gold", "storage_used_bytes": 1, "storage_limit_bytes": 2, "maintenance": true})");
    EXPECT_EQ(account.id, 9);
    EXPECT_EQ(account.name, QStringLiteral("Ada"));
    EXPECT_EQ(account.email, QStringLiteral("a@b.c"));
    EXPECT_EQ(account.plan, QStringLiteral("gold"));
    EXPECT_EQ(account.storageUsedBytes, 1);
    EXPECT_EQ(account.storageLimitBytes, 2);
    EXPECT_TRUE(account.maintenance);
}

// ---- Plans ----

TEST(PlansReply, FolderNamesFileCountsAndSkippedEntries)
{
    const auto plans = LibraryAPIClient::parsePlansResponse(200, R"({"plans": [
        {"id": 12, "name": "No slug"},
        {"id": 12, "name": "Spring", "slug": "spring-pack", "status": "archived", "files": [
            {"id": 1, "filename": "a.wav", "file_size": 10, "created_at": "2024-05-01T10:00:00Z"},
            {"id": 2},
            {"id": 3, "filename": "c.wav", "drive_path": "Loops", "file_size": 2.5}
        ]},
        {"id": 13, "name": "Named", "folder_name": "Custom", "file_count": 40},
        {"name": "no id"},
        {"id": 14}
    ]})");
    ASSERT_EQ(plans.size(), 3);
    EXPECT_EQ(plans[0].folderName, QStringLiteral("plan-12-plan"));
    EXPECT_EQ(plans[0].slug, QString());
    EXPECT_EQ(plans[0].status, QStringLiteral("active"));
    EXPECT_EQ(plans[0].fileCount, 0);

    EXPECT_EQ(plans[1].folderName, QStringLiteral("plan-12-spring-pack"));
    EXPECT_EQ(plans[1].status, QStringLiteral("archived"));
    ASSERT_EQ(plans[1].files.size(), 2);
    EXPECT_EQ(plans[1].fileCount, 2);
    EXPECT_EQ(plans[1].files[0].filename, QStringLiteral("a.wav"));
    EXPECT_EQ(plans[1].files[0].fileSize, 10);
    EXPECT_EQ(plans[1].files[0].createdAt, utc(2024, 5, 1, 10, 0, 0));
    EXPECT_EQ(plans[1].files[1].id, 3);
    EXPECT_EQ(plans[1].files[1].drivePath, QStringLiteral("Loops"));
    EXPECT_EQ(plans[1].files[1].fileSize, std::nullopt);

    EXPECT_EQ(plans[2].folderName, QStringLiteral("Custom"));
    EXPECT_EQ(plans[2].fileCount, 40);
}

TEST(PlansReply, ShapesAndRefusals)
{
    EXPECT_TRUE(LibraryAPIClient::parsePlansResponse(200, R"([{"id": 1, "name": "x"}])").isEmpty());
    EXPECT_TRUE(LibraryAPIClient::parsePlansResponse(200, R"({"plans": "none"})").isEmpty());
    EXPECT_THROW(LibraryAPIClient::parsePlansResponse(200, "{"), JsonError);
    EXPECT_EQ(refusal([] { LibraryAPIClient::parsePlansResponse(500, R"({"message": "m"})"); }).message,
              QStringLiteral(R"({"message": "m"})"))
        << "the whole body is the message";
    EXPECT_EQ(refusal([] { LibraryAPIClient::parsePlansResponse(503, notUtf8); }).message,
              QStringLiteral("Plans request failed"));
}

// ---- DAW liveness ----

TEST(DAWLivenessReply, FieldsAndFailures)
{
    const auto reply = LibraryAPIClient::parseDAWLivenessResponse(
        200, R"({"warn": true, "peer_devices": [{"device_name": "Studio"}, {}, {"device_name": 3}, "x"]})");
    EXPECT_TRUE(reply.warn);
    EXPECT_EQ(reply.openDeviceCount, 0);
    EXPECT_EQ(reply.message, std::nullopt);
    EXPECT_EQ(reply.peerDeviceNames, QStringList{QStringLiteral("Studio")});

    const auto counted = LibraryAPIClient::parseDAWLivenessResponse(
        202, R"({"warn": "yes", "open_device_count": 2, "message": "open elsewhere"})");
    EXPECT_FALSE(counted.warn);
    EXPECT_EQ(counted.openDeviceCount, 2);
    EXPECT_EQ(counted.message, QStringLiteral("open elsewhere"));

    EXPECT_THROW(LibraryAPIClient::parseDAWLivenessResponse(204, QByteArray()), JsonError);
    EXPECT_EQ(refusal([] { LibraryAPIClient::parseDAWLivenessResponse(500, R"({"error": "x"})"); }).message,
              QStringLiteral("DAW-liveness report failed"));
}

} // namespace
