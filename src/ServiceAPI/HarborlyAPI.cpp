#include "ServiceAPI/HarborlyAPI.h"

#include "ActivityLog/SyncLogger.h"
#include "Accounts/APIConfig.h"
#include "Accounts/DeviceAuthClient.h"
#include "Accounts/TokenManager.h"
#include "Platform/Async/Clock.h"
#include "Platform/Async/WaitQueue.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Http/Json.h"
#include "Platform/Http/TransportError.h"
#include "Platform/Notifications/NotificationCenter.h"
#include "ServiceAPI/ServiceReachability.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

namespace quillmere {

namespace {

// The service said nothing: not a refusal, a cancellation or a reply that could not be read. A
// secure connection that failed, on a refused certificate too (a network that intercepts it),
// never reached the service.
bool isSilence(const TransportError &error)
{
    using Code = TransportError::Code;
    switch (error.code()) {
    case Code::timedOut:
    case Code::cannotFindHost:
    case Code::cannotConnect:
    case Code::connectionLost:
    case Code::notConnected:
        return true;
    default:
        return error.isSecureConnectionFailure();
    }
}

// A token with less than this left is renewed before a request goes out.
constexpr qint64 kRefreshMarginMs = 3600 * 1000;
// Resends after a 401, each with a token newer than the one refused before it.
constexpr int kMaxResends = 3;

QByteArray bearer(const QString &token)
{
    return "Bearer " + token.toUtf8();
}

void postAuthRevoked()
{
    NotificationCenter::defaultCenter().post(NotificationName::quillmereAuthRevoked());
}

// A 401 from wherever a redirect to another origin led, or a renewal answered there: the token
// was dropped on the way, so that host said nothing of it. Shown as the service's failure, with
// the host the service's address sent the request to, and logged with its port too. The port
// stays out of the shown text: a failure whose text holds "429" is taken for a rate limit.
HarborlyAPIError answeredElsewhere(int status, const QUrl &where, bool renewal)
{
    const QString whereLogged = where.adjusted(QUrl::RemoveUserInfo).authority();
    const QString what = renewal ? QStringLiteral("The token renewal") : QStringLiteral("A request");
    SyncLogger::shared().log(SyncLogger::Event::syncFailed, SyncLogger::Direction::none, QString(),
                             QStringLiteral("%1 was redirected from Harborly to %2, which answered %3 without the "
                                            "sign-in's token: the sign-in is kept")
                                 .arg(what, whereLogged, QString::number(status)));
    return HarborlyAPIError::serverError(
        status, QStringLiteral("%1 was redirected to %2, which answered without the sign-in.").arg(what, where.host()));
}

HarborlyAPIError refusedElsewhere(const HttpResponse &response)
{
    return answeredElsewhere(response.status, response.url, false);
}

// Where a renewal run for a request meets that request.
struct RenewalWait
{
    bool ended = false;
    bool stopped = false;
    bool renewed = false;
    std::exception_ptr error;
    WaitQueue waiting;
};

QCoro::Task<> runRenewal(std::shared_ptr<TokenManager> tokens, std::optional<QString> seen,
                         std::shared_ptr<RenewalWait> wait, std::stop_token stop)
{
    try {
        auto renewing = tokens->renewUnlessReplaced(std::move(seen), std::move(stop));
        wait->renewed = co_await std::move(renewing);
    } catch (...) {
        wait->error = std::current_exception();
    }
    wait->ended = true;
    wait->waiting.resumeAll();
}

// TokenManager::renewUnlessReplaced for a request, in a task of its own: a request that is
// stopped (a lane at quit) stops waiting at once, also while another request's renewal holds
// the token, instead of when the service answers. The renewal is stopped with it only before
// it is sent; once sent it runs to its end and its answer is stored (see TokenManager).
QCoro::Task<bool> renewForRequest(std::shared_ptr<TokenManager> tokens, std::optional<QString> seen,
                                  std::stop_token stop)
{
    if (stop.stop_requested())
        throw TransportError(TransportError::Code::cancelled);
    auto wait = std::make_shared<RenewalWait>();
    // Not awaited here: it goes on by itself and ends without anyone waiting.
    [[maybe_unused]] auto renewal = runRenewal(std::move(tokens), std::move(seen), wait, stop);
    // A stop may come from any thread: the waiting request resumes on the main thread.
    std::stop_callback onStop(stop, [wait] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [wait] {
                wait->stopped = true;
                wait->waiting.resumeAll();
            },
            Qt::QueuedConnection);
    });
    while (!wait->ended && !wait->stopped)
        co_await wait->waiting.wait();
    if (!wait->ended)
        throw TransportError(TransportError::Code::cancelled);
    if (wait->error)
        std::rethrow_exception(wait->error);
    co_return wait->renewed;
}

} // namespace

