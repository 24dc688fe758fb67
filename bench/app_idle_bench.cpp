// The whole application, idle after its first sync: 3 folders with 100,000 tracked files in all
// (small files, already in the library, so the first sync only links them), the service the
// in-process fake on loopback. The application runs as its own process (the test instance:
// the quillmere program with its secrets in memory), so its figures are its own: the time from
// start to its first window, CPU over 60 s of idle (goal < 0.2% of one core), its resident
// memory (goal < 50 MB per 100,000 tracked files) and its peak over the first sync, the link
// and each folder's first catch-up of the feed (goal <= 132 MB at 100,000 files).
// Then it starts the application again on that store and prints the restart's peak memory:
// the second full sync of every folder, with every file tracked.
// Usage: app_idle_bench [files] [idle seconds]   (default 100000 60)
// QUILLMERE_BENCH_INSTANCE names another build's test instance to run instead of this one's
// (to set two builds side by side with the same figures).

#include "Accounts/KeychainVault.h"
#include "Accounts/LinkedAccount.h"
#include "Accounts/TokenData.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Platform/Files/FolderBookmark.h"
#include "fake-service/FakeHarborly.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace quillmere;

namespace {

// utime + stime of a process in seconds.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which is in parentheses and may hold spaces.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

long statusKiB(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qsizetype(strlen(field))).trimmed().split(' ').value(0).toLong();
    return 0;
}

