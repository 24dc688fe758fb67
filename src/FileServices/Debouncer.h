#pragma once

#include "Platform/Async/Clock.h"
#include "Platform/Async/TaskHandle.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <QCoroTask>

#include <functional>
#include <map>

namespace quillmere {

// Merges bursts of path sets per key and runs an action once a key has been quiet for its
// delay: one run per burst, with the union of the burst's payloads and the action of its
// last call. Lives on the main thread; keys never affect each other.
class Debouncer : public QObject
{
    Q_OBJECT

public:
    using Action = std::function<QCoro::Task<>(QSet<QString>)>;

    explicit Debouncer(Clock &clock, QObject *parent = nullptr);
    ~Debouncer() override;

    // Adds the payload to the key's pending set and restarts its quiet period. Returns at once.
    void debounce(const QString &key, Clock::Duration delay, QSet<QString> payload, Action action);

    // Drops every pending delivery; an action already running is left to finish.
    void cancelAll();

    bool isPending(const QString &key) const { return m_timers.count(key) != 0; }

private:
    QCoro::Task<> waitAndDeliver(QString key, Clock::Duration delay, Action action, std::stop_token stop);

    Clock &m_clock;
    std::map<QString, TaskHandle> m_timers;
    QHash<QString, QSet<QString>> m_pendingPayloads;
};

} // namespace quillmere
