#pragma once

#include "Accounts/APIConfig.h"
#include "Accounts/KeychainVault.h"
#include "support/TemporaryConfigHome.h"
#include "Accounts/TokenData.h"
#include "Accounts/TokenManager.h"
#include "support/LocalServer.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "support/TestSupport.h"

#include <QDateTime>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillmere::test {

// A loopback service whose answers each test scripts path by path, and which records every
// request it receives.
class ScriptedService
{
public:
    struct Reply
    {
        int status = 200;
        std::string body = "{}";
        std::multimap<std::string, std::string> headers = {};
        // Runs on the server thread before the answer goes out.
        std::function<void()> before = {};
        // The answer stops partway and the connection closes: the request was taken, and its
        // sender hears of a lost connection.
        bool hangUp = false;
    };

    struct Seen
    {
        std::string method;
        std::string path;
        std::string target;
        std::string authorization;
        std::string shard;
        std::string contentType;
        std::string body;
    };

    ScriptedService()
    {
        const auto handler = [this](const httplib::Request &req, httplib::Response &res) { handle(req, res); };
        auto &server = m_local.server();
        server.Get(".*", handler);
        server.Post(".*", handler);
        server.Put(".*", handler);
        server.Delete(".*", handler);
        m_local.start();
    }

    // Answers the next request to the path with this reply (queued in order); once the queue is
    // empty, the path's standing reply, else 200 "{}".
    void next(const std::string &path, Reply reply)
    {
        std::lock_guard guard(m_lock);
        m_queued[path].push_back(std::move(reply));
    }
    void always(const std::string &path, Reply reply)
    {
        std::lock_guard guard(m_lock);
        m_standing[path] = std::move(reply);
    }

    std::vector<Seen> seen(const std::string &path) const
    {
        std::lock_guard guard(m_lock);
        std::vector<Seen> result;
        for (const auto &request : m_seen) {
            if (request.path == path)
                result.push_back(request);
        }
        return result;
    }
    std::size_t requestCount() const
    {
        std::lock_guard guard(m_lock);
        return m_seen.size();
    }

    QUrl baseURL(const QString &path = QString()) const { return m_local.url(path); }
    LocalServer &local() { return m_local; }

    // A 200 token reply as the service gives it.
    static Reply tokenReply(const std::string &token, const std::string &expiresAt = "2031-05-04T10:20:30Z",
                            const std::string &extra = "")
    {
        return Reply{200, R"({"token":")" + token + R"(","expires_at":")" + expiresAt + "\"" + extra + "}"};
    }

private:
    void handle(const httplib::Request &req, httplib::Response &res)
    {
        Reply reply;
        {
            std::lock_guard guard(m_lock);
            const auto header = [&req](const char *name) {
                return req.has_header(name) ? req.get_header_value(name) : std::string("(none)");
            };
            m_seen.push_back(Seen{req.method, req.path, req.target, header("Authorization"), header("X-Shard-Id"),
                                  header("Content-Type"), req.body});
            auto &queue = m_queued[req.path];
            if (!queue.empty()) {
                reply = std::move(queue.front());
                queue.pop_front();
            } else if (const auto standing = m_standing.find(req.path); standing != m_standing.end()) {
                reply = standing->second;
            }
        }
        if (reply.before)
            reply.before();
        res.status = reply.status;
        for (const auto &[name, value] : reply.headers)
            res.set_header(name, value);
        if (reply.hangUp) {
            res.set_content_provider(reply.body.size() + 1000, "application/json",
                                     [body = reply.body](size_t offset, size_t, httplib::DataSink &sink) {
                                         if (offset > 0)
                                             return false;
                                         sink.write(body.data(), body.size());
                                         return true;
                                     });
            return;
        }
        res.set_content(reply.body, "application/json");
    }

    mutable std::mutex m_lock;
    std::map<std::string, std::deque<Reply>> m_queued;
    std::map<std::string, Reply> m_standing;
    std::vector<Seen> m_seen;
    LocalServer m_local;
};

// A settings folder, an in-memory vault and a token manager pointed at a scripted service.
struct TokenFixture
{
    TemporaryConfigHome configHome;
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    ScriptedService service;
    QUrl base = service.baseURL();
    std::shared_ptr<TokenManager> tokens =
        std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [this] { return base; });

    // What another process or holder of the entry would have written.
    void storeToken(const QString &token, const QDateTime &expiresAt)
    {
        vault.setValue(TokenData{token, expiresAt}.encoded(), KeychainVault::bearerTokenKey());
    }
    std::optional<TokenData> storedToken()
    {
        const auto bytes = vault.data(KeychainVault::bearerTokenKey());
        return bytes ? TokenData::decode(*bytes) : std::nullopt;
    }
};

} // namespace quillmere::test
