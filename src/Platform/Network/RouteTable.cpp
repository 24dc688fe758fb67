#include "Platform/Network/RouteTable.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>

namespace quillmere {

bool isUsableAddress(int family, const QByteArray &address)
{
    const auto byte = [&](int i) { return static_cast<unsigned char>(address[i]); };
    if (family == AF_INET && address.size() == 4)
        return byte(0) != 127;
    if (family == AF_INET6 && address.size() == 16) {
        if (byte(0) == 0xfe && (byte(1) & 0xc0) == 0x80)
            return false; // fe80::/10
        for (int i = 0; i < 15; ++i) {
            if (byte(i) != 0)
                return true;
        }
        return byte(15) > 1; // :: and ::1
    }
    return false;
}

void RouteTable::apply(const NetlinkUpdate &update)
{
    if (const auto *link = std::get_if<LinkUpdate>(&update)) {
        if (link->removed) {
            m_links.erase(link->index);
            return;
        }
        Link &entry = m_links[link->index];
        if (!link->name.isEmpty())
            entry.name = link->name;
        entry.flags = link->flags;
        entry.hardwareType = link->hardwareType;
    } else if (const auto *address = std::get_if<AddressUpdate>(&update)) {
        const std::pair<int, QByteArray> key{address->family, address->address};
        if (address->removed) {
            if (auto found = m_links.find(address->index); found != m_links.end())
                found->second.addresses.erase(key);
        } else {
            m_links[address->index].addresses.insert(key);
        }
    } else if (const auto *route = std::get_if<DefaultRouteUpdate>(&update)) {
        const std::tuple<int, uint32_t, QByteArray> key{route->family, route->priority, route->gateway};
        if (route->removed) {
            if (auto found = m_links.find(route->outputIndex); found != m_links.end())
                found->second.defaultRoutes.erase(key);
        } else {
            m_links[route->outputIndex].defaultRoutes.insert(key);
        }
    }
}

bool RouteTable::isUp(const Link &link)
{
    return !(link.flags & IFF_LOOPBACK) && (link.flags & IFF_UP) && (link.flags & IFF_RUNNING);
}

bool RouteTable::hasUsableAddress(const Link &link)
{
    for (const auto &[family, address] : link.addresses) {
        if (isUsableAddress(family, address))
            return true;
    }
    return false;
}

InterfaceKind interfaceKind(const QString &sysfsRoot, const QByteArray &name, uint16_t hardwareType)
{
    // Kernel interface names never hold a slash; anything else would escape the class folder.
    const bool safeName = !name.isEmpty() && !name.contains('/') && name != "." && name != "..";
    if (safeName) {
        const QString dir = sysfsRoot + QStringLiteral("/class/net/") + QString::fromUtf8(name);
        if (QFileInfo::exists(dir + QStringLiteral("/wireless")) || QFileInfo::exists(dir + QStringLiteral("/phy80211")))
            return InterfaceKind::Wifi;
        QFile uevent(dir + QStringLiteral("/uevent"));
        if (uevent.open(QIODevice::ReadOnly)) {
            // A uevent file is a handful of short lines; a ceiling keeps an odd file harmless.
            const QList<QByteArray> lines = uevent.read(64 * 1024).split('\n');
            if (lines.contains(QByteArrayLiteral("DEVTYPE=wwan")))
                return InterfaceKind::Cellular;
        }
    }
    if (hardwareType == ARPHRD_ETHER)
        return InterfaceKind::Wired;
    return InterfaceKind::Unknown;
}

PathReport decidePath(const RouteTable &table, const QString &sysfsRoot)
{
    PathReport report;
    std::vector<InterfaceKind> kinds;
    for (const auto &[index, link] : table.links()) {
        if (!RouteTable::isUp(link) || link.defaultRoutes.empty())
            continue;
        if (RouteTable::hasUsableAddress(link))
            report.connected = true;
        kinds.push_back(interfaceKind(sysfsRoot, link.name, link.hardwareType));
    }
    for (InterfaceKind preferred : {InterfaceKind::Wifi, InterfaceKind::Cellular, InterfaceKind::Wired}) {
        if (std::find(kinds.begin(), kinds.end(), preferred) != kinds.end()) {
            report.kind = preferred;
            break;
        }
    }
    return report;
}

} // namespace quillmere
