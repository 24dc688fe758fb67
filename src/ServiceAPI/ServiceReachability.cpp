#include "ServiceAPI/ServiceReachability.h"

#include <algorithm>

namespace quillmere {

void ServiceReachability::noteAnswer(quint64 ticket)
{
    m_latestAnswered = std::max(m_latestAnswered, ticket);
    if (!m_unreachableSince || ticket < m_silentFrom)
        return;
    m_unreachableSince.reset();
    Q_EMIT unreachableSinceChanged();
}

void ServiceReachability::noteNoAnswer(quint64 ticket, const QDateTime &at)
{
    if (m_unreachableSince || ticket < m_latestAnswered)
        return;
    m_unreachableSince = at;
    m_silentFrom = ticket;
    Q_EMIT unreachableSinceChanged();
}

} // namespace quillmere
