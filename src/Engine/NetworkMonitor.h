#pragma once

#include "Platform/Network/RouteTable.h"

#include <QObject>

#include <memory>

namespace quillmere {

class RouteNetlink;

// Whether this machine has a usable network path, and over which kind of interface. Created
// once by the application; the tray icon and the offline banner observe it. Until the first
// report it claims to be connected, so a slow start shows no false offline state.
class NetworkMonitor : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(ConnectionType connectionType READ connectionType NOTIFY connectionTypeChanged)

public:
    enum ConnectionType { wifi, cellular, wired, unknown };
    Q_ENUM(ConnectionType)

    // Live follows the kernel's route socket from construction on; Detached reads nothing and
    // changes only through applyPathReport.
    enum class Source { Live, Detached };

    explicit NetworkMonitor(QObject *parent = nullptr);
    explicit NetworkMonitor(Source source, QObject *parent = nullptr);
    ~NetworkMonitor() override;

    bool isConnected() const { return m_isConnected; }
    ConnectionType connectionType() const { return m_connectionType; }

    // The kind of interface a path report names, as this monitor shows it.
    static ConnectionType connectionTypeOf(InterfaceKind kind);

    // Main thread only. Values equal to the current ones change nothing and signal nothing.
    void applyPathReport(const PathReport &report);

Q_SIGNALS:
    void isConnectedChanged(bool connected);
    void connectionTypeChanged(quillmere::NetworkMonitor::ConnectionType type);
    // Not connected before, connected now.
    void networkBecameAvailable();

private:
    bool m_isConnected = true;
    ConnectionType m_connectionType = unknown;
    std::unique_ptr<RouteNetlink> m_reader;
};

} // namespace quillmere
