#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <map>
#include <set>
#include <tuple>
#include <variant>
#include <vector>

namespace quillmere {

// What the kernel says about one interface (RTM_NEWLINK / RTM_DELLINK).
struct LinkUpdate
{
    bool removed = false;
    int index = 0;
    QByteArray name;        // empty when the message carried none
    unsigned flags = 0;     // IFF_*
    uint16_t hardwareType = 0; // ARPHRD_*
};

// One address of an interface (RTM_NEWADDR / RTM_DELADDR).
struct AddressUpdate
{
    bool removed = false;
    int index = 0;
    int family = 0;         // AF_INET or AF_INET6
    QByteArray address;     // raw bytes, 4 or 16
};

// A default route of the main table (RTM_NEWROUTE / RTM_DELROUTE); other routes never become
// updates.
struct DefaultRouteUpdate
{
    bool removed = false;
    int family = 0;
    int outputIndex = 0;
    uint32_t priority = 0;
    QByteArray gateway;
};

using NetlinkUpdate = std::variant<LinkUpdate, AddressUpdate, DefaultRouteUpdate>;

// Whether an address can carry traffic beyond this machine: loopback and IPv6 link-local
// addresses cannot.
bool isUsableAddress(int family, const QByteArray &address);

enum class InterfaceKind { Wifi, Cellular, Wired, Unknown };

struct PathReport
{
    bool connected = false;
    InterfaceKind kind = InterfaceKind::Unknown;

    friend bool operator==(const PathReport &, const PathReport &) = default;
};

// The kernel's view of links, addresses and default routes, rebuilt from netlink messages.
// Pure state: no sockets, no files.
class RouteTable
{
public:
    struct Link
    {
        QByteArray name;
        unsigned flags = 0;
        uint16_t hardwareType = 0;
        std::set<std::pair<int, QByteArray>> addresses;
        std::set<std::tuple<int, uint32_t, QByteArray>> defaultRoutes;
    };

    void apply(const NetlinkUpdate &update);
    void clear() { m_links.clear(); }

    const std::map<int, Link> &links() const { return m_links; }

    // Non-loopback, administratively up and running.
    static bool isUp(const Link &link);
    static bool hasUsableAddress(const Link &link);

private:
    std::map<int, Link> m_links;
};

// Connected: some up, non-loopback interface with a usable address and a default route through
// it. The kind is taken among the up interfaces with a default route, Wi-Fi first, then
// cellular, then wired. sysfsRoot stands for /sys.
PathReport decidePath(const RouteTable &table, const QString &sysfsRoot);

// Classifies one interface by its sysfs entries and hardware type.
InterfaceKind interfaceKind(const QString &sysfsRoot, const QByteArray &name, uint16_t hardwareType);

} // namespace quillmere
