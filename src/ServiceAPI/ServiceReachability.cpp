#include "ServiceAPI/ServiceReachability.h"

#include <algorithm>

namespace quillmere {

void ServiceReachability::noteAnswer(quint64 ticket)
{
    m_latestAnswered = std::max(m_latestAnswered, ticket);
    if (!m_unreachableSince || ticket < m_silentFrom)
        return;
    m_unreachableSince.reset();
    m_silenceCause.clear();
    Q_EMIT unreachableSinceChanged();
}

void ServiceReachability::noteNoAnswer(quint64 ticket, const QDateTime &at, const QString &cause)
{
    if (ticket < m_latestAnswered)
        return;
    if (m_unreachableSince) {
        if (cause != m_silenceCause) {
            m_silenceCause = cause;
            Q_EMIT unreachableSinceChanged();
        }
        return;
    }
    m_unreachableSince = at;
    m_silentFrom = ticket;
    m_silenceCause = cause;
    Q_EMIT unreachableSinceChanged();
}

} // namespace quillmere
