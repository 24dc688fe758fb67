#include "Platform/Http/NetworkManager.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QThread>

namespace quillmere {

QNetworkAccessManager &networkManager()
{
    Q_ASSERT(QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread());
    // Deliberately never deleted: replies still in flight at exit refer to it.
    static QNetworkAccessManager *const manager = [] {
        auto *m = new QNetworkAccessManager();
        m->setCache(nullptr);
        m->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        m->setTransferTimeout(0); // our own inactivity timer does this job
        return m;
    }();
    return *manager;
}

} // namespace quillmere
