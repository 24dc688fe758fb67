#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace quillmere {

// Names posted through the notification centre, each made once.
namespace NotificationName {
// Posted by the authorised transport when the account's authorisation cannot be renewed.
const QString &quillmereAuthRevoked();
} // namespace NotificationName

// An in-process broadcast of named events without payload. Any thread may post; observers
// choose to be called at once on the posting thread or later on the main thread. An observer
// lives as long as its context object: once the context is destroyed nothing more reaches the
// callback, not even a delivery already queued.
class NotificationCenter
{
public:
    enum class Delivery { mainQueue, direct };
    using ObserverID = std::uint64_t;
    using Callback = std::function<void()>;

    // The process's centre.
    static NotificationCenter &defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter &) = delete;
    NotificationCenter &operator=(const NotificationCenter &) = delete;
    ~NotificationCenter();

    // context must not be null. Call on the thread the context lives on.
    ObserverID observe(const QString &name, QObject *context, Callback callback,
                       Delivery delivery = Delivery::mainQueue);
    void removeObserver(ObserverID id);

    void post(const QString &name);

    std::size_t observerCount() const;

private:
    struct Observer
    {
        QString name;
        Callback callback;
        Delivery delivery;
        std::atomic<bool> active{true};
        QMetaObject::Connection contextDestroyed;
    };

    std::shared_ptr<Observer> take(ObserverID id);

    mutable std::mutex m_lock;
    std::map<ObserverID, std::shared_ptr<Observer>> m_observers;
    ObserverID m_nextID = 1;
};

} // namespace quillmere
