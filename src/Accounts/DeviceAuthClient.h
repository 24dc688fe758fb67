#pragma once

#include "Accounts/APIConfig.h"
#include "Accounts/TokenData.h"

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <exception>
#include <optional>
#include <stop_token>

namespace quillmere {

// The device-link flow and the token's life at the service. Each call is one request to the
// base URL with a 60 s inactivity time-out and no retry. Transfer failures (TransportError)
// and unreadable bodies (json::JsonError) reach the caller unchanged, except in revokeToken.
// Nothing here stores anything: a token reply's home address and shard go back with its token,
// to whoever stores that token. Main thread.
class DeviceAuthClient
{
public:
    DeviceAuthClient() = delete;

    struct DeviceCodeResponse
    {
        QString deviceCode;
        QString userCode;
        QString verificationUrl;
        qint64 expiresIn = 0;
        qint64 interval = 5;
    };

    // A token reply: the token and where the account is served.
    struct TokenReply
    {
        TokenData token;
        ServiceHome home;
    };

    struct PollResult
    {
        enum class Kind { approved, pending, expired, invalidCode };
        Kind kind;
        std::optional<TokenData> token; // set for approved
        ServiceHome home;               // approved: the reply's home address and shard
    };

    class DeviceAuthError : public std::exception
    {
    public:
        enum class Code { serverError, invalidResponse, unexpectedResponse };

        static DeviceAuthError serverError(int statusCode) { return DeviceAuthError(Code::serverError, statusCode); }
        // Answered `statusCode` (any, a 200 too) at `where`, the place a redirect to another
        // origin led, where the token was dropped: whatever it said is no word of the service on
        // the token. Only its scheme, host and port are kept.
        static DeviceAuthError answeredElsewhere(int statusCode, const QUrl &where);
        static DeviceAuthError invalidResponse() { return DeviceAuthError(Code::invalidResponse, 0); }
        static DeviceAuthError unexpectedResponse() { return DeviceAuthError(Code::unexpectedResponse, 0); }

        Code code() const { return m_code; }
        int statusCode() const { return m_statusCode; }
        // The service turned the token down for good: a renewal answered 400, 401 or 403.
        // Every other status (a proxy's 407, a misrouted 404, 409, 421, 422, 5xx) is no verdict
        // on the token and keeps it. The one rule for the transport and the start-up check.
        // An answer from wherever a redirect led is never one.
        bool isRefusal() const
        {
            return m_code == Code::serverError && m_elsewhere.isEmpty() && isRefusalStatus(m_statusCode);
        }
        static bool isRefusalStatus(int status) { return status == 400 || status == 401 || status == 403; }
        // Where a redirect led away to the host that answered; empty for the service's own answer.
        const QUrl &answeredAt() const { return m_elsewhere; }
        QString message() const;
        const char *what() const noexcept override { return m_what.constData(); }

    private:
        DeviceAuthError(Code code, int statusCode, QUrl elsewhere = QUrl());
        Code m_code;
        int m_statusCode;
        QUrl m_elsewhere;
        QByteArray m_what;
    };

    static QCoro::Task<DeviceCodeResponse> requestDeviceCode(QUrl baseURL = APIConfig::baseURL(),
                                                             std::stop_token stop = {});
    static QCoro::Task<PollResult> pollForToken(QString deviceCode, QUrl baseURL = APIConfig::baseURL(),
                                                std::stop_token stop = {});
    // An answer from wherever a redirect to another origin led (any status) fails with
    // answeredElsewhere: no token is taken from that host, and its refusal is none.
    static QCoro::Task<TokenReply> refresh(QString token, QUrl baseURL = APIConfig::baseURL(),
                                           std::stop_token stop = {});
    // True only for a 204 answer; every failure reads as false.
    static QCoro::Task<bool> revokeToken(QString token, QUrl baseURL = APIConfig::baseURL(),
                                         std::stop_token stop = {});

    // The 200 reply of a device-code request: "device_code", "user_code", "verification_url"
    // and a whole "expires_in", or unexpectedResponse; "interval" defaults to 5.
    static DeviceCodeResponse readDeviceCodeReply(const QByteArray &body);
    // The 200 reply of a poll or refresh: "token" and a strict "expires_at" or
    // unexpectedResponse, with "home_api_url" and "shard_id" as given.
    static TokenReply readTokenReply(const QByteArray &body);
};

} // namespace quillmere
