#include "Accounts/APIConfig.h"

#include "Platform/BundleIdentifier.h"
#include "Platform/Settings/UserDefaults.h"

#include <QHostAddress>

#include <algorithm>

namespace quillmere {

namespace {

const QString homeAPIURLKey = QStringLiteral("homeAPIURL");
const QString homeShardIDKey = QStringLiteral("homeShardID");

UserDefaults suite()
{
    return UserDefaults::suite(bundleIdentifier());
}

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace

std::optional<QUrl> APIConfig::acceptableBaseURL(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return url;
    if (scheme == QLatin1String("http") && isLoopbackHost(url.host()))
        return url;
    return std::nullopt;
}

QUrl APIConfig::defaultBaseURL()
{
    static const QUrl url = [] {
        if (auto fromEnvironment = acceptableBaseURL(qEnvironmentVariable("QUILLMERE_BASE_URL")))
            return *fromEnvironment;
        return QUrl(QStringLiteral("https://harborly.app"));
    }();
    return url;
}

QUrl APIConfig::baseURL()
{
    if (const auto stored = suite().string(homeAPIURLKey)) {
        if (auto url = acceptableBaseURL(*stored))
            return *url;
    }
    return defaultBaseURL();
}

std::optional<QUrl> APIConfig::acceptableHomeURL(const QString &text)
{
    std::optional<QUrl> url = acceptableBaseURL(text);
    if (!url || url->scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0)
        return url;
    const QUrl current = baseURL();
    const bool currentIsLocal =
        current.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 && isLoopbackHost(current.host());
    return currentIsLocal ? url : std::nullopt;
}

void APIConfig::setHomeAPIURL(const QString &url)
{
    if (acceptableHomeURL(url))
        suite().setString(homeAPIURLKey, url);
}

bool APIConfig::isAcceptableShardID(const QString &shardID)
{
    if (shardID.isEmpty() || shardID.size() > maximumShardIDLength)
        return false;
    return std::all_of(shardID.begin(), shardID.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' || u == '_'
            || u == '.';
    });
}

void APIConfig::setHomeShardID(const QString &shardID)
{
    if (isAcceptableShardID(shardID))
        suite().setString(homeShardIDKey, shardID);
}

ServiceHome ServiceHome::fromReply(const QJsonObject &reply)
{
    ServiceHome home;
    if (const QJsonValue url = reply.value(QStringLiteral("home_api_url")); url.isString())
        home.apiURL = url.toString();
    if (const QJsonValue shard = reply.value(QStringLiteral("shard_id")); shard.isString())
        home.shardID = shard.toString();
    return home;
}

void ServiceHome::store() const
{
    if (apiURL)
        APIConfig::setHomeAPIURL(*apiURL);
    if (shardID)
        APIConfig::setHomeShardID(*shardID);
}

std::optional<QString> APIConfig::homeShardID()
{
    auto stored = suite().string(homeShardIDKey);
    if (!stored || !isAcceptableShardID(*stored))
        return std::nullopt;
    return stored;
}

} // namespace quillmere
