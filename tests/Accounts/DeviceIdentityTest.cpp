#include "Accounts/DeviceIdentity.h"
#include "support/TemporaryConfigHome.h"
#include "Platform/Settings/UserDefaults.h"

#include <QRegularExpression>

#include <gmock/gmock.h>

using namespace quillmere;

TEST(DeviceIdentityTest, IdentifierAndNameAreMadeOnceAndKept)
{
    test::TemporaryConfigHome home;
    const QString id = DeviceIdentity::deviceID();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"))
                    .match(id)
                    .hasMatch())
        << id.toStdString();
    EXPECT_EQ(DeviceIdentity::deviceID(), id);

    // Removed (as the local reset does) or emptied: a new one is made.
    UserDefaults::standard().remove(QStringLiteral("quillmere.device.id"));
    const QString second = DeviceIdentity::deviceID();
    EXPECT_NE(second, id);
    UserDefaults::standard().setString(QStringLiteral("quillmere.device.id"), QString());
    EXPECT_NE(DeviceIdentity::deviceID(), second);

    // The name is taken once; a stored one wins.
    const QString name = DeviceIdentity::deviceName();
    EXPECT_FALSE(name.isEmpty());
    EXPECT_EQ(UserDefaults::standard().string(QStringLiteral("quillmere.device.name")), name);
    UserDefaults::standard().setString(QStringLiteral("quillmere.device.name"), QStringLiteral("Studio Mac"));
    EXPECT_EQ(DeviceIdentity::deviceName(), QStringLiteral("Studio Mac"));
}