std::optional<QString> extractShardID(const HttpResponse &response)
{
    std::optional<QString> shard;
    if (const auto header = response.headers.value("X-Shard-Id"); header && !header->isEmpty()) {
        shard = QString::fromUtf8(*header);
    } else {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(response.body, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return std::nullopt;
        const QJsonValue value = document.object().value(QStringLiteral("shard_id"));
        if (!value.isString() || value.toString().isEmpty())
            return std::nullopt;
        shard = value.toString();
    }
    // It goes back out in a header: a line break in it would add a header of the sender's choosing.
    if (!APIConfig::isAcceptableShardID(*shard))
        return std::nullopt;
    return shard;
}

HarborlyAPI::HarborlyAPI(std::shared_ptr<TokenManager> tokenManager, Clock &clock)
    : m_tokenManager(std::move(tokenManager)), m_clock(clock), m_reachability(std::make_shared<ServiceReachability>())
{
}

QCoro::Task<HttpRequest> HarborlyAPI::makeRequest(QString path, QString method,
                                                  std::optional<QList<QueryItem>> queryItems, std::stop_token stop)
{
    auto making = makeRequests({std::move(path)}, std::move(method), std::move(queryItems), std::move(stop));
    QList<HttpRequest> made = co_await std::move(making);
    co_return std::move(made.first());
}

QCoro::Task<QList<HttpRequest>> HarborlyAPI::makeRequests(QStringList paths, QString method,
                                                          std::optional<QList<QueryItem>> queryItems,
                                                          std::stop_token stop)
{
    // Nothing of the transport is read after the first suspension: the token manager and the
    // clock are held here, so a caller that lets the transport go mid-call reads nothing freed.
    const std::shared_ptr<TokenManager> tokens = m_tokenManager;
    Clock &clock = m_clock;
    auto loading = tokens->loadToken();
    std::optional<TokenData> token = co_await std::move(loading);
    const QDateTime now = clock.currentDateTime();
    if (!token || now.msecsTo(token->expiresAt) < kRefreshMarginMs) {
        // The outcome is read back from the vault below; a failed renewal sends the old token
        // and a 401 then gets its own treatment. Nothing is sent when another call of this
        // client renewed the token meanwhile: a renewal may retire the token it was given.
        const std::optional<QString> seen = token ? std::optional(token->token) : std::nullopt;
        try {
            auto refreshing = renewForRequest(tokens, seen, stop);
            co_await std::move(refreshing);
        } catch (...) {
            // Read back from the vault just below: a failed renewal is the 401's to answer.
        }
        auto reloading = tokens->loadToken();
        token = co_await std::move(reloading);
    }
    if (!token)
        throw HarborlyAPIError::notAuthenticated();

    HttpRequest request;
    request.method = method.toUtf8();
    request.headers.set("Authorization", bearer(token->token));
    request.headers.set("Accept", "application/json");
    if (const auto shard = APIConfig::homeShardID(); shard && !shard->isEmpty())
        request.headers.set("X-Shard-Id", shard->toUtf8());
    const QUrl base = tokens->baseURL();
    QList<HttpRequest> made;
    made.reserve(paths.size());
    for (const QString &path : paths) {
        request.url = appendingPath(base, path);
        if (queryItems && !queryItems->isEmpty())
            request.url = withQueryItems(request.url, *queryItems);
        made.append(request);
    }
    co_return made;
}

QCoro::Task<HttpResponse> HarborlyAPI::sendRaw(HttpRequest request, std::stop_token stop)
{
    // Held before the first suspension: nothing of the transport is read after it.
    std::shared_ptr<TokenManager> tokens = m_tokenManager;
    const std::shared_ptr<ServiceReachability> reachability = m_reachability;
    Clock &clock = m_clock;
    const quint64 ticket = reachability->ticket();
    const quint64 renewalTurns = tokens->renewalTurns();
    std::exception_ptr failure;
    try {
        auto first = HttpClient::send(request, stop);
        HttpResponse response = co_await std::move(first);
        reachability->noteAnswer(ticket);
        // Taken (a 2xx from the service itself): the service did not retire the token this
        // request carried, so a renewal of it that was never heard back from does not excuse
        // its later refusal.
        const QByteArray sent = request.headers.value("Authorization").value_or(QByteArray());
        if (sent.startsWith("Bearer "))
            tokens->noteTokenAnswered(QString::fromUtf8(sent.mid(7)), response, renewalTurns);
        auto settling = settleWith(std::move(tokens), std::move(request), std::move(response), std::move(stop));
        co_return co_await std::move(settling);
    } catch (const TransportError &error) {
        if (isSilence(error))
            reachability->noteNoAnswer(ticket, clock.currentDateTime(),
                                       error.isCertificateFailure() ? QString::fromUtf8(error.what()) : QString());
        failure = std::current_exception();
    } catch (...) {
        failure = std::current_exception();
    }
    throw asAPIError(failure);
}

QCoro::Task<HttpResponse> HarborlyAPI::settleRaw(HttpRequest request, HttpResponse first, std::stop_token stop)
{
    std::shared_ptr<TokenManager> tokens = m_tokenManager;
    std::exception_ptr failure;
    try {
        auto settling = settleWith(std::move(tokens), std::move(request), std::move(first), std::move(stop));
        co_return co_await std::move(settling);
    } catch (...) {
        failure = std::current_exception();
    }
    throw asAPIError(failure);
}

QCoro::Task<HttpResponse> HarborlyAPI::settleWith(std::shared_ptr<TokenManager> tokens, HttpRequest request,
                                                  HttpResponse first, std::stop_token stop)
{
    if (first.status == 421) {
        if (const auto shard = extractShardID(first)) {
            APIConfig::setHomeShardID(*shard);
            request.headers.set("X-Shard-Id", shard->toUtf8());
            auto second = resend(std::move(request), std::move(stop));
            co_return co_await std::move(second);
        }
    } else if (first.status == 401) {
        // Not the service's refusal: nothing to renew, and nothing revoked.
        if (first.leftOrigin)
            throw refusedElsewhere(first);
        auto renewing = afterUnauthorised(std::move(tokens), std::move(request), std::move(stop));
        co_return co_await std::move(renewing);
    }
    co_return first;
}

QCoro::Task<HttpResponse> HarborlyAPI::resend(HttpRequest request, std::stop_token stop)
{
    auto sending = HttpClient::send(std::move(request), std::move(stop));
    co_return co_await std::move(sending);
}

QCoro::Task<HttpResponse> HarborlyAPI::afterUnauthorised(std::shared_ptr<TokenManager> tokens, HttpRequest request,
                                                         std::stop_token stop)
{
    bool renewedHere = false;
    for (int resends = 0;; ++resends) {
        const QByteArray sent = request.headers.value("Authorization").value_or(QByteArray());
        // A token renewed by this call and refused again is not renewed twice.
        if (!renewedHere) {
            try {
                const std::optional<QString> seen =
                    sent.startsWith("Bearer ") ? std::optional(QString::fromUtf8(sent.mid(7))) : std::nullopt;
                auto renewing = renewForRequest(tokens, seen, stop);
                renewedHere = co_await std::move(renewing);
            } catch (const TokenManager::TokenError &) {
                // Nothing stored: the reload below finds nothing either.
            } catch (const DeviceAuthClient::DeviceAuthError &error) {
                if (error.code() != DeviceAuthClient::DeviceAuthError::Code::serverError)
                    throw; // an unreadable 200: no verdict on the token
                // Only a definite answer of the service ends the account link: one misrouted
                // or flaky renewal must not wipe every folder and rule of the user.
                if (!error.answeredAt().isEmpty())
                    throw answeredElsewhere(error.statusCode(), error.answeredAt(), true);
                if (!error.isRefusal())
                    throw HarborlyAPIError::serverError(error.statusCode(), QStringLiteral("Token renewal failed."));
                // Refused: the token may have been renewed by another holder meanwhile, whose
                // renewal retired the one refused here. The reload below decides.
            }
            // Transfer failures, cancellation and unreadable replies leave here and become networkError.
        }

        auto loading = tokens->loadToken();
        const std::optional<TokenData> stored = co_await std::move(loading);
        // Only a token other than the one refused is worth a try.
        if (!stored || bearer(stored->token) == sent) {
            postAuthRevoked();
            throw HarborlyAPIError::notAuthenticated();
        }
        if (resends == kMaxResends) {
            // Every token tried was replaced before it arrived: no verdict on the account.
            throw HarborlyAPIError::serverError(401, QStringLiteral("The authorisation kept changing."));
        }
        request.headers.set("Authorization", bearer(stored->token));
        auto sending = resend(request, stop);
        HttpResponse response = co_await std::move(sending);
        if (response.status != 401)
            co_return response;
        // The new token was dropped where a redirect led: that host's 401 is not the service's.
        if (response.leftOrigin)
            throw refusedElsewhere(response);
    }
}

HarborlyAPIError HarborlyAPI::asAPIError(std::exception_ptr error)
{
    if (!error)
        return HarborlyAPIError::networkError(nullptr, QString::fromUtf8(TransportError::description(TransportError::Code::unknown)));
    try {
        std::rethrow_exception(error);
    } catch (const HarborlyAPIError &apiError) {
        return apiError;
    } catch (const std::exception &other) {
        // Every error of our own carries a fixed text (TransportError never embeds the URL).
        return HarborlyAPIError::networkError(error, QString::fromUtf8(other.what()));
    } catch (...) {
        // Not an exception of ours: wrapped with the fixed text below.
    }
    return HarborlyAPIError::networkError(error, QString::fromUtf8(TransportError::description(TransportError::Code::unknown)));
}

} // namespace quillmere
