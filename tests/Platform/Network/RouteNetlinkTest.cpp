#include "Platform/Network/RouteNetlink.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <net/if_arp.h>
#include <linux/rtnetlink.h>
#include <mutex>
#include <net/if.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillmere {
namespace {

using Bytes = std::vector<std::byte>;

struct Attribute
{
    uint16_t type;
    Bytes payload;
};

template<typename T>
Bytes raw(const T &value)
{
    Bytes out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

Bytes text(const char *value)
{
    Bytes out(std::strlen(value) + 1);
    std::memcpy(out.data(), value, out.size());
    return out;
}

Bytes ipv4(const char *address)
{
    in_addr parsed{};
    inet_pton(AF_INET, address, &parsed);
    return raw(parsed);
}

// One netlink message laid out as the kernel does: header, aligned body, aligned attributes.
template<typename Body>
Bytes message(uint16_t type, const Body &body, const std::vector<Attribute> &attributes = {}, uint16_t flags = 0)
{
    Bytes out(NLMSG_HDRLEN);
    const Bytes bodyBytes = raw(body);
    out.insert(out.end(), bodyBytes.begin(), bodyBytes.end());
    out.resize(NLMSG_ALIGN(out.size()));
    for (const Attribute &attribute : attributes) {
        rtattr header{static_cast<unsigned short>(RTA_LENGTH(attribute.payload.size())), attribute.type};
        const Bytes headerBytes = raw(header);
        out.insert(out.end(), headerBytes.begin(), headerBytes.end());
        out.insert(out.end(), attribute.payload.begin(), attribute.payload.end());
        out.resize(NLMSG_ALIGN(out.size()));
    }
    nlmsghdr header{};
    header.nlmsg_len = static_cast<uint32_t>(out.size());
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    std::memcpy(out.data(), &header, sizeof header);
    return out;
}

Bytes joined(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

NetlinkBatch parse(const Bytes &bytes)
{
    // An exact-size copy, so that the sanitizer sees any read past the end.
    auto exact = std::make_unique<std::byte[]>(bytes.size());
    std::memcpy(exact.get(), bytes.data(), bytes.size());
    return parseNetlink(std::span<const std::byte>(exact.get(), bytes.size()));
}

Bytes linkMessage(uint16_t type, int index, const char *name, unsigned flags)
{
    ifinfomsg info{};
    info.ifi_index = index;
    info.ifi_flags = flags;
    info.ifi_type = ARPHRD_ETHER;
    return message(type, info, {{IFLA_IFNAME, text(name)}});
}

Bytes addressMessage(uint16_t type, int index, std::vector<Attribute> attributes)
{
    ifaddrmsg info{};
    info.ifa_family = AF_INET;
    info.ifa_index = static_cast<uint32_t>(index);
    return message(type, info, attributes);
}

Bytes routeMessage(uint16_t type, int oif, uint8_t dstLength = 0, uint8_t table = RT_TABLE_MAIN)
{
    rtmsg info{};
    info.rtm_family = AF_INET;
    info.rtm_dst_len = dstLength;
    info.rtm_table = table;
    info.rtm_type = RTN_UNICAST;
    return message(type, info, {{RTA_OIF, raw(uint32_t(oif))}, {RTA_GATEWAY, ipv4("192.168.1.1")}, {RTA_PRIORITY, raw(uint32_t(100))}});
}

TEST(NetlinkParser, ReadsLinksAddressesAndOnlyDefaultRoutesOfTheMainTable)
{
    const NetlinkBatch batch = parse(joined({
        linkMessage(RTM_NEWLINK, 3, "eth0", IFF_UP | IFF_RUNNING),
        // Point-to-point: IFA_ADDRESS is the peer, IFA_LOCAL our own address.
        addressMessage(RTM_NEWADDR, 3, {{IFA_ADDRESS, ipv4("10.0.0.2")}, {IFA_LOCAL, ipv4("10.0.0.1")}}),
        addressMessage(RTM_NEWADDR, 3, {{IFA_ADDRESS, ipv4("10.0.0.7")}}),
        routeMessage(RTM_NEWROUTE, 3, 24),
        routeMessage(RTM_NEWROUTE, 3, 0, RT_TABLE_LOCAL),
        routeMessage(RTM_NEWROUTE, 3),
    }));
    EXPECT_EQ(batch.skipped, 0);
    EXPECT_FALSE(batch.dumpDone);
    ASSERT_EQ(batch.updates.size(), 4u);

    const auto &link = std::get<LinkUpdate>(batch.updates[0]);
    EXPECT_FALSE(link.removed);
    EXPECT_EQ(link.index, 3);
    EXPECT_EQ(link.name, "eth0");
    EXPECT_EQ(link.flags, unsigned(IFF_UP | IFF_RUNNING));
    EXPECT_EQ(link.hardwareType, ARPHRD_ETHER);

    const auto &local = std::get<AddressUpdate>(batch.updates[1]);
    EXPECT_EQ(local.index, 3);
    EXPECT_EQ(local.family, AF_INET);
    EXPECT_EQ(local.address, QByteArray("\x0a\x00\x00\x01", 4));
    EXPECT_EQ(std::get<AddressUpdate>(batch.updates[2]).address, QByteArray("\x0a\x00\x00\x07", 4));

    const auto &route = std::get<DefaultRouteUpdate>(batch.updates[3]);
    EXPECT_FALSE(route.removed);
    EXPECT_EQ(route.outputIndex, 3);
    EXPECT_EQ(route.priority, 100u);
    EXPECT_EQ(route.gateway, QByteArray("\xc0\xa8\x01\x01", 4));
}

TEST(NetlinkParser, DeletionsAreMarkedAsRemovals)
{
    const NetlinkBatch batch = parse(joined({
        linkMessage(RTM_DELLINK, 4, "wlan0", 0),
        addressMessage(RTM_DELADDR, 4, {{IFA_ADDRESS, ipv4("10.0.0.1")}}),
        routeMessage(RTM_DELROUTE, 4),
    }));
    ASSERT_EQ(batch.updates.size(), 3u);
    EXPECT_TRUE(std::get<LinkUpdate>(batch.updates[0]).removed);
    EXPECT_TRUE(std::get<AddressUpdate>(batch.updates[1]).removed);
    EXPECT_TRUE(std::get<DefaultRouteUpdate>(batch.updates[2]).removed);
    EXPECT_EQ(std::get<DefaultRouteUpdate>(batch.updates[2]).outputIndex, 4);
}

TEST(NetlinkParser, MalformedMessagesAreSkippedWithoutReadingPastTheirEnd)
{
    // An attribute claiming more bytes than its message holds; the next message still counts.
    Bytes overlong = addressMessage(RTM_NEWADDR, 3, {{IFA_ADDRESS, ipv4("10.0.0.1")}});
    rtattr bad{};
    std::memcpy(&bad, overlong.data() + NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifaddrmsg)), sizeof bad);
    bad.rta_len = 64;
    std::memcpy(overlong.data() + NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifaddrmsg)), &bad, sizeof bad);

    // A link message too short for its fixed part.
    Bytes shortBody = linkMessage(RTM_NEWLINK, 5, "eth1", IFF_UP);
    shortBody.resize(NLMSG_HDRLEN + 4);
    nlmsghdr shortHeader{};
    std::memcpy(&shortHeader, shortBody.data(), sizeof shortHeader);
    shortHeader.nlmsg_len = static_cast<uint32_t>(shortBody.size());
    std::memcpy(shortBody.data(), &shortHeader, sizeof shortHeader);

    const NetlinkBatch batch = parse(joined({overlong, shortBody, linkMessage(RTM_NEWLINK, 6, "eth2", IFF_UP)}));
    EXPECT_EQ(batch.skipped, 2);
    ASSERT_EQ(batch.updates.size(), 1u);
    EXPECT_EQ(std::get<LinkUpdate>(batch.updates[0]).index, 6);

    // Cut off mid-message: what came before stands, the rest is dropped.
    Bytes truncated = joined({linkMessage(RTM_NEWLINK, 7, "eth3", IFF_UP), routeMessage(RTM_NEWROUTE, 7)});
    truncated.resize(truncated.size() - 6);
    const NetlinkBatch cut = parse(truncated);
    EXPECT_EQ(cut.skipped, 1);
    ASSERT_EQ(cut.updates.size(), 1u);
    EXPECT_EQ(std::get<LinkUpdate>(cut.updates[0]).index, 7);
}

