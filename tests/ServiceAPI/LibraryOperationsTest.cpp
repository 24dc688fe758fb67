#include "Accounts/KeychainHelper.h"
#include "Accounts/KeychainVault.h"
#include "Accounts/TemporaryConfigHome.h"
#include "Accounts/TokenManager.h"
#include "Platform/Http/LocalFileError.h"
#include "Platform/Http/LocalServer.h"
#include "Platform/Http/TransportError.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/HarborlyAPIError.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>

#include <map>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using quillmere::HarborlyAPI;
using quillmere::HarborlyAPIError;
using quillmere::InMemorySecretBackend;
using quillmere::KeychainHelper;
using quillmere::KeychainVault;
using quillmere::LibraryAPIClient;
using quillmere::LocalFileError;
using quillmere::TokenManager;
using quillmere::TransportError;
using quillmere::test::await;
using quillmere::test::LocalServer;
using quillmere::test::TemporaryConfigHome;

namespace {

struct Seen
{
    std::string method;
    std::string path;
    std::string query; // the raw query text, "" when none
    std::string authorization;
    std::string contentType;
    std::string body;
};

struct Answer
{
    int status = 200;
    std::string body = "{}";
    std::chrono::milliseconds delay{0};
};

// A loopback service whose answers the test sets per "METHOD path" and which records every
// request it receives. Token renewals answer with "renewed-token".
class LibraryService
{
public:
    LibraryService()
    {
        const auto handler = [this](const httplib::Request &req, httplib::Response &res) { handle(req, res); };
        local.server().Get(".*", handler);
        local.server().Post(".*", handler);
        local.server().Delete(".*", handler);
        local.start();
    }

    void answer(const std::string &route, int status, std::string body, std::chrono::milliseconds delay = {})
    {
        std::lock_guard guard(mutex);
        answers[route] = Answer{status, std::move(body), delay};
    }

    std::vector<Seen> requests()
    {
        std::lock_guard guard(mutex);
        return seen;
    }

    std::vector<Seen> requestsTo(const std::string &path)
    {
        std::vector<Seen> matching;
        for (auto &request : requests()) {
            if (request.path == path)
                matching.push_back(request);
        }
        return matching;
    }

    LocalServer local;

private:
    void handle(const httplib::Request &req, httplib::Response &res)
    {
        const Answer reply = record(req);
        if (reply.delay.count() > 0)
            local.pause(reply.delay);
        res.status = reply.status;
        res.set_content(reply.body, "application/json");
    }

    Answer record(const httplib::Request &req)
    {
        std::lock_guard guard(mutex);
        const auto target = req.target;
        const auto mark = target.find('?');
        seen.push_back(Seen{req.method, req.path, mark == std::string::npos ? std::string() : target.substr(mark + 1),
                            req.get_header_value("Authorization"), req.get_header_value("Content-Type"), req.body});
        if (req.path == "/api/v1/auth/refresh")
            return Answer{200, R"({"token": "renewed-token", "expires_at": "2099-01-01T00:00:00Z"})"};
        const auto found = answers.find(req.method + " " + req.path);
        return found == answers.end() ? Answer{404, "no route"} : found->second;
    }

    std::mutex mutex;
    std::map<std::string, Answer> answers;
    std::vector<Seen> seen;
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

class LibraryOperations : public ::testing::Test
{
protected:
    void SetUp() override
    {
        tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(),
                                                [this] { return service.local.url(QString()); });
        auto saving = tokens->saveToken(QStringLiteral("first-token"), QDateTime::currentDateTimeUtc().addDays(30));
        await(std::move(saving));
        client = std::make_unique<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens));
    }

    // The HarborlyAPIError a call ends with; fails the test when it ends otherwise.
    template<typename T>
    std::optional<HarborlyAPIError> apiFailure(QCoro::Task<T> task)
    {
        try {
            await(std::move(task));
        } catch (const HarborlyAPIError &error) {
            return error;
        } catch (const std::exception &error) {
            ADD_FAILURE() << "not a HarborlyAPIError: " << error.what();
            return std::nullopt;
        }
        ADD_FAILURE() << "the call succeeded";
        return std::nullopt;
    }

    TemporaryConfigHome configHome;
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    LibraryService service;
    std::shared_ptr<TokenManager> tokens;
    std::unique_ptr<LibraryAPIClient> client;
};

