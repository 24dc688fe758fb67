// The quillmere program's run: one instance per user. A later start hands its argument (a sign-in
// callback from the browser) or a request to show the window to the running instance and ends.

#include "App/Program.h"

#include "Accounts/KeychainVault.h"
#include "Accounts/TokenManager.h"
#include "App/QuillmereApp.h"
#include "App/QuitSignals.h"
#include "Platform/Async/Background.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Memory/FreedMemory.h"
#include "Platform/WebAuth/CallbackRouter.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QTextStream>
#include <QThread>
#include <QThreadPool>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace {

using quillmere::CallbackRouter;
using quillmere::QuillmereApp;

// The first argument that is an address with a scheme (the desktop entry passes %u), else a
// request to show the running instance's window.
QString forwardedAddress(const QStringList &arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QUrl url(arguments[i], QUrl::StrictMode);
        if (url.isValid() && !url.scheme().isEmpty() && url.scheme().size() > 1)
            return arguments[i];
    }
    return QuillmereApp::showRequest().toString();
}

int forwardToRunningInstance(QApplication &application, const CallbackRouter &router)
{
    int exitCode = 1;
    const QString address = forwardedAddress(QCoreApplication::arguments());
    const QString endpoint = router.endpoint();
    // On the first turn of the loop, so that its exit() always finds the loop running.
    auto forwarding = quillmere::TaskHandle::startSoon([&](std::stop_token) -> QCoro::Task<> {
        auto sending = CallbackRouter::forward(address, endpoint);
        const bool taken = co_await std::move(sending);
        if (taken) {
            exitCode = 0;
        } else {
            QTextStream(stderr) << "Quillmere is already running and did not take " << QUrl(address).scheme()
                                << " address.\n";
        }
        application.exit(exitCode);
    });
    application.exec();
    return exitCode;
}

// Whether a pool still runs work: its destruction at exit would wait for it. A vault whose
// worker the keyring held past the quit's bound was left with it.
bool poolsBusy()
{
    return QThreadPool::globalInstance()->activeThreadCount() > 0
        || quillmere::HttpClient::transferPool().activeThreadCount() > 0 || quillmere::KeychainVault::leftWorkers() > 0;
}

// Turns the loop until every hop to a pool is back and no renewal of the token runs any more (its
// answer is in the vault then), or until `deadline`; whether both ended. A renewal the service
// answers within the quit's bound is stored, instead of leaving a retired token and its mark.
bool settleBy(QDeadlineTimer deadline)
{
    for (;;) {
        const bool hopsBack =
            quillmere::settlePoolHops(std::chrono::milliseconds(std::max<qint64>(0, deadline.remainingTime())));
        if (hopsBack && quillmere::TokenManager::renewalsUnderWay() == 0)
            return true;
        if (deadline.hasExpired())
            return false;
        // A renewal between two hops waits for the vault, whose answer comes as a posted call.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

void tellUser(const QString &message)
{
    QTextStream(stderr) << message << '\n';
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        QMessageBox::critical(nullptr, QStringLiteral("Quillmere"), message);
}

} // namespace

namespace quillmere {

void prepareStandardStreams()
{
    std::signal(SIGPIPE, SIG_IGN);
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number, which is this one while the ones below are open.
        const int opened = ::open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened > descriptor) {
            ::dup2(opened, descriptor);
            ::close(opened);
        }
    }
}

int runQuillmere(QApplication &application, QuillmereAppOptions options)
{
    limitHeapArenas(4);
    keepLargeBlocksApart(2 * 1024 * 1024);
    QCoreApplication::setApplicationName(QStringLiteral("Quillmere"));
    QGuiApplication::setDesktopFileName(QStringLiteral("quillmere"));
    // The tray keeps the application: closing the window leaves it running.
    QApplication::setQuitOnLastWindowClosed(false);

    CallbackRouter router;
    switch (router.claim()) {
    case CallbackRouter::Claim::secondary:
        return forwardToRunningInstance(application, router);
    case CallbackRouter::Claim::failed:
        tellUser(QStringLiteral("Quillmere could not make sure that it runs only once (%1 cannot be used).")
                     .arg(router.endpoint()));
        return 1;
    case CallbackRouter::Claim::primary:
        break;
    }

    QuitSignals quitSignals;
    // Whatever the main thread is doing when a quit is requested or later (a long save, the
    // parts' destructors, the application object's and the desktop's own teardown, exit
    // handlers), the process ends by the quit's deadline, with the status of a quit that ends in
    // time. What the store has not committed by then is left out whole, and the program takes up
    // whatever a kill leaves at its next start.
    quitSignals.endQuitsWithin(QuillmereApp::quitTimeout - QuillmereApp::endMargin, 0);
    options.router = &router;
    int exitCode = 1;
    QDeadlineTimer quitDeadline(QDeadlineTimer::Forever);
    bool started = false;
    {
        QuillmereApp quillmere(options);
        if (const auto failure = quillmere.initialise()) {
            tellUser(*failure);
        } else {
            started = true;
            QObject::connect(&quitSignals, &QuitSignals::quitRequested, &quillmere,
                             [&quillmere](int, std::chrono::steady_clock::time_point arrivedAt) {
                                 quillmere.requestQuit(arrivedAt);
                             });
            QObject::connect(&quillmere, &QuillmereApp::quitStarted, &quitSignals,
                             [&quitSignals](QDeadlineTimer deadline) { quitSignals.quitUnderWay(deadline); });
            exitCode = application.exec();
            if (quillmere.isQuitting())
                quitDeadline = quillmere.quitDeadline();
        }
    }
    if (!started) {
        // Work the parts queued for the loop's first turn was stopped with them; that turn never
        // came, so their resumptions run now, end at once and free what they hold.
        QCoreApplication::sendPostedEvents();
        return 1;
    }
    // Requests still on a worker when the application went away were cancelled with it; they
    // end once they are back, and only then is what they held freed. A renewal still at the
    // service runs on, and is stored if it is answered in time. A quit keeps its bound:
    // the store is closed and the vault written by now, so work that outlasts it (a pool
    // waits for its threads when it is destroyed) ends with the process instead.
    const bool settled =
        settleBy(quitDeadline.isForever() ? QDeadlineTimer(std::chrono::milliseconds(2000)) : quitDeadline);
    if (!quitDeadline.isForever() && (!settled || poolsBusy())) {
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    return exitCode;
}

} // namespace quillmere
