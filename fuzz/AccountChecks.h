#pragma once

#include "FuzzSupport.h"

#include "Accounts/APIConfig.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Settings/UserDefaults.h"

#include <QFile>
#include <QJsonObject>

// What a sign-in reader may store: the home address and shard, and only acceptable ones.
namespace quillmere::fuzz {

// Forgets what an earlier input stored.
inline void forgetHome()
{
    QFile::remove(UserDefaults::suite(bundleIdentifier()).filePath());
}

// After a reply was read: the stored home address and shard are the reply's when it was
// valid and they are acceptable, and nothing otherwise.
inline void checkStoredHome(bool replyValid, const QJsonObject &reply)
{
    const QJsonValue shard = reply.value(QStringLiteral("shard_id"));
    const bool shardTaken = replyValid && shard.isString() && APIConfig::isAcceptableShardID(shard.toString());
    const auto stored = APIConfig::homeShardID();
    check(stored.has_value() == shardTaken, "a shard is stored exactly when a valid reply names an acceptable one");
    if (stored)
        check(*stored == shard.toString(), "the stored shard is the reply's");

    const QJsonValue home = reply.value(QStringLiteral("home_api_url"));
    const bool homeTaken = replyValid && home.isString() && APIConfig::acceptableBaseURL(home.toString());
    const auto storedHome = UserDefaults::suite(bundleIdentifier()).string(QStringLiteral("homeAPIURL"));
    check(storedHome.has_value() == homeTaken, "a home address is stored exactly when a valid reply names an acceptable one");
    const QUrl base = APIConfig::baseURL();
    const QString scheme = base.scheme().toLower();
    check(!base.host().isEmpty() && (scheme == QLatin1String("https") || scheme == QLatin1String("http")),
          "the base URL stays an http(s) address with a host", base.toString());
}

} // namespace quillmere::fuzz
