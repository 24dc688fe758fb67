#include "Platform/Network/RouteTable.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <net/if_arp.h>
#include <net/if.h>
#include <sys/socket.h>

namespace quillmere {
namespace {

constexpr unsigned upFlags = IFF_UP | IFF_RUNNING;

const QByteArray publicV4("\xc0\xa8\x01\x05", 4);
const QByteArray linkLocalV6 = QByteArray::fromHex("fe800000000000000000000000000001");

class PathDecision : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(sysfs.isValid()); }

    void addInterface(int index, const QByteArray &name, unsigned flags = upFlags, uint16_t type = ARPHRD_ETHER,
                      int family = AF_INET, const QByteArray &address = publicV4, bool defaultRoute = true)
    {
        table.apply(LinkUpdate{false, index, name, flags, type});
        table.apply(AddressUpdate{false, index, family, address});
        if (defaultRoute)
            table.apply(DefaultRouteUpdate{false, AF_INET, index, 100, {}});
        QDir(sysfs.path()).mkpath(QStringLiteral("class/net/") + QString::fromUtf8(name));
    }

    void addSysfsEntry(const QByteArray &name, const QString &entry, const QByteArray &content = {})
    {
        const QString dir = sysfs.path() + QStringLiteral("/class/net/") + QString::fromUtf8(name);
        if (content.isEmpty()) {
            QDir(dir).mkpath(entry);
            return;
        }
        QFile file(dir + '/' + entry);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    PathReport decide() const { return decidePath(table, sysfs.path()); }

    QTemporaryDir sysfs;
    RouteTable table;
};

TEST_F(PathDecision, AnUpInterfaceWithAddressAndDefaultRouteIsConnected)
{
    EXPECT_EQ(decide(), (PathReport{false, InterfaceKind::Unknown}));
    addInterface(2, "eth0");
    EXPECT_EQ(decide(), (PathReport{true, InterfaceKind::Wired}));

    // Each ingredient taken away again ends the connection.
    table.apply(DefaultRouteUpdate{true, AF_INET, 2, 100, {}});
    EXPECT_FALSE(decide().connected);
    table.apply(DefaultRouteUpdate{false, AF_INET, 2, 100, {}});
    table.apply(AddressUpdate{true, 2, AF_INET, publicV4});
    EXPECT_FALSE(decide().connected);
    table.apply(AddressUpdate{false, 2, AF_INET, publicV4});
    table.apply(LinkUpdate{false, 2, {}, IFF_UP, ARPHRD_ETHER}); // carrier lost
    EXPECT_FALSE(decide().connected);
    table.apply(LinkUpdate{false, 2, {}, upFlags, ARPHRD_ETHER});
    EXPECT_TRUE(decide().connected);
    table.apply(LinkUpdate{true, 2, {}, 0, 0});
    EXPECT_EQ(decide(), (PathReport{false, InterfaceKind::Unknown}));
}

TEST_F(PathDecision, LoopbackAndLinkLocalAddressesDoNotConnect)
{
    addInterface(1, "lo", upFlags | IFF_LOOPBACK, ARPHRD_LOOPBACK, AF_INET, QByteArray("\x7f\x00\x00\x01", 4));
    addInterface(2, "eth0", upFlags, ARPHRD_ETHER, AF_INET6, linkLocalV6);
    EXPECT_FALSE(decide().connected);
    addInterface(3, "eth1", upFlags, ARPHRD_ETHER, AF_INET6, QByteArray::fromHex("20010db8000000000000000000000001"));
    EXPECT_TRUE(decide().connected);
}

TEST(UsableAddress, BoundariesOfLoopbackAndLinkLocal)
{
    EXPECT_FALSE(isUsableAddress(AF_INET, QByteArray("\x7f\xff\xff\xfe", 4)));
    EXPECT_TRUE(isUsableAddress(AF_INET, QByteArray("\x80\x00\x00\x01", 4)));
    EXPECT_TRUE(isUsableAddress(AF_INET, QByteArray("\x7e\x00\x00\x01", 4)));
    EXPECT_FALSE(isUsableAddress(AF_INET6, QByteArray::fromHex("febf0000000000000000000000000001")));
    EXPECT_TRUE(isUsableAddress(AF_INET6, QByteArray::fromHex("fec00000000000000000000000000001")));
    EXPECT_TRUE(isUsableAddress(AF_INET6, QByteArray::fromHex("fd000000000000000000000000000001")));
    EXPECT_FALSE(isUsableAddress(AF_INET6, QByteArray::fromHex("00000000000000000000000000000001")));
    EXPECT_TRUE(isUsableAddress(AF_INET6, QByteArray::fromHex("00000000000000000000000000000002")));
    EXPECT_TRUE(isUsableAddress(AF_INET6, QByteArray::fromHex("01000000000000000000000000000001")));
    EXPECT_FALSE(isUsableAddress(AF_INET6, publicV4));
}

TEST_F(PathDecision, KindPrefersWifiThenCellularThenWired)
{
    addInterface(2, "eth0");
    addInterface(3, "wwan0", upFlags, ARPHRD_NONE);
    addSysfsEntry("wwan0", QStringLiteral("uevent"), "INTERFACE=wwan0\nDEVTYPE=wwan\n");
    EXPECT_EQ(decide(), (PathReport{true, InterfaceKind::Cellular}));

    addInterface(4, "wlan0");
    addSysfsEntry("wlan0", QStringLiteral("phy80211"));
    EXPECT_EQ(decide(), (PathReport{true, InterfaceKind::Wifi}));

    // A Wi-Fi interface without a default route does not decide the kind.
    table.apply(DefaultRouteUpdate{true, AF_INET, 4, 100, {}});
    EXPECT_EQ(decide().kind, InterfaceKind::Cellular);
}

TEST_F(PathDecision, OtherInterfaceTypesConnectWithUnknownKind)
{
    addInterface(5, "tun0", upFlags, ARPHRD_NONE);
    addSysfsEntry("tun0", QStringLiteral("uevent"), "DEVTYPE=wwan_other\n");
    EXPECT_EQ(decide(), (PathReport{true, InterfaceKind::Unknown}));
    addInterface(6, "wlp2s0", upFlags, ARPHRD_ETHER, AF_INET, publicV4, true);
    addSysfsEntry("wlp2s0", QStringLiteral("wireless"));
    EXPECT_EQ(decide(), (PathReport{true, InterfaceKind::Wifi}));
}

} // namespace
} // namespace quillmere
