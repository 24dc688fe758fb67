#include "Engine/NetworkMonitor.h"

#include <gtest/gtest.h>

#include "Platform/Network/RouteNetlink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QVariant>

#include <condition_variable>
#include <mutex>
#include <optional>

#include <vector>

namespace quillmere {
namespace {

struct Heard
{
    std::vector<bool> connected;
    std::vector<NetworkMonitor::ConnectionType> types;
    int available = 0;

    explicit Heard(NetworkMonitor &monitor)
    {
        QObject::connect(&monitor, &NetworkMonitor::isConnectedChanged, [this](bool value) { connected.push_back(value); });
        QObject::connect(&monitor, &NetworkMonitor::connectionTypeChanged,
                         [this](NetworkMonitor::ConnectionType value) { types.push_back(value); });
        QObject::connect(&monitor, &NetworkMonitor::networkBecameAvailable, [this] { ++available; });
    }
};

TEST(NetworkMonitor, SignalsOnlyRealChangesAndAvailabilityOnlyWhenRegained)
{
    NetworkMonitor monitor(NetworkMonitor::Source::Detached);
    EXPECT_TRUE(monitor.property("isConnected").toBool());
    EXPECT_EQ(monitor.property("connectionType").value<NetworkMonitor::ConnectionType>(), NetworkMonitor::unknown);
    Heard heard(monitor);

    // Connected from the start: the first report only names the kind.
    monitor.applyPathReport({true, InterfaceKind::Wired});
    monitor.applyPathReport({true, InterfaceKind::Wired});
    EXPECT_TRUE(heard.connected.empty());
    EXPECT_EQ(heard.types, std::vector{NetworkMonitor::wired});
    EXPECT_EQ(heard.available, 0);

    monitor.applyPathReport({false, InterfaceKind::Wired});
    monitor.applyPathReport({false, InterfaceKind::Unknown});
    EXPECT_EQ(heard.connected, std::vector{false});
    EXPECT_EQ(heard.available, 0);

    monitor.applyPathReport({true, InterfaceKind::Wifi});
    monitor.applyPathReport({true, InterfaceKind::Cellular});
    EXPECT_EQ(heard.connected, (std::vector{false, true}));
    EXPECT_EQ(heard.types, (std::vector{NetworkMonitor::wired, NetworkMonitor::unknown, NetworkMonitor::wifi,
                                        NetworkMonitor::cellular}));
    EXPECT_EQ(heard.available, 1);
    EXPECT_TRUE(monitor.isConnected());
    EXPECT_EQ(monitor.connectionType(), NetworkMonitor::cellular);
}

TEST(NetworkMonitor, ALiveMonitorTakesOnTheKernelsPathAndStopsCleanly)
{
    // What the route socket says right now, read independently.
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<PathReport> kernel;
    RouteNetlink reader([&](const PathReport &report) {
        std::lock_guard lock(mutex);
        kernel = report;
        arrived.notify_all();
    });
    ASSERT_TRUE(reader.start());
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(5), [&] { return kernel.has_value(); }));
    }
    reader.stop();

    NetworkMonitor monitor;
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()
           && (monitor.isConnected() != kernel->connected || monitor.connectionType() != NetworkMonitor::connectionTypeOf(kernel->kind)))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(monitor.isConnected(), kernel->connected);
    EXPECT_EQ(monitor.connectionType(), NetworkMonitor::connectionTypeOf(kernel->kind));

    // Destroyed with its first report still posted or not yet read: under the sanitizers a
    // reader outliving its monitor, or a report delivered to it afterwards, is an error.
    for (int i = 0; i < 5; ++i) {
        auto shortLived = std::make_unique<NetworkMonitor>();
        QThread::msleep(i * 20);
        shortLived.reset();
        QCoreApplication::processEvents();
    }
}

} // namespace
} // namespace quillmere
