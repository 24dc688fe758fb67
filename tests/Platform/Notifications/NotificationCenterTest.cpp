#include "Platform/Notifications/NotificationCenter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <memory>
#include <thread>

using namespace quillmere;
using quillmere::test::drainEvents;
using quillmere::test::runUntil;
using Delivery = NotificationCenter::Delivery;

TEST(NotificationCenter, DeliversByNameDirectlyOrLaterOnTheMainThread)
{
    NotificationCenter center;
    QObject context;
    int direct = 0;
    int queued = 0;
    int other = 0;
    QThread *queuedOn = nullptr;
    center.observe(QStringLiteral("a"), &context, [&] { ++direct; }, Delivery::direct);
    center.observe(QStringLiteral("a"), &context, [&] { ++queued; queuedOn = QThread::currentThread(); });
    center.observe(QStringLiteral("b"), &context, [&] { ++other; }, Delivery::direct);

    center.post(QStringLiteral("a"));
    EXPECT_EQ(direct, 1);
    EXPECT_EQ(queued, 0) << "main-queue observers are called on a later turn";
    drainEvents();
    EXPECT_EQ(queued, 1);
    EXPECT_EQ(other, 0);

    // Posted from another thread: the main-queue observer still runs on the main thread.
    std::thread poster([&center] { center.post(QStringLiteral("a")); });
    poster.join();
    ASSERT_TRUE(runUntil([&] { return queued == 2; }));
    EXPECT_EQ(queuedOn, QThread::currentThread());
    EXPECT_EQ(direct, 2);
}

TEST(NotificationCenter, NothingReachesAnObserverWhoseContextIsGone)
{
    NotificationCenter center;
    int calls = 0;
    auto context = std::make_unique<QObject>();
    center.observe(QStringLiteral("a"), context.get(), [&] { ++calls; });
    center.observe(QStringLiteral("a"), context.get(), [&] { ++calls; }, Delivery::direct);
    EXPECT_EQ(center.observerCount(), 2u);

    center.post(QStringLiteral("a"));
    EXPECT_EQ(calls, 1);
    context.reset(); // the queued delivery is now pending for a dead observer
    drainEvents();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(center.observerCount(), 0u);
    center.post(QStringLiteral("a"));
    drainEvents();
    EXPECT_EQ(calls, 1);

    QObject kept;
    const auto id = center.observe(QStringLiteral("a"), &kept, [&] { ++calls; }, Delivery::direct);
    center.removeObserver(id);
    center.post(QStringLiteral("a"));
    EXPECT_EQ(calls, 1);

    // An observer may remove itself while it is being called.
    NotificationCenter::ObserverID self = 0;
    self = center.observe(QStringLiteral("b"), &kept, [&] {
        ++calls;
        center.removeObserver(self);
    }, Delivery::direct);
    center.post(QStringLiteral("b"));
    center.post(QStringLiteral("b"));
    EXPECT_EQ(calls, 2);
}
