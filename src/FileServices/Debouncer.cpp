#include "FileServices/Debouncer.h"

namespace quillmere {

Debouncer::Debouncer(Clock &clock, QObject *parent) : QObject(parent), m_clock(clock)
{}

Debouncer::~Debouncer() = default;

void Debouncer::debounce(const QString &key, Clock::Duration delay, QSet<QString> payload, Action action)
{
    m_pendingPayloads[key].unite(payload);
    // Assigning over the key's handle cancels the wait it replaces.
    m_timers[key] = TaskHandle::start(
        [this, key, delay, action = std::move(action)](std::stop_token stop) -> QCoro::Task<> {
            return waitAndDeliver(key, delay, action, stop);
        });
}

void Debouncer::cancelAll()
{
    for (auto &[key, handle] : m_timers)
        handle.cancel();
    m_timers.clear();
    m_pendingPayloads.clear();
}

QCoro::Task<> Debouncer::waitAndDeliver(QString key, Clock::Duration delay, Action action,
                                        std::stop_token stop)
{
    const bool slept = co_await m_clock.sleepFor(delay, stop);
    // A stopped wait touches nothing: its key may already belong to a newer wait, and the
    // debouncer itself may be gone.
    if (!slept || stop.stop_requested())
        co_return;

    // Take the handle out of the table without stopping ourselves: only a wait can be
    // cancelled, never the delivery that follows it.
    TaskHandle self;
    if (auto it = m_timers.find(key); it != m_timers.end()) {
        self = std::move(it->second);
        m_timers.erase(it);
    }
    const QSet<QString> payload = m_pendingPayloads.take(key);
    co_await action(payload);
}

} // namespace quillmere
