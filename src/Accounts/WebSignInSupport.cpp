#include "Accounts/WebSignInSupport.h"

#include "Platform/Http/HttpClient.h"

#include <QUrlQuery>
#include <QUuid>

namespace quillmere::websignin {

QString newStateValue()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

std::optional<QString> firstQueryValue(const QUrl &url, const QString &name)
{
    const QUrlQuery query(url);
    for (const auto &[key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == name)
            return value.isEmpty() ? std::nullopt : std::optional<QString>(value);
    }
    return std::nullopt;
}

QCoro::Task<HttpResponse> postExchange(QUrl url, QJsonObject body, std::stop_token stop)
{
    body.insert(QStringLiteral("device_name"), deviceName);
    HttpRequest request;
    request.url = std::move(url);
    request.method = "POST";
    request.headers.set("Accept", "application/json");
    request.setJsonBody(body);
    auto sending = HttpClient::send(std::move(request), std::move(stop));
    co_return co_await std::move(sending);
}

} // namespace quillmere::websignin
