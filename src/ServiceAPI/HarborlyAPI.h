#pragma once

#include "Platform/Http/HttpRequest.h"
#include "Platform/Http/HttpResponse.h"
#include "Platform/Http/UrlBuilding.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <QCoroTask>
#include <QList>
#include <QStringList>
#include <QString>

#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>

namespace quillmere {

class Clock;
class ServiceReachability;
class TokenManager;

// The authorised transport: builds requests with the bearer token and shard id, and sends them,
// resending once after a 421 with a new shard, and after a 401 with the stored token whenever it
// is newer than the one refused (renewed here or by another call). A 401 from wherever a
// redirect to another origin led (the token was dropped there) renews nothing and revokes
// nothing: it fails as serverError naming that host. Every failure leaves as HarborlyAPIError.
// Main thread only.
class HarborlyAPI
{
public:
    // The clock's wall time decides whether the token is about to expire; the clients built on
    // this transport take their waits and times from it too. It must outlive the transport.
    HarborlyAPI(std::shared_ptr<TokenManager> tokenManager, Clock &clock);

    Clock &clock() const { return m_clock; }

    const std::shared_ptr<TokenManager> &tokenManager() const { return m_tokenManager; }
    // Whether the requests sent through sendRaw get answers.
    const std::shared_ptr<ServiceReachability> &reachability() const { return m_reachability; }

    // A request to base URL + path with "Authorization", "Accept" and (when stored)
    // "X-Shard-Id"; no body. Fails only with notAuthenticated.
    QCoro::Task<HttpRequest> makeRequest(QString path, QString method,
                                         std::optional<QList<QueryItem>> queryItems = std::nullopt,
                                         std::stop_token stop = {});

    // One such request per path, all with one reading of the token and the shard.
    QCoro::Task<QList<HttpRequest>> makeRequests(QStringList paths, QString method,
                                                 std::optional<QList<QueryItem>> queryItems = std::nullopt,
                                                 std::stop_token stop = {});

    // Sends with the 421/401 treatment and returns the final reply, whatever its status.
    // Fails only with HarborlyAPIError.
    QCoro::Task<HttpResponse> sendRaw(HttpRequest request, std::stop_token stop = {});

    // Sends and hands the final reply to the reader, a callable (const HttpResponse &) -> T that
    // judges the status and may throw. A HarborlyAPIError passes unchanged; any other failure
    // becomes networkError.
    template<typename Reader>
    auto send(HttpRequest request, Reader reader, std::stop_token stop = {})
        -> QCoro::Task<std::invoke_result_t<Reader, const HttpResponse &>>
    {
        return readReply(sendRaw(std::move(request), std::move(stop)), std::move(reader));
    }

    // A reply already received for `request` (sent from a worker that went on without the main
    // thread) given the treatment sendRaw gives its first reply, then handed to the reader as
    // send does. Only a reply for which needsResending holds can lead to another sending.
    template<typename Reader>
    auto settle(HttpRequest request, HttpResponse first, Reader reader, std::stop_token stop = {})
        -> QCoro::Task<std::invoke_result_t<Reader, const HttpResponse &>>
    {
        return readReply(settleRaw(std::move(request), std::move(first), std::move(stop)), std::move(reader));
    }

    // Whether a reply is one sendRaw may answer by sending again (a 421 or a 401); any other is final.
    static bool needsResending(const HttpResponse &response) { return response.status == 421 || response.status == 401; }

    // Maps any exception in flight to a HarborlyAPIError (used by send and by callers that
    // run their own transfers, such as the download).
    static HarborlyAPIError asAPIError(std::exception_ptr error);

private:
    template<typename Reader>
    static auto readReply(QCoro::Task<HttpResponse> reply, Reader reader)
        -> QCoro::Task<std::invoke_result_t<Reader, const HttpResponse &>>
    {
        using Result = std::invoke_result_t<Reader, const HttpResponse &>;
        std::exception_ptr failure;
        try {
            const HttpResponse response = co_await std::move(reply);
            if constexpr (std::is_void_v<Result>) {
                reader(response);
                co_return;
            } else {
                co_return reader(response);
            }
        } catch (...) {
            failure = std::current_exception();
        }
        throw asAPIError(failure);
    }

    QCoro::Task<HttpResponse> settleRaw(HttpRequest request, HttpResponse first, std::stop_token stop);
    static QCoro::Task<HttpResponse> settleWith(std::shared_ptr<TokenManager> tokens, HttpRequest request,
                                                HttpResponse first, std::stop_token stop);
    static QCoro::Task<HttpResponse> afterUnauthorised(std::shared_ptr<TokenManager> tokens, HttpRequest request,
                                                       std::stop_token stop);
    // Static: called after suspensions, when only the copied token manager may be relied on.
    static QCoro::Task<HttpResponse> resend(HttpRequest request, std::stop_token stop);

    std::shared_ptr<TokenManager> m_tokenManager;
    Clock &m_clock;
    std::shared_ptr<ServiceReachability> m_reachability;
};

// The shard named by a 421 reply: its "X-Shard-Id" header when not empty, else the body's
// string member "shard_id" when not empty; nothing when that is not an acceptable shard id.
std::optional<QString> extractShardID(const HttpResponse &response);

} // namespace quillmere
