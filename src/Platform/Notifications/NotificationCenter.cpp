#include "Platform/Notifications/NotificationCenter.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <vector>

namespace quillmere {

const QString &NotificationName::quillmereAuthRevoked()
{
    static const QString name = QStringLiteral("quillmereAuthRevoked");
    return name;
}

NotificationCenter &NotificationCenter::defaultCenter()
{
    // Never destroyed: posts may come from threads that outlive static destruction.
    static auto *center = new NotificationCenter;
    return *center;
}

NotificationCenter::~NotificationCenter()
{
    std::lock_guard guard(m_lock);
    for (auto &[id, observer] : m_observers) {
        observer->active = false;
        QObject::disconnect(observer->contextDestroyed);
    }
}

NotificationCenter::ObserverID NotificationCenter::observe(const QString &name, QObject *context, Callback callback,
                                                           Delivery delivery)
{
    Q_ASSERT(context);
    auto observer = std::make_shared<Observer>();
    observer->name = name;
    observer->callback = std::move(callback);
    observer->delivery = delivery;

    ObserverID id;
    {
        std::lock_guard guard(m_lock);
        id = m_nextID++;
        m_observers.emplace(id, observer);
    }
    // Direct: the flag must be down before the context's members go, whichever thread posts.
    observer->contextDestroyed = QObject::connect(context, &QObject::destroyed, [this, id] { removeObserver(id); });
    return id;
}

std::shared_ptr<NotificationCenter::Observer> NotificationCenter::take(ObserverID id)
{
    std::lock_guard guard(m_lock);
    const auto found = m_observers.find(id);
    if (found == m_observers.end())
        return nullptr;
    auto observer = std::move(found->second);
    m_observers.erase(found);
    return observer;
}

void NotificationCenter::removeObserver(ObserverID id)
{
    if (auto observer = take(id)) {
        observer->active = false;
        QObject::disconnect(observer->contextDestroyed);
    }
}

void NotificationCenter::post(const QString &name)
{
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard guard(m_lock);
        for (const auto &[id, observer] : m_observers) {
            if (observer->name == name)
                matching.push_back(observer);
        }
    }
    // Callbacks run without the lock, so they may observe, remove or post themselves.
    for (const auto &observer : matching) {
        if (observer->delivery == Delivery::direct) {
            if (observer->active)
                observer->callback();
            continue;
        }
        auto *application = QCoreApplication::instance();
        if (!application)
            continue;
        auto deliver = [observer] {
            if (observer->active)
                observer->callback();
        };
        QMetaObject::invokeMethod(application, std::move(deliver), Qt::QueuedConnection);
    }
}

std::size_t NotificationCenter::observerCount() const
{
    std::lock_guard guard(m_lock);
    return m_observers.size();
}

} // namespace quillmere
