#pragma once

#include "Platform/Network/RouteTable.h"

#include <QLoggingCategory>
#include <QString>

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <thread>
#include <vector>

namespace quillmere {

// Network path reports and their failures.
Q_DECLARE_LOGGING_CATEGORY(networkMonitorLog)

// What one read from a route socket held.
struct NetlinkBatch
{
    std::vector<NetlinkUpdate> updates;
    bool dumpDone = false;        // NLMSG_DONE, or an error reply to a request
    bool dumpInterrupted = false; // the kernel's state changed during a dump: dump again
    int errorCode = 0;            // errno of the last error reply, 0 for none
    int skipped = 0;              // malformed messages left out
};

// Reads netlink messages from raw bytes. A message or attribute whose length does not fit is
// skipped as a whole; nothing is read past the bytes given.
NetlinkBatch parseNetlink(std::span<const std::byte> bytes);

// Follows the kernel's links, addresses and default routes through a NETLINK_ROUTE socket on a
// thread of its own: dumps all three at start (and again after the socket overflowed), then
// follows events, and reports the path whenever it differs from the last report. The first
// report comes once the first dump is complete.
//
// The callback runs on the reader's thread; the owner should post the report on.
class RouteNetlink
{
public:
    using Callback = std::function<void(const PathReport &)>;

    explicit RouteNetlink(Callback callback, QString sysfsRoot = QStringLiteral("/sys"));
    ~RouteNetlink();

    RouteNetlink(const RouteNetlink &) = delete;
    RouteNetlink &operator=(const RouteNetlink &) = delete;

    // Opens the socket and starts the reader. False, with errorString() set, when the socket
    // cannot be opened; nothing is reported then.
    bool start();

    // Ends the reader; once it returns no further callback starts. Safe when idle and repeated.
    void stop();

    QString errorString() const { return m_error; }

private:
    struct Session;

    Callback m_callback;
    QString m_sysfsRoot;
    QString m_error;
    std::shared_ptr<Session> m_session;
    std::thread m_thread;
};

} // namespace quillmere
