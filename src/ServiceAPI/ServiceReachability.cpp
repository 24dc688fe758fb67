#include "ServiceAPI/ServiceReachability.h"

namespace quillmere {

void ServiceReachability::noteAnswer()
{
    if (!m_unreachableSince)
        return;
    m_unreachableSince.reset();
    Q_EMIT unreachableSinceChanged();
}

void ServiceReachability::noteNoAnswer(const QDateTime &at)
{
    if (m_unreachableSince)
        return;
    m_unreachableSince = at;
    Q_EMIT unreachableSinceChanged();
}

} // namespace quillmere
