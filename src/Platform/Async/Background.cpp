#include "Platform/Async/Background.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <atomic>

namespace quillmere::detail {

bool onApplicationThread()
{
    const QCoreApplication *application = QCoreApplication::instance();
    return application && QThread::currentThread() == application->thread();
}

QObject *resumptionTarget()
{
    // Made on the application's thread (the only caller) and kept for the process.
    static QObject *const target = new QObject;
    return target;
}

namespace {
std::atomic<int> hopsOut{0};
} // namespace

void hopStarted()
{
    hopsOut.fetch_add(1, std::memory_order_relaxed);
}

void postResumption(QObject *target, std::coroutine_handle<> handle)
{
    QMetaObject::invokeMethod(
        target,
        [handle] {
            hopsOut.fetch_sub(1, std::memory_order_relaxed);
            handle.resume();
        },
        Qt::QueuedConnection);
}

} // namespace quillmere::detail

namespace quillmere {

bool settlePoolHops(std::chrono::milliseconds ceiling)
{
    const QDeadlineTimer deadline(ceiling);
    while (detail::hopsOut.load(std::memory_order_relaxed) > 0) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (detail::hopsOut.load(std::memory_order_relaxed) > 0)
            QThread::msleep(1);
    }
    return true;
}

} // namespace quillmere
