#pragma once

#include "FuzzSupport.h"

#include "Accounts/APIConfig.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Settings/UserDefaults.h"

#include <QFile>
#include <QJsonObject>

// What a sign-in reader hands on and what storing it keeps: the home address and shard, only
// acceptable ones, and nothing while the reply is read.
namespace quillmere::fuzz {

// Forgets what an earlier input stored.
inline void forgetHome()
{
    QFile::remove(UserDefaults::suite(bundleIdentifier()).filePath());
}

// Reading a reply stores nothing: its home address and shard travel with its token to the
// step that stores the token.
inline void checkNothingStored()
{
    check(!APIConfig::homeShardID(), "reading a reply stores no shard");
    check(!UserDefaults::suite(bundleIdentifier()).string(QStringLiteral("homeAPIURL")),
          "reading a reply stores no home address");
}

// The home a valid reply carries is its string members as given; storing it keeps only an
// acceptable shard and an acceptable address.
inline void checkCarriedHome(const ServiceHome &home, const QJsonObject &reply)
{
    const QJsonValue shard = reply.value(QStringLiteral("shard_id"));
    const QJsonValue address = reply.value(QStringLiteral("home_api_url"));
    check(home.shardID == (shard.isString() ? std::optional(shard.toString()) : std::nullopt), "the reply's shard");
    check(home.apiURL == (address.isString() ? std::optional(address.toString()) : std::nullopt),
          "the reply's home address");

    const bool shardTaken = home.shardID && APIConfig::isAcceptableShardID(*home.shardID);
    const bool homeTaken = home.apiURL && APIConfig::acceptableHomeURL(*home.apiURL);
    home.store();
    const auto stored = APIConfig::homeShardID();
    check(stored.has_value() == shardTaken, "a shard is stored exactly when it is acceptable");
    if (stored)
        check(*stored == *home.shardID, "the stored shard is the reply's");
    const auto storedHome = UserDefaults::suite(bundleIdentifier()).string(QStringLiteral("homeAPIURL"));
    check(storedHome.has_value() == homeTaken, "a home address is stored exactly when it is acceptable");
    const QUrl base = APIConfig::baseURL();
    if (APIConfig::defaultBaseURL().scheme() == QLatin1String("https"))
        check(base.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 && !base.host().isEmpty(),
              "reached over https, the base stays an https address with a host", base.toString());
    forgetHome();
}

} // namespace quillmere::fuzz
