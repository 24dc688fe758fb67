#include "Platform/Async/NextTurn.h"

#include <QAbstractEventDispatcher>
#include <QMetaObject>
#include <QThread>

namespace quillmere {

void NextTurn::await_suspend(std::coroutine_handle<> handle) const
{
    // The thread's dispatcher is a QObject of that thread: a queued call on it runs there.
    auto *dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread());
    QMetaObject::invokeMethod(dispatcher, [handle]() { handle.resume(); }, Qt::QueuedConnection);
}

} // namespace quillmere