bool isServerError(const std::optional<HarborlyAPIError> &error, int status, const QString &message)
{
    return error && error->code() == HarborlyAPIError::Code::serverError && error->statusCode() == status
           && error->message() == message;
}

TEST_F(LibraryOperations, ListingSendsItsQueryInOrderAndReadsTheReply)
{
    service.answer("GET /api/v1/files/library", 200, R"({"files": [{"id": 4, "filename": "a.wav"}, {"id": 5}]})");
    auto listing = client->listLibraryFiles(QStringLiteral("drive"), QStringLiteral("AB+CD"));
    const auto files = await(std::move(listing));
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(files[0].id, 4);

    auto bare = client->listLibraryFiles();
    await(std::move(bare));
    const auto requests = service.requestsTo("/api/v1/files/library");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].query, "folder_type=drive&sync_folder_uuid=AB%2BCD");
    EXPECT_EQ(requests[0].authorization, "Bearer first-token");
    EXPECT_EQ(requests[1].query, "");
}

TEST_F(LibraryOperations, ChangeFeedQueryAndCursor)
{
    service.answer("GET /api/v1/files/library/changes", 200, R"({"changes": [{"id": 9, "action": "deleted"}], "cursor": "c2"})");
    auto first = client->fetchChanges(QString());
    const auto feed = await(std::move(first));
    ASSERT_EQ(feed.changes.size(), 1);
    EXPECT_EQ(feed.changes[0].action, QStringLiteral("deleted"));
    EXPECT_EQ(feed.cursor, QStringLiteral("c2"));

    auto next = client->fetchChanges(QStringLiteral("2024-05-01T10:00:00+02:00"), QStringLiteral("reference"),
                                     QStringLiteral("F00D"));
    await(std::move(next));
    const auto requests = service.requestsTo("/api/v1/files/library/changes");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].query, "");
    EXPECT_EQ(requests[1].query, "since=2024-05-01T10%3A00%3A00%2B02%3A00&folder_type=reference&sync_folder_uuid=F00D");

    service.answer("GET /api/v1/files/library/changes", 200, R"({"changes": []})");
    const auto before = QDateTime::currentDateTimeUtc().addSecs(-1);
    auto uncursored = client->fetchChanges(QStringLiteral("c2"));
    const auto fallback = await(std::move(uncursored));
    ASSERT_TRUE(fallback.cursor.endsWith(u'Z'));
    const auto stamped = QDateTime::fromString(fallback.cursor, Qt::ISODate);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, QDateTime::currentDateTimeUtc().addSecs(1));
}

TEST_F(LibraryOperations, SyncFolderListAndRegistration)
{
    service.answer("GET /api/v1/sync-folders", 200,
                   R"({"data": [{"uuid": "U1", "name": "Beats", "folder_type": "drive", "direction": "bidirectional"}]})");
    auto listing = client->listSyncFolders();
    const auto folders = await(std::move(listing));
    ASSERT_EQ(folders.size(), 1);
    EXPECT_EQ(folders[0].name, QStringLiteral("Beats"));

    service.answer("POST /api/v1/sync-folders", 201, "ignored");
    auto registering = client->registerSyncFolder(QStringLiteral("U2"), QStringLiteral("Refs \"quoted\""),
                                                  QStringLiteral("reference"), QStringLiteral("upload_only"));
    await(std::move(registering));
    const auto posts = service.requestsTo("/api/v1/sync-folders");
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[1].method, "POST");
    EXPECT_EQ(posts[1].contentType, "application/json");
    const auto body = QJsonDocument::fromJson(QByteArray::fromStdString(posts[1].body)).object();
    EXPECT_EQ(body, (QJsonObject{{QStringLiteral("uuid"), QStringLiteral("U2")},
                                 {QStringLiteral("name"), QStringLiteral("Refs \"quoted\"")},
                                 {QStringLiteral("folder_type"), QStringLiteral("reference")},
                                 {QStringLiteral("direction"), QStringLiteral("upload_only")}}));
}

