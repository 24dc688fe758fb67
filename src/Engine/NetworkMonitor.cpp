#include "Engine/NetworkMonitor.h"

#include "Platform/Network/RouteNetlink.h"

#include <QMetaObject>

namespace quillmere {

NetworkMonitor::ConnectionType NetworkMonitor::connectionTypeOf(InterfaceKind kind)
{
    switch (kind) {
    case InterfaceKind::Wifi:
        return NetworkMonitor::wifi;
    case InterfaceKind::Cellular:
        return NetworkMonitor::cellular;
    case InterfaceKind::Wired:
        return NetworkMonitor::wired;
    case InterfaceKind::Unknown:
        break;
    }
    return NetworkMonitor::unknown;
}

NetworkMonitor::NetworkMonitor(QObject *parent)
    : NetworkMonitor(Source::Live, parent)
{
}

NetworkMonitor::NetworkMonitor(Source source, QObject *parent)
    : QObject(parent)
{
    if (source == Source::Detached)
        return;
    // Reports are posted to this object: queued in order, and dropped with it if still pending.
    m_reader = std::make_unique<RouteNetlink>([this](const PathReport &report) {
        QMetaObject::invokeMethod(this, [this, report] { applyPathReport(report); }, Qt::QueuedConnection);
    });
    if (!m_reader->start()) {
        qCWarning(networkMonitorLog, "cannot follow network changes (%s); the network is taken as available",
                  qUtf8Printable(m_reader->errorString()));
        m_reader.reset();
    }
}

NetworkMonitor::~NetworkMonitor()
{
    // Joins the reader: no report can be posted once this returns, and QObject's destructor
    // discards those already posted.
    m_reader.reset();
}

void NetworkMonitor::applyPathReport(const PathReport &report)
{
    const bool wasConnected = m_isConnected;
    const ConnectionType type = connectionTypeOf(report.kind);
    const bool connectedChanged = report.connected != m_isConnected;
    const bool typeChanged = type != m_connectionType;
    m_isConnected = report.connected;
    m_connectionType = type;
    if (connectedChanged)
        Q_EMIT isConnectedChanged(m_isConnected);
    if (typeChanged)
        Q_EMIT connectionTypeChanged(m_connectionType);
    if (!wasConnected && report.connected)
        Q_EMIT networkBecameAvailable();
}

} // namespace quillmere
