#include "fake-service/FakeJson.h"
#include "fake-service/FakeRoutes.h"

#include <QRandomGenerator>

namespace quillmere::test {

namespace {

std::optional<FakeReply> requireJsonHeaders(const FakeRequest &request)
{
    if (auto refused = requireAcceptJson(request))
        return refused;
    if (request.header("Content-Type").value_or(std::string()).rfind("application/json", 0) != 0)
        return badRequest(QStringLiteral("Content-Type must be application/json"));
    return std::nullopt;
}

FakeReply requestDeviceCode(FakeServiceState &state, const FakeRequest &request)
{
    if (auto refused = requireAcceptJson(request))
        return *refused;
    auto body = jsonObjectBody(request);
    if (auto *refused = std::get_if<FakeReply>(&body))
        return *refused;
    const QJsonObject object = std::get<QJsonObject>(body);
    if (auto refused = requireString(object, QStringLiteral("device_type")))
        return *refused;

    std::lock_guard lock(state.mutex);
    FakeDeviceCode code;
    const qint64 number = state.nextDeviceNumber++;
    code.deviceCode = QStringLiteral("dev-%1-%2").arg(number).arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    code.userCode = QStringLiteral("QM%1-%2").arg(number, 2, 10, QLatin1Char('0')).arg(QRandomGenerator::global()->bounded(1000, 10000));
    code.expiresAt = QDateTime::currentDateTimeUtc().addSecs(900);
    state.deviceCodes.push_back(code);
    return FakeReply::json(200, QJsonObject{
                                    {QStringLiteral("device_code"), code.deviceCode},
                                    {QStringLiteral("user_code"), code.userCode},
                                    {QStringLiteral("verification_url"), state.baseURL + QStringLiteral("/link")},
                                    {QStringLiteral("expires_in"), 900},
                                    {QStringLiteral("interval"), code.interval},
                                });
}

FakeReply pollForToken(FakeServiceState &state, const FakeRequest &request)
{
    if (auto refused = requireAcceptJson(request))
        return *refused;
    auto body = jsonObjectBody(request);
    if (auto *refused = std::get_if<FakeReply>(&body))
        return *refused;
    const QJsonObject object = std::get<QJsonObject>(body);
    if (auto refused = requireString(object, QStringLiteral("device_code")))
        return *refused;
    const QString deviceCode = object.value(QStringLiteral("device_code")).toString();

    std::lock_guard lock(state.mutex);
    auto code = std::find_if(state.deviceCodes.begin(), state.deviceCodes.end(),
                             [&](const FakeDeviceCode &c) { return c.deviceCode == deviceCode; });
    if (code == state.deviceCodes.end())
        return FakeReply::failure(404, QStringLiteral("Unknown device code"), QStringLiteral("invalid_device_code"));
    ++code->polls;
    if (code->state != FakeDeviceCode::State::spent && code->expiresAt <= QDateTime::currentDateTimeUtc())
        code->state = FakeDeviceCode::State::expired;
    switch (code->state) {
    case FakeDeviceCode::State::pending:
        return FakeReply::failure(428, QStringLiteral("Waiting for the user to approve"), QStringLiteral("authorization_pending"));
    case FakeDeviceCode::State::slowDown:
        code->state = FakeDeviceCode::State::pending;
        return FakeReply::failure(429, QStringLiteral("Polling too fast"), QStringLiteral("slow_down"));
    case FakeDeviceCode::State::approved: {
        code->state = FakeDeviceCode::State::spent;
        const QString token = state.issueTokenLocked(code->accountId);
        return FakeReply::json(200, state.tokenReplyLocked(state.tokens.at(token)));
    }
    case FakeDeviceCode::State::spent:
    case FakeDeviceCode::State::expired:
        break;
    }
    return FakeReply::failure(410, QStringLiteral("Device code expired"), QStringLiteral("expired_token"));
}

FakeReply refresh(FakeServiceState &state, const FakeRequest &request)
{
    if (auto refused = requireJsonHeaders(request))
        return *refused;
    std::lock_guard lock(state.mutex);
    const FakeToken *presented = state.presentedTokenLocked(request);
    if (!presented || !state.accounts.count(presented->accountId))
        return FakeReply::failure(401, QStringLiteral("Invalid token"), QStringLiteral("unauthorized"));
    const qint64 accountId = presented->accountId;
    const QString old = presented->token;
    const QString token = state.issueTokenLocked(accountId);
    if (state.rotateTokensOnRefresh)
        state.tokens[old].revoked = true;
    return FakeReply::json(200, state.tokenReplyLocked(state.tokens.at(token)));
}

FakeReply revoke(FakeServiceState &state, const FakeRequest &request)
{
    if (auto refused = requireAcceptJson(request))
        return *refused;
    std::lock_guard lock(state.mutex);
    const FakeToken *presented = state.presentedTokenLocked(request);
    if (!presented)
        return FakeReply::failure(401, QStringLiteral("Invalid token"), QStringLiteral("unauthorized"));
    state.tokens[presented->token].revoked = true;
    return FakeReply::noContent();
}

} // namespace

void addAuthRoutes(FakeRouter &router, FakeServiceState &state)
{
    router.add("POST", "/api/v1/auth/device", [&state](const FakeRequest &r) { return requestDeviceCode(state, r); });
    router.add("POST", "/api/v1/auth/device/token", [&state](const FakeRequest &r) { return pollForToken(state, r); });
    router.add("POST", "/api/v1/auth/refresh", [&state](const FakeRequest &r) { return refresh(state, r); });
    router.add("DELETE", "/api/v1/auth/token", [&state](const FakeRequest &r) { return revoke(state, r); });
}

} // namespace quillmere::test
