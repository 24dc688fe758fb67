#include "Accounts/APIConfig.h"
#include "support/TemporaryConfigHome.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Settings/UserDefaults.h"

#include <gmock/gmock.h>

using namespace quillmere;

namespace {

class APIConfigTest : public ::testing::Test
{
protected:
    test::TemporaryConfigHome home;
    UserDefaults suite = UserDefaults::suite(bundleIdentifier());
};

} // namespace

TEST_F(APIConfigTest, AcceptsOnlyHttpsOrLoopbackHttp)
{
    for (const char *good : {"https://eu.harborly.app", "https://eu.harborly.app:8443/base/", "HTTPS://EU.harborly.app",
                             "http://127.0.0.1:8080", "http://localhost:3000/", "http://[::1]:9000", "http://127.8.0.1"}) {
        SCOPED_TRACE(good);
        EXPECT_TRUE(APIConfig::acceptableBaseURL(QString::fromLatin1(good)).has_value());
    }
    for (const char *bad : {"", "eu.harborly.app", "/api/v1", "http://eu.harborly.app", "http://10.0.0.1",
                            "http://localhost.evil.example", "ftp://eu.harborly.app", "file:///etc/passwd",
                            "https://", "https:///path", "https://host name", "javascript:alert(1)"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(APIConfig::acceptableBaseURL(QString::fromLatin1(bad)).has_value());
    }
}

TEST_F(APIConfigTest, StoredHomeAndShardAreTheDefaultUntilAnAcceptableValueIsSet)
{
    EXPECT_EQ(APIConfig::baseURL(), APIConfig::defaultBaseURL());
    // A value written by an older build or by hand is not trusted either.
    suite.setString(QStringLiteral("homeAPIURL"), QStringLiteral("http://evil.example"));
    EXPECT_EQ(APIConfig::baseURL(), APIConfig::defaultBaseURL());

    APIConfig::setHomeAPIURL(QStringLiteral("https://EU-1.harborly.app/"));
    EXPECT_EQ(APIConfig::baseURL(), QUrl(QStringLiteral("https://eu-1.harborly.app/")));
    APIConfig::setHomeAPIURL(QStringLiteral("http://attacker.example"));
    APIConfig::setHomeAPIURL(QStringLiteral("not a url"));
    EXPECT_EQ(suite.string(QStringLiteral("homeAPIURL")), QStringLiteral("https://EU-1.harborly.app/"));

    // The shard id is only ever a short token of safe characters.
    EXPECT_EQ(APIConfig::homeShardID(), std::nullopt);
    APIConfig::setHomeShardID(QStringLiteral("eu-2"));
    const QString longest(APIConfig::maximumShardIDLength, u'a');
    for (const QString &bad : {QString(), QStringLiteral("shard-a\r\nX-Injected: 1"), QStringLiteral("eu 2"),
                               QStringLiteral("eu:2"), QStringLiteral("eu/2"), QStringLiteral("\u00e9u-2"),
                               longest + u'a'}) {
        APIConfig::setHomeShardID(bad);
        EXPECT_EQ(APIConfig::homeShardID(), QStringLiteral("eu-2")) << bad.toStdString();
    }
    APIConfig::setHomeShardID(QStringLiteral("EU_west.2"));
    EXPECT_EQ(APIConfig::homeShardID(), QStringLiteral("EU_west.2"));
    APIConfig::setHomeShardID(longest);
    EXPECT_EQ(APIConfig::homeShardID(), longest);
    // The suite is its own file, apart from the standard settings.
    EXPECT_EQ(UserDefaults::standard().string(QStringLiteral("homeShardID")), std::nullopt);

    // A value written by an older build or by hand is not sent either.
    suite.setString(QStringLiteral("homeShardID"), QStringLiteral("shard-a\r\nX-Injected: 1"));
    EXPECT_EQ(APIConfig::homeShardID(), std::nullopt);
}

TEST_F(APIConfigTest, AHomeOfPlainHttpToLoopbackIsTakenOnlyWhileTheServiceIsReachedThatWay)
{
    // Reached over https: a reply naming a local port is refused; the token would go there in
    // clear, to whatever local user bound it.
    APIConfig::setHomeAPIURL(QStringLiteral("https://eu.harborly.app"));
    for (const char *local : {"http://127.0.0.1:8080", "http://localhost:3000/", "http://[::1]:9000"}) {
        APIConfig::setHomeAPIURL(QString::fromLatin1(local));
        EXPECT_FALSE(APIConfig::acceptableHomeURL(QString::fromLatin1(local))) << local;
    }
    EXPECT_EQ(APIConfig::baseURL(), QUrl(QStringLiteral("https://eu.harborly.app")));

    // A local test service may move the account to another local port, or to https.
    suite.setString(QStringLiteral("homeAPIURL"), QStringLiteral("http://127.0.0.1:9000"));
    APIConfig::setHomeAPIURL(QStringLiteral("http://localhost:3000/"));
    EXPECT_EQ(APIConfig::baseURL(), QUrl(QStringLiteral("http://localhost:3000/")));
    APIConfig::setHomeAPIURL(QStringLiteral("https://eu.harborly.app"));
    EXPECT_EQ(APIConfig::baseURL(), QUrl(QStringLiteral("https://eu.harborly.app")));
}
