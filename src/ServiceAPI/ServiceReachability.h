#pragma once

#include <QDateTime>
#include <QObject>

#include <optional>

namespace quillmere {

// Whether the service answers: every request of the transport that got a reply (any status)
// counts as an answer, every one that got none (time-out, no route, refused connection, a
// dropped or failed secure connection) as silence. Since when it has been silent is what the
// panel shows during an outage; the first answer ends it. Main thread.
class ServiceReachability : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Since the first request that got no answer after the last one that did; none while the
    // last request was answered (or none was sent yet).
    const std::optional<QDateTime> &unreachableSince() const { return m_unreachableSince; }

    void noteAnswer();
    void noteNoAnswer(const QDateTime &at);

Q_SIGNALS:
    void unreachableSinceChanged();

private:
    std::optional<QDateTime> m_unreachableSince;
};

} // namespace quillmere
