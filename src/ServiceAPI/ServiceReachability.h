#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

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

    // Each request takes a ticket when it is sent. What it learns counts only against
    // requests sent before it: an answer to a request older than the silence does not end it,
    // and a request older than the latest answered one does not begin one.
    quint64 ticket() { return ++m_lastTicket; }
    void noteAnswer(quint64 ticket);
    // `cause`: what to tell the user of the failure (a refused certificate), empty when the
    // silence itself says it all.
    void noteNoAnswer(quint64 ticket, const QDateTime &at, const QString &cause = QString());
    // The cause the latest request that got no answer named during the silence; empty otherwise.
    const QString &silenceCause() const { return m_silenceCause; }

Q_SIGNALS:
    void unreachableSinceChanged();

private:
    std::optional<QDateTime> m_unreachableSince;
    QString m_silenceCause;
    quint64 m_lastTicket = 0;
    quint64 m_latestAnswered = 0;
    quint64 m_silentFrom = 0;
};

} // namespace quillmere
