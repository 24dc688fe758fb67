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
// Main thread: a token reply stores "home_api_url" and "shard_id" through APIConfig.
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

    struct PollResult
    {
        enum class Kind { approved, pending, expired, invalidCode };
        Kind kind;
        std::optional<TokenData> token; // set for approved
    };

    class DeviceAuthError : public std::exception
    {
    public:
        enum class Code { serverError, invalidResponse, unexpectedResponse };

        static DeviceAuthError serverError(int statusCode) { return DeviceAuthError(Code::serverError, statusCode); }
        static DeviceAuthError invalidResponse() { return DeviceAuthError(Code::invalidResponse, 0); }
        static DeviceAuthError unexpectedResponse() { return DeviceAuthError(Code::unexpectedResponse, 0); }

        Code code() const { return m_code; }
        int statusCode() const { return m_statusCode; }
        QString message() const;
        const char *what() const noexcept override { return m_what.constData(); }

    private:
        DeviceAuthError(Code code, int statusCode);
        Code m_code;
        int m_statusCode;
        QByteArray m_what;
    };

    static QCoro::Task<DeviceCodeResponse> requestDeviceCode(QUrl baseURL = APIConfig::baseURL(),
                                                             std::stop_token stop = {});
    static QCoro::Task<PollResult> pollForToken(QString deviceCode, QUrl baseURL = APIConfig::baseURL(),
                                                std::stop_token stop = {});
    static QCoro::Task<TokenData> refresh(QString token, QUrl baseURL = APIConfig::baseURL(),
                                          std::stop_token stop = {});
    // True only for a 204 answer; every failure reads as false.
    static QCoro::Task<bool> revokeToken(QString token, QUrl baseURL = APIConfig::baseURL(),
                                         std::stop_token stop = {});

    // The 200 reply of a device-code request: "device_code", "user_code", "verification_url"
    // and a whole "expires_in", or unexpectedResponse; "interval" defaults to 5.
    static DeviceCodeResponse readDeviceCodeReply(const QByteArray &body);
    // The 200 reply of a poll or refresh: "token" and a strict "expires_at" or
    // unexpectedResponse; stores "home_api_url" and "shard_id" only for a valid reply.
    static TokenData readTokenReply(const QByteArray &body);
};

} // namespace quillmere