QString folderUUID(const SyncFolder &folder)
{
    return folder.stableID().toString(QUuid::WithoutBraces).toUpper();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 60;
    QTemporaryDir root;
    for (const char *name : {"config", "data/Quillmere", "cache", "run"})
        QDir(root.path()).mkpath(QString::fromLatin1(name));
    QFile::setPermissions(root.filePath(QStringLiteral("run")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString storePath = root.filePath(QStringLiteral("data/Quillmere/Quillmere.sqlite"));

    test::FakeHarborly fake;
    fake.start();
    const qint64 account = fake.addAccount();
    const QDateTime expiry = QDateTime::currentDateTimeUtc().addDays(30);
    const QString token = fake.issueToken(account, expiry);

    // Three folders, the files in sub-folders of 1,000, each file also in the library.
    QElapsedTimer preparing;
    preparing.start();
    KeychainVault::Dictionary secrets{{KeychainVault::bearerTokenKey(), TokenData{token, expiry}.encoded()}};
    {
        ModelContext context(ModelContainerFactory::makeContainer(storePath));
        for (int f = 0; f < 3; ++f) {
            const QString path = root.filePath(QStringLiteral("Folder %1").arg(f + 1));
            auto folder = context.insert(std::make_shared<SyncFolder>(
                QStringLiteral("Folder %1").arg(f + 1), SyncFolderType::projectsFolder, path, QStringList(),
                SyncFolderSyncMode::bidirectional, true, f, true, std::nullopt, true,
                std::vector<std::shared_ptr<DAWConfiguration>>()));
            QDir().mkpath(path);
            secrets[KeychainVault::folderBookmarkKey(folder->stableID())] = FolderBookmark::make(path);
            for (int i = f; i < files; i += 3) {
                const QString session = QStringLiteral("Session %1").arg(i / 3000, 3, 10, QLatin1Char('0'));
                QDir().mkpath(path + u'/' + session);
                const QString name = QStringLiteral("Take_%1.wav").arg(i);
                const QByteArray content = "RIFF take " + QByteArray::number(i);
                QFile file(path + u'/' + session + u'/' + name);
                if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
                    return 1;
                test::FakeLibraryFile remote;
                remote.accountId = account;
                remote.filename = name;
                remote.folderType = QStringLiteral("drive");
                remote.syncFolderUUID = folderUUID(*folder);
                remote.drivePath = session;
                remote.content = content;
                fake.addFile(remote);
            }
        }
        context.save();
    }
    QFile secretsFile(root.filePath(QStringLiteral("secrets")));
    if (!secretsFile.open(QIODevice::WriteOnly) || secretsFile.write(KeychainVault::encode(secrets)) <= 0)
        return 1;
    secretsFile.close();
    qputenv("XDG_CONFIG_HOME", root.filePath(QStringLiteral("config")).toUtf8());
    LinkedAccount::setID(account);
    std::printf("prepared %d files in 3 folders in %.1f s\n", files, preparing.elapsed() / 1000.0);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), root.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), root.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root.filePath(QStringLiteral("run")));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QUILLMERE_BASE_URL"), fake.baseURL().toString());
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.info=false;app.quillmere.Quillmere.App.info=true"));
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
    const QString program = qEnvironmentVariableIsSet("QUILLMERE_BENCH_INSTANCE")
                                ? qEnvironmentVariable("QUILLMERE_BENCH_INSTANCE")
                                : QStringLiteral(QUILLMERE_TEST_INSTANCE);
    auto listings = [&] { return fake.requestsTo("GET", "/api/v1/files/library").size(); };
    // The first sync ends with each folder's first catch-up of the change feed (its first
    // tick comes a minute after the folder's start, and names every file once).
    auto feeds = [&] { return fake.requestsTo("GET", "/api/v1/files/library/changes").size(); };
    // Every folder listed and its feed caught up once more, then quiet (under 1% of a core).
    // A pass may wait a few seconds between its steps (a settle time, a priority wait): quiet
    // means three windows of 5 s in a row. False when the application ended.
    auto awaitSync = [&](QProcess &process, QByteArray &log) {
        const qint64 pid = process.processId();
        const auto listed = listings() + 3;
        const auto fed = feeds() + 3;
        while ((listings() < listed || feeds() < fed) && process.state() == QProcess::Running) {
            process.waitForReadyRead(200);
            log += process.readAll();
        }
        for (int quiet = 0; quiet < 3;) {
            const double before = cpuSeconds(pid);
            QThread::sleep(5);
            process.readAll();
            if (process.state() != QProcess::Running)
                break;
            const double busy = (cpuSeconds(pid) - before) / 5.0;
            quiet = busy < 0.01 ? quiet + 1 : 0;
        }
        if (process.state() == QProcess::Running)
            return true;
        std::printf("the application ended early:\n%s\n", log.constData());
        return false;
    };

    QProcess instance;
    instance.setProcessEnvironment(environment);
    instance.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer sinceStart;
    sinceStart.start();
    instance.start(program, {QStringLiteral("--secrets"), secretsFile.fileName()});
    if (!instance.waitForStarted(10000))
        return 1;
    const qint64 pid = instance.processId();

    qint64 firstWindow = -1;
    QByteArray log;
    while (firstWindow < 0 && instance.state() == QProcess::Running && sinceStart.elapsed() < 30000) {
        instance.waitForReadyRead(50);
        log += instance.readAll();
        if (log.contains("First window on screen"))
            firstWindow = sinceStart.elapsed();
    }
    std::printf("start to first window: %lld ms (process start to its log line)\n", firstWindow);

    // The first sync: every folder listed, then quiet.
    QElapsedTimer firstSync;
    firstSync.start();
    if (!awaitSync(instance, log))
        return 1;
    std::printf("first sync (listing, scan, hashing, linking, the feed's first catch-up) done, quiet for 15 s, after %.1f s\n", firstSync.elapsed() / 1000.0);

    const long rssAfterSync = statusKiB(pid, "VmRSS:");
    const double cpuBefore = cpuSeconds(pid);
    QElapsedTimer idle;
    idle.start();
    QThread::sleep(unsigned(idleSeconds));
    const double cpu = cpuSeconds(pid) - cpuBefore;
    const double seconds = idle.elapsed() / 1000.0;
    std::printf("idle CPU over %.0f s: %.3f s = %.3f%% of one core (goal < 0.2%%)\n", seconds, cpu,
                100.0 * cpu / seconds);
    std::printf("resident memory: %.1f MB after the first sync, %.1f MB now (goal < %.0f MB for %d tracked files); "
                "peak %.1f MB, the link and the feed's first catch-up (goal <= 132 MB at 100,000 files)\n",
                rssAfterSync / 1024.0, statusKiB(pid, "VmRSS:") / 1024.0, 50.0 * files / 100000.0, files,
                statusKiB(pid, "VmHWM:") / 1024.0);
    const auto requests = fake.requestLog().size();
    std::printf("service requests in all: %zu\n", requests);

    instance.terminate();
    instance.waitForFinished(5000);

    // A restart on that store: every folder's full sync finds every file tracked.
    QProcess restarted;
    restarted.setProcessEnvironment(environment);
    restarted.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer restart;
    restart.start();
    restarted.start(program, {QStringLiteral("--secrets"), secretsFile.fileName()});
    if (!restarted.waitForStarted(10000))
        return 1;
    QByteArray restartLog;
    if (!awaitSync(restarted, restartLog))
        return 1;
    std::printf("restart: full sync done, quiet for 15 s, after %.1f s; resident memory %.1f MB, peak %.1f MB\n",
                restart.elapsed() / 1000.0, statusKiB(restarted.processId(), "VmRSS:") / 1024.0,
                statusKiB(restarted.processId(), "VmHWM:") / 1024.0);
    restarted.terminate();
    restarted.waitForFinished(5000);
    ModelContext context(ModelContainerFactory::makeContainer(storePath));
    const auto records = context.fetch(FetchDescriptor<SyncFile>());
    const auto synced = std::count_if(records.begin(), records.end(), [](const auto &record) {
        return record->syncStatus() == SyncFileStatus::synced;
    });
    std::printf("tracked files after the run: %zu, synced %ld\n", records.size(), long(synced));
    return 0;
}
