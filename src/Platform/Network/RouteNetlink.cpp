#include "Platform/Network/RouteNetlink.h"

#include "Platform/Async/ThreadStopSignal.h"

#include <QLoggingCategory>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillmere {

Q_LOGGING_CATEGORY(networkMonitorLog, "app.quillmere.Quillmere.NetworkMonitor")

namespace {

using Bytes = std::span<const std::byte>;

template<typename T>
T readAt(Bytes bytes, size_t offset)
{
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// The attributes of one message by type (the last of a type wins). Empty optional: the list
// is malformed.
using Attributes = std::map<unsigned short, Bytes>;

std::optional<Attributes> readAttributes(Bytes body, size_t start)
{
    Attributes attributes;
    size_t pos = RTA_ALIGN(start);
    while (pos < body.size()) {
        const size_t remaining = body.size() - pos;
        if (remaining < sizeof(rtattr))
            return std::nullopt;
        const auto header = readAt<rtattr>(body, pos);
        if (header.rta_len < sizeof(rtattr) || header.rta_len > remaining)
            return std::nullopt;
        attributes[header.rta_type & NLA_TYPE_MASK] = body.subspan(pos + RTA_LENGTH(0), header.rta_len - RTA_LENGTH(0));
        pos += RTA_ALIGN(header.rta_len);
    }
    return attributes;
}

QByteArray bytesOf(Bytes bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

std::optional<uint32_t> u32Of(const Attributes &attributes, unsigned short type)
{
    auto found = attributes.find(type);
    if (found == attributes.end() || found->second.size() < sizeof(uint32_t))
        return std::nullopt;
    return readAt<uint32_t>(found->second, 0);
}

// False: the message is malformed.
bool parseLink(Bytes body, bool removed, NetlinkBatch &batch)
{
    if (body.size() < sizeof(ifinfomsg))
        return false;
    const auto info = readAt<ifinfomsg>(body, 0);
    const auto attributes = readAttributes(body, NLMSG_ALIGN(sizeof(ifinfomsg)));
    if (!attributes)
        return false;
    LinkUpdate update{removed, info.ifi_index, {}, info.ifi_flags, info.ifi_type};
    if (auto name = attributes->find(IFLA_IFNAME); name != attributes->end()) {
        const QByteArray raw = bytesOf(name->second);
        const qsizetype end = raw.indexOf('\0');
        update.name = end < 0 ? raw : raw.left(end);
    }
    batch.updates.emplace_back(std::move(update));
    return true;
}

bool parseAddress(Bytes body, bool removed, NetlinkBatch &batch)
{
    if (body.size() < sizeof(ifaddrmsg))
        return false;
    const auto info = readAt<ifaddrmsg>(body, 0);
    const auto attributes = readAttributes(body, NLMSG_ALIGN(sizeof(ifaddrmsg)));
    if (!attributes)
        return false;
    // On point-to-point links IFA_ADDRESS is the peer; IFA_LOCAL is ours whenever present.
    auto found = attributes->find(IFA_LOCAL);
    if (found == attributes->end())
        found = attributes->find(IFA_ADDRESS);
    if (found == attributes->end())
        return true;
    const size_t expected = info.ifa_family == AF_INET ? 4 : info.ifa_family == AF_INET6 ? 16 : 0;
    if (expected == 0 || found->second.size() != expected)
        return true;
    batch.updates.emplace_back(AddressUpdate{removed, static_cast<int>(info.ifa_index), info.ifa_family, bytesOf(found->second)});
    return true;
}

bool parseRoute(Bytes body, bool removed, NetlinkBatch &batch)
{
    if (body.size() < sizeof(rtmsg))
        return false;
    const auto info = readAt<rtmsg>(body, 0);
    const auto attributes = readAttributes(body, NLMSG_ALIGN(sizeof(rtmsg)));
    if (!attributes)
        return false;
    const uint32_t table = u32Of(*attributes, RTA_TABLE).value_or(info.rtm_table);
    if (info.rtm_dst_len != 0 || table != RT_TABLE_MAIN || info.rtm_type != RTN_UNICAST)
        return true;
    const uint32_t outputIndex = u32Of(*attributes, RTA_OIF).value_or(0);
    if (outputIndex == 0)
        return true;
    QByteArray gateway;
    if (auto found = attributes->find(RTA_GATEWAY); found != attributes->end())
        gateway = bytesOf(found->second);
    batch.updates.emplace_back(DefaultRouteUpdate{removed, info.rtm_family, static_cast<int>(outputIndex),
                                                  u32Of(*attributes, RTA_PRIORITY).value_or(0), gateway});
    return true;
}

} // namespace

NetlinkBatch parseNetlink(std::span<const std::byte> bytes)
{
    NetlinkBatch batch;
    size_t offset = 0;
    while (offset < bytes.size()) {
        const size_t remaining = bytes.size() - offset;
        if (remaining < sizeof(nlmsghdr)) {
            ++batch.skipped;
            break;
        }
        const auto header = readAt<nlmsghdr>(bytes, offset);
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > remaining) {
            // Without a trustworthy length the next message cannot be found either.
            ++batch.skipped;
            break;
        }
        const Bytes body = bytes.subspan(offset + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
        offset += std::min<size_t>(NLMSG_ALIGN(header.nlmsg_len), remaining);
        if (header.nlmsg_flags & NLM_F_DUMP_INTR)
            batch.dumpInterrupted = true;

        bool wellFormed = true;
        switch (header.nlmsg_type) {
        case NLMSG_DONE:
            batch.dumpDone = true;
            break;
        case NLMSG_ERROR:
            if (body.size() < sizeof(int)) {
                wellFormed = false;
            } else if (const int error = readAt<int>(body, 0); error != 0) {
                // An acknowledgement carries 0; anything else answers (and ends) a request.
                batch.errorCode = -error;
                batch.dumpDone = true;
            }
            break;
        case RTM_NEWLINK:
        case RTM_DELLINK:
            wellFormed = parseLink(body, header.nlmsg_type == RTM_DELLINK, batch);
            break;
        case RTM_NEWADDR:
        case RTM_DELADDR:
            wellFormed = parseAddress(body, header.nlmsg_type == RTM_DELADDR, batch);
            break;
        case RTM_NEWROUTE:
        case RTM_DELROUTE:
            wellFormed = parseRoute(body, header.nlmsg_type == RTM_DELROUTE, batch);
            break;
        default:
            break;
        }
        if (!wellFormed)
            ++batch.skipped;
    }
    return batch;
}

struct RouteNetlink::Session
{
    enum class Stage { Links, Addresses, Routes, Following };

    RouteNetlink::Callback callback;
    QString sysfsRoot;
    int socketFd = -1;
    ThreadStopSignal stop;

    RouteTable table;
    Stage stage = Stage::Links;
    uint32_t sequence = 0;
    bool redumpPending = false;
    std::optional<PathReport> lastReport;
    std::vector<std::byte> buffer = std::vector<std::byte>(64 * 1024);

    ~Session()
    {
        if (socketFd >= 0)
            close(socketFd);
    }

    void requestDump();
    void restartDump();
    void drain();
    void run();
};

void RouteNetlink::Session::requestDump()
{
    nlmsghdr header{};
    size_t bodySize = 0;
    switch (stage) {
    case Stage::Links:
        header.nlmsg_type = RTM_GETLINK;
        bodySize = sizeof(ifinfomsg);
        break;
    case Stage::Addresses:
        header.nlmsg_type = RTM_GETADDR;
        bodySize = sizeof(ifaddrmsg);
        break;
    case Stage::Routes:
        header.nlmsg_type = RTM_GETROUTE;
        bodySize = sizeof(rtmsg);
        break;
    case Stage::Following:
        return;
    }
    header.nlmsg_len = NLMSG_LENGTH(bodySize);
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = ++sequence;
    // Every request body starts with its address family; a zeroed body (AF_UNSPEC) asks for all.
    std::byte message[NLMSG_SPACE(sizeof(ifinfomsg))] = {};
    static_assert(sizeof(ifinfomsg) >= sizeof(ifaddrmsg) && sizeof(ifinfomsg) >= sizeof(rtmsg));
    std::memcpy(message, &header, sizeof header);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(socketFd, message, header.nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
        qCWarning(networkMonitorLog, "cannot ask the kernel for its network state: %s", std::strerror(errno));
}

void RouteNetlink::Session::restartDump()
{
    table.clear();
    stage = Stage::Links;
    requestDump();
}

void RouteNetlink::Session::drain()
{
    while (!stop.requested()) {
        const ssize_t got = recv(socketFd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOBUFS) {
                // Events were dropped: the table no longer matches the kernel's. Start over, once
                // any dump still running has ended (the kernel runs one dump at a time).
                if (stage == Stage::Following)
                    restartDump();
                else
                    redumpPending = true;
                continue;
            }
            return; // EAGAIN: all read
        }
        const NetlinkBatch batch = parseNetlink(std::span<const std::byte>(buffer.data(), static_cast<size_t>(got)));
        for (const NetlinkUpdate &update : batch.updates)
            table.apply(update);
        if (batch.dumpInterrupted && stage != Stage::Following)
            redumpPending = true;
        if (batch.dumpDone && stage != Stage::Following) {
            if (batch.errorCode != 0)
                qCWarning(networkMonitorLog, "the kernel refused a network state request: %s", std::strerror(batch.errorCode));
            if (redumpPending) {
                redumpPending = false;
                restartDump();
                continue;
            }
            stage = static_cast<Stage>(static_cast<int>(stage) + 1);
            requestDump();
        }
        if (stage == Stage::Following) {
            const PathReport report = decidePath(table, sysfsRoot);
            if (report != lastReport) {
                lastReport = report;
                callback(report);
            }
        }
    }
}

void RouteNetlink::Session::run()
{
    requestDump();
    while (!stop.requested()) {
        pollfd fds[2] = {{socketFd, POLLIN, 0}, {stop.fd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            qCWarning(networkMonitorLog, "waiting for network changes failed: %s", std::strerror(errno));
            return;
        }
        if (stop.requested())
            return;
        if (fds[0].revents & (POLLIN | POLLERR))
            drain();
    }
}

RouteNetlink::RouteNetlink(Callback callback, QString sysfsRoot)
    : m_callback(std::move(callback))
    , m_sysfsRoot(std::move(sysfsRoot))
{
}

RouteNetlink::~RouteNetlink()
{
    stop();
}

bool RouteNetlink::start()
{
    stop();
    auto session = std::make_shared<Session>();
    session->callback = m_callback;
    session->sysfsRoot = m_sysfsRoot;
    session->socketFd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (session->socketFd < 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (bind(session->socketFd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (!session->stop.isValid()) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_session = session;
    m_thread = std::thread([session] { session->run(); });
    return true;
}

void RouteNetlink::stop()
{
    if (!m_session)
        return;
    m_session->stop.requestAndJoin(m_thread);
    m_session.reset();
}

} // namespace quillmere
