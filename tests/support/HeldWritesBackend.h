#pragma once

#include "Platform/Secrets/InMemorySecretBackend.h"

#include <condition_variable>
#include <mutex>

namespace quillmere::test {

// A keyring whose writes wait while the test holds them, as one busy with another caller.
class HeldWritesBackend : public InMemorySecretBackend
{
public:
    Result store(const QString &service, const QString &account, const QByteArray &value) override
    {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        m_changed.wait(lock, [this] { return !m_held; });
        --m_waiting;
        lock.unlock();
        return InMemorySecretBackend::store(service, account, value);
    }
    void hold(bool held)
    {
        {
            std::lock_guard lock(m_mutex);
            m_held = held;
        }
        m_changed.notify_all();
    }
    int waiting()
    {
        std::lock_guard lock(m_mutex);
        return m_waiting;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = false;
    int m_waiting = 0;
};

} // namespace quillmere::test
