#include "Platform/Async/Background.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

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

void postResumption(QObject *target, std::coroutine_handle<> handle)
{
    QMetaObject::invokeMethod(target, [handle] { handle.resume(); }, Qt::QueuedConnection);
}

} // namespace quillmere::detail
