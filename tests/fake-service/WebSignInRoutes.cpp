#include "fake-service/FakeJson.h"
#include "fake-service/FakeRoutes.h"

#include <QUrl>
#include <QUrlQuery>

namespace quillmere::test {

namespace {

// The sign-in reply: the token reply plus the user and whether the account is new.
FakeReply signInReply(FakeServiceState &state, const FakeWebSignIn::Grant &grant)
{
    const auto account = state.accounts.find(grant.accountId);
    if (account == state.accounts.end())
        return FakeReply::failure(401, QStringLiteral("Unknown account"), QStringLiteral("unauthorized"));
    const QString token = state.issueTokenLocked(grant.accountId);
    QJsonObject reply = state.tokenReplyLocked(state.tokens.at(token));
    reply.insert(QStringLiteral("user"), QJsonObject{
                                             {QStringLiteral("id"), account->second.id},
                                             {QStringLiteral("name"), account->second.name},
                                             {QStringLiteral("email"), account->second.email},
                                             {QStringLiteral("plan"), account->second.plan},
                                         });
    reply.insert(QStringLiteral("is_new_user"), grant.isNewUser);
    return FakeReply::json(grant.isNewUser ? 201 : 200, reply);
}

// Spends a code once; a second exchange of the same code is refused like an unknown one.
FakeReply exchange(FakeServiceState &state, std::map<QString, FakeWebSignIn::Grant> &codes, const QString &code)
{
    const auto grant = codes.find(code);
    if (grant == codes.end() || grant->second.spent)
        return FakeReply::failure(401, QStringLiteral("Invalid or expired code"), QStringLiteral("invalid_grant"));
    grant->second.spent = true;
    return signInReply(state, grant->second);
}

FakeReply appleRedirectPage(FakeServiceState &state, const FakeRequest &request)
{
    const QString callback = QString::fromStdString(request.queryValue("callback").value_or(std::string()));
    const QString stateValue = QString::fromStdString(request.queryValue("state").value_or(std::string()));
    if (callback != QLatin1String("quillmere://apple-callback") || stateValue.isEmpty()
        || !request.queryValue("device_name"))
        return badRequest(QStringLiteral("callback, state and device_name are required"));

    QUrlQuery query;
    {
        std::lock_guard lock(state.mutex);
        auto &signIn = state.webSignIn;
        if (signIn.appleAccount) {
            const QString code = QStringLiteral("apple-code-%1").arg(signIn.nextCodeNumber++);
            signIn.appleCodes[code] = FakeWebSignIn::Grant{*signIn.appleAccount, signIn.appleNewUser, false};
            query.addQueryItem(QStringLiteral("code"), code);
        } else {
            query.addQueryItem(QStringLiteral("error"), QStringLiteral("access_denied"));
        }
    }
    query.addQueryItem(QStringLiteral("state"), stateValue);
    QUrl location(callback);
    location.setQuery(query);

    FakeReply reply;
    reply.status = 302;
    reply.contentType = "text/html";
    reply.headers.emplace_back("Location", location.toString(QUrl::FullyEncoded).toStdString());
    reply.body = "<html><body>Returning to Quillmere…</body></html>";
    return reply;
}

FakeReply appleExchange(FakeServiceState &state, const FakeRequest &request)
{
    if (auto refused = requireAcceptJson(request))
        return *refused;
    auto body = jsonObjectBody(request);
    if (auto *refused = std::get_if<FakeReply>(&body))
        return *refused;
    const QJsonObject object = std::get<QJsonObject>(body);
    if (!object.value(QStringLiteral("code")).isString() || !object.value(QStringLiteral("device_name")).isString())
        return FakeReply::failure(422, QStringLiteral("code and device_name are required"), QStringLiteral("invalid_request"));
    std::lock_guard lock(state.mutex);
    return exchange(state, state.webSignIn.appleCodes, object.value(QStringLiteral("code")).toString());
}

FakeReply socialExchange(FakeServiceState &state, const FakeRequest &request)
{
    if (auto refused = requireAcceptJson(request))
        return *refused;
    auto body = jsonObjectBody(request);
    if (auto *refused = std::get_if<FakeReply>(&body))
        return *refused;
    const QJsonObject object = std::get<QJsonObject>(body);
    if (object.value(QStringLiteral("provider")).toString() != QLatin1String("google")
        || !object.value(QStringLiteral("id_token")).isString() || !object.value(QStringLiteral("device_name")).isString())
        return FakeReply::failure(422, QStringLiteral("provider, id_token and device_name are required"),
                                  QStringLiteral("invalid_request"));
    std::lock_guard lock(state.mutex);
    return exchange(state, state.webSignIn.googleCodes, object.value(QStringLiteral("id_token")).toString());
}

} // namespace

void addWebSignInRoutes(FakeRouter &router, FakeServiceState &state)
{
    router.add("GET", "/auth/apple/app-redirect", [&state](const FakeRequest &r) { return appleRedirectPage(state, r); });
    router.add("POST", "/api/v1/auth/apple/exchange", [&state](const FakeRequest &r) { return appleExchange(state, r); });
    router.add("POST", "/api/v1/auth/social", [&state](const FakeRequest &r) { return socialExchange(state, r); });
}

} // namespace quillmere::test
