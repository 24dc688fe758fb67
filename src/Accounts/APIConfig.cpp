#include "Accounts/APIConfig.h"

#include "Platform/BundleIdentifier.h"
#include "Platform/Settings/UserDefaults.h"

#include <QHostAddress>

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

void APIConfig::setHomeAPIURL(const QString &url)
{
    if (acceptableBaseURL(url))
        suite().setString(homeAPIURLKey, url);
}

void APIConfig::setHomeShardID(const QString &shardID)
{
    if (!shardID.isEmpty())
        suite().setString(homeShardIDKey, shardID);
}

std::optional<QString> APIConfig::homeShardID()
{
    return suite().string(homeShardIDKey);
}

} // namespace quillmere