TEST_F(LibraryOperations, DeleteAndResetFolderRequests)
{
    service.answer("DELETE /api/v1/files/library/42", 200, "");
    await(client->deleteFile(42));
    const auto deletes = service.requestsTo("/api/v1/files/library/42");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].method, "DELETE");

    service.answer("POST /api/v1/files/reset-folder", 200, R"({"deleted_count": 3})");
    auto plain = client->resetFolder(QStringLiteral("unorganised"));
    EXPECT_EQ(await(std::move(plain)), 3);
    auto withPath = client->resetFolder(QStringLiteral("drive"), QStringLiteral("Songs/Demo"));
    await(std::move(withPath));
    const auto resets = service.requestsTo("/api/v1/files/reset-folder");
    ASSERT_EQ(resets.size(), 2u);
    EXPECT_EQ(resets[0].contentType, "application/json");
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(resets[0].body)).object(),
              (QJsonObject{{QStringLiteral("folder_type"), QStringLiteral("unorganised")}}));
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(resets[1].body)).object(),
              (QJsonObject{{QStringLiteral("folder_type"), QStringLiteral("drive")},
                           {QStringLiteral("drive_path"), QStringLiteral("Songs/Demo")}}));
}

TEST_F(LibraryOperations, StorageAccountAndPlans)
{
    service.answer("GET /api/v1/storage", 200, R"({"is_enforced": true, "storage_used_bytes": 77})");
    service.answer("GET /api/v1/account", 200, R"({"id": 5, "maintenance": true})");
    service.answer("GET /api/v1/plans", 200, R"({"plans": [{"id": 12, "name": "P", "slug": "spring-pack"}]})");
    auto storage = client->fetchStorage();
    const auto summary = await(std::move(storage));
    EXPECT_TRUE(summary.isEnforced);
    EXPECT_EQ(summary.storageUsedBytes, 77);
    auto account = client->fetchAccount();
    EXPECT_TRUE(await(std::move(account)).maintenance);
    auto plans = client->fetchPlans();
    const auto list = await(std::move(plans));
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].folderName, QStringLiteral("plan-12-spring-pack"));
}

class LibraryDownload : public LibraryOperations
{
protected:
    QStringList folderEntries() const
    {
        return QDir(folder.path()).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir folder;
};

TEST_F(LibraryDownload, ReplacesAnExistingFileOnlyOnSuccess)
{
    const QString destination = folder.filePath(QStringLiteral("kick.wav"));
    {
        QFile old(destination);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old bytes");
    }

    service.answer("GET /api/v1/files/library/7", 404, "{}");
    auto missing = client->downloadFile(7, destination);
    EXPECT_TRUE(isServerError(apiFailure(std::move(missing)), 404, QStringLiteral("Download failed")));
    EXPECT_EQ(readFile(destination), QByteArray("old bytes"));
    EXPECT_EQ(folderEntries(), QStringList{QStringLiteral("kick.wav")}) << "no temporary file is left behind";

    service.answer("GET /api/v1/files/library/7", 200, "new bytes");
    auto downloading = client->downloadFile(7, destination);
    await(std::move(downloading));
    EXPECT_EQ(readFile(destination), QByteArray("new bytes"));
    EXPECT_EQ(folderEntries(), QStringList{QStringLiteral("kick.wav")});
    const auto requests = service.requestsTo("/api/v1/files/library/7");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].authorization, "Bearer first-token");
}

TEST_F(LibraryDownload, UnauthorisedIsNotRetried)
{
    service.answer("GET /api/v1/files/library/8", 401, "{}");
    auto downloading = client->downloadFile(8, folder.filePath(QStringLiteral("a.wav")));
    EXPECT_TRUE(isServerError(apiFailure(std::move(downloading)), 401, QStringLiteral("Download failed")));
    EXPECT_EQ(service.requestsTo("/api/v1/files/library/8").size(), 1u);
    EXPECT_TRUE(service.requestsTo("/api/v1/auth/refresh").empty());
    EXPECT_TRUE(folderEntries().isEmpty());
}

TEST_F(LibraryDownload, NeverReplacesADirectoryOrWritesUnderABadName)
{
    ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("Stems")));
    service.answer("GET /api/v1/files/library/9", 200, "bytes");
    auto ontoFolder = client->downloadFile(9, folder.filePath(QStringLiteral("Stems")));
    EXPECT_THROW(await(std::move(ontoFolder)), LocalFileError);
    EXPECT_TRUE(QFileInfo(folder.filePath(QStringLiteral("Stems"))).isDir());

    auto intoDots = client->downloadFile(9, folder.path() + QStringLiteral("/.."));
    EXPECT_THROW(await(std::move(intoDots)), LocalFileError);
    EXPECT_EQ(folderEntries(), QStringList{QStringLiteral("Stems")});
}

} // namespace