TEST(NetlinkParser, DoneErrorsAndInterruptedDumps)
{
    EXPECT_TRUE(parse(message(NLMSG_DONE, int(0))).dumpDone);

    nlmsgerr ack{};
    const NetlinkBatch acknowledged = parse(message(NLMSG_ERROR, ack));
    EXPECT_FALSE(acknowledged.dumpDone);
    EXPECT_EQ(acknowledged.errorCode, 0);

    nlmsgerr busy{};
    busy.error = -EBUSY;
    const NetlinkBatch refused = parse(message(NLMSG_ERROR, busy));
    EXPECT_TRUE(refused.dumpDone);
    EXPECT_EQ(refused.errorCode, EBUSY);

    ifinfomsg info{};
    info.ifi_index = 2;
    const NetlinkBatch interrupted = parse(message(RTM_NEWLINK, info, {}, NLM_F_MULTI | NLM_F_DUMP_INTR));
    EXPECT_TRUE(interrupted.dumpInterrupted);
    EXPECT_FALSE(parse(message(RTM_NEWLINK, info, {}, NLM_F_MULTI)).dumpInterrupted);
}

// Waits for the first report of a live reader.
std::optional<PathReport> firstLiveReport(std::chrono::seconds limit)
{
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<PathReport> report;
    RouteNetlink reader([&](const PathReport &r) {
        std::lock_guard lock(mutex);
        if (!report)
            report = r;
        arrived.notify_all();
    });
    if (!reader.start())
        return std::nullopt;
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, limit, [&] { return report.has_value(); });
    const std::optional<PathReport> result = report;
    lock.unlock();
    reader.stop();
    return result;
}

TEST(RouteNetlinkLive, TheRealSocketReportsSoonAfterStart)
{
    EXPECT_TRUE(firstLiveReport(std::chrono::seconds(5)).has_value());
}

TEST(RouteNetlinkLive, AFreshNetworkNamespaceIsNotConnected)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only loopback exists, and it is down: nothing may count as connected.
        if (unshare(CLONE_NEWNET) != 0)
            _exit(77);
        const std::optional<PathReport> report = firstLiveReport(std::chrono::seconds(5));
        _exit(!report ? 2 : report->connected ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no permission for a network namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: reported connected, 2: no report";
}

} // namespace
} // namespace quillmere
