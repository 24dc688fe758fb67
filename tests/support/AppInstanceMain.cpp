// A quillmere instance whose secrets live in memory, seeded from a file: the program tests and
// the idle benchmark run it, so that processes which are killed and started again never share
// (or disturb) a keyring with other tests.
//   quillmere_test_instance --secrets FILE [--keep-secrets] [--multipart-threshold BYTES]
//                           [--commit-group-window MS] [--pool-work-on-quit MS]
//                           [--slow-teardown MS] [--stall-on-usr1 MS] [arguments of quillmere]
// FILE holds the vault item as KeychainVault::encode writes it; with --keep-secrets every write
// to the item is written back to FILE at once, as a keyring keeps it for the next start (a
// process that ends without its teardown keeps what was written before); files of BYTES or more go in
// parts (a kill can then find a multipart upload under way without a file of hundreds of MB);
// the lanes keep their outcomes uncommitted for MS milliseconds, however many gather (a kill
// then surely falls inside the group's window); the application object takes MS milliseconds
// to go away with --slow-teardown (as a desktop's tray host or display that is slow to let go);
// with --stall-on-usr1 the main thread is busy for MS milliseconds once the loop reads a SIGUSR1
// (as it is with a long save), so a quit signalled meanwhile waits for it.

#include "Accounts/KeychainVault.h"
#include "App/Program.h"
#include "Lane/SyncLane.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Secrets/InMemorySecretBackend.h"

#include <QApplication>
#include <QFile>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QThread>
#include <QThreadPool>

#include <cerrno>
#include <csignal>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Holds the application object's destruction for a while.
class SlowToLetGo : public QObject
{
public:
    SlowToLetGo(QObject *parent, unsigned long milliseconds) : QObject(parent), m_milliseconds(milliseconds) {}
    ~SlowToLetGo() override { QThread::msleep(m_milliseconds); }

private:
    unsigned long m_milliseconds;
};

// SIGUSR1 as a stall of the main thread: the handler writes a byte to a pipe, and the loop,
// once it reads it, sleeps for the given time.
int stallPipe[2] = {-1, -1};

void onStallSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(stallPipe[1], &byte, 1);
    errno = saved;
}

bool stallOnUserSignal(QObject *parent, unsigned long milliseconds)
{
    if (::pipe2(stallPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onStallSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGUSR1, &action, nullptr) != 0)
        return false;
    auto *notifier = new QSocketNotifier(stallPipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, [milliseconds] {
        char byte = 0;
        while (::read(stallPipe[0], &byte, 1) == 1) {
        }
        QThread::msleep(milliseconds);
    });
    return true;
}

// The item in memory, and in a file after every change.
class KeptSecretBackend : public quillmere::InMemorySecretBackend
{
public:
    explicit KeptSecretBackend(QString path) : m_path(std::move(path)) {}

    Result store(const QString &service, const QString &account, const QByteArray &value) override
    {
        Result result = InMemorySecretBackend::store(service, account, value);
        keep(service, account);
        return result;
    }
    Result remove(const QString &service, const QString &account) override
    {
        Result result = InMemorySecretBackend::remove(service, account);
        keep(service, account);
        return result;
    }

private:
    void keep(const QString &service, const QString &account)
    {
        if (m_path.isEmpty())
            return;
        std::lock_guard lock(m_mutex);
        QSaveFile file(m_path);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(item(service, account).value_or(QByteArray()));
            file.commit();
        }
    }

    QString m_path;
    std::mutex m_mutex;
};

} // namespace

int main(int argc, char **argv)
{
    quillmere::prepareStandardStreams();
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const qsizetype secrets = arguments.indexOf(QStringLiteral("--secrets"));
    const bool keepSecrets = arguments.contains(QStringLiteral("--keep-secrets"));
    KeptSecretBackend backend(keepSecrets && secrets > 0 && secrets + 1 < arguments.size() ? arguments[secrets + 1]
                                                                                          : QString());
    // --pool-work-on-quit MS: when the loop ends, work that ignores every stop runs on the
    // global pool for MS milliseconds (what a quit must not wait for).
    const qsizetype poolWork = arguments.indexOf(QStringLiteral("--pool-work-on-quit"));
    if (poolWork > 0 && poolWork + 1 < arguments.size()) {
        const unsigned long milliseconds = arguments[poolWork + 1].toULong();
        QObject::connect(&application, &QCoreApplication::aboutToQuit, [milliseconds] {
            QThreadPool::globalInstance()->start([milliseconds] { QThread::msleep(milliseconds); });
        });
    }
    const qsizetype slowTeardown = arguments.indexOf(QStringLiteral("--slow-teardown"));
    if (slowTeardown > 0 && slowTeardown + 1 < arguments.size())
        new SlowToLetGo(&application, arguments[slowTeardown + 1].toULong());
    const qsizetype stall = arguments.indexOf(QStringLiteral("--stall-on-usr1"));
    if (stall > 0 && stall + 1 < arguments.size() && !stallOnUserSignal(&application, arguments[stall + 1].toULong()))
        return 2;
    if (secrets > 0 && secrets + 1 < arguments.size()) {
        QFile file(arguments[secrets + 1]);
        if (!file.open(QIODevice::ReadOnly))
            return 2;
        // An empty file is a keyring without the item (a kept removal).
        if (const QByteArray item = file.readAll(); !item.isEmpty())
            backend.putItem(quillmere::bundleIdentifier(), quillmere::KeychainVault::vaultAccount(), item);
    }
    quillmere::QuillmereAppOptions options;
    options.secretBackend = &backend;
    const qsizetype threshold = arguments.indexOf(QStringLiteral("--multipart-threshold"));
    if (threshold > 0 && threshold + 1 < arguments.size()) {
        bool valid = false;
        const qint64 bytes = arguments[threshold + 1].toLongLong(&valid);
        if (!valid || bytes <= 0)
            return 2;
        options.multipartThreshold = bytes;
    }
    const qsizetype window = arguments.indexOf(QStringLiteral("--commit-group-window"));
    if (window > 0 && window + 1 < arguments.size()) {
        bool valid = false;
        const qint64 milliseconds = arguments[window + 1].toLongLong(&valid);
        if (!valid || milliseconds <= 0)
            return 2;
        quillmere::SyncLane::setCommitGroupForTesting(std::chrono::milliseconds(milliseconds), 1 << 20);
    }
    return quillmere::runQuillmere(application, options);
}
