#pragma once

#include "Platform/Async/Clock.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/Workspace/ApplicationEvents.h"

#include <QCoroTask>
#include <QHash>
#include <QList>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <stop_token>

namespace quillmere {

Q_DECLARE_LOGGING_CATEGORY(runningApplicationsLog)

// Where the processes and desktop entries are read; a test points them at a tree of its own.
struct ProcessRoots
{
    QString procRoot = QStringLiteral("/proc");
    // Folders whose "applications" subfolders hold desktop entries, most important first.
    QStringList dataDirs;
    // Processes whose /proc folder belongs to this user are the user's.
    uid_t uid = 0;
    // Picks Name[<locale>] of a desktop entry.
    QString locale;
    // Where a bare program name of an Exec line is looked up.
    QStringList searchPath;

    // The real /proc, the XDG data folders, this process's user, locale and PATH.
    static ProcessRoots currentUser();
};

class ProcessScanner;
struct ProcessScan;

// The user's running applications, one entry per application however many processes it has,
// named by bundle identifier (see ApplicationEvents). One object serves the whole application.
// Between start() and stop() it scans every two seconds on the injected clock and reports each
// application that appeared (launched) or whose last process is gone (terminated); the first
// scan after start() is the baseline and reports nothing. A process counts when it belongs to
// the user, is neither a kernel thread nor a zombie, and its executable can be read. /proc is
// read on the thread pool; the snapshot is replaced, and signals emitted, on the main thread.
class RunningApplications final : public ApplicationEvents
{
    Q_OBJECT

public:
    static constexpr std::chrono::seconds pollInterval{2};

    explicit RunningApplications(Clock &clock, ProcessRoots roots = ProcessRoots::currentUser(),
                                 QObject *parent = nullptr);
    ~RunningApplications() override;

    // Starts the poll; does nothing while it runs.
    void start();
    // Ends the poll: no scan and no signal follows until the next start().
    void stop();
    bool isStarted() const { return m_started; }

    // The applications of the latest scan, ordered by bundle identifier.
    QList<RunningApplication> snapshot() const { return m_snapshot; }
    bool isRunning(const QString &bundleIdentifier) const;
    // Answered from the latest scan; none before the first scan and while scans fail.
    std::optional<QList<RunningApplication>> runningApplicationsFor(const QString &profileIdentifier) const override;
    bool isRunningNamed(const QString &name) const;

    // Scans now and resolves once the result is in the snapshot (and reported, while started).
    QCoro::Task<> refreshNow(std::stop_token stop = {});

private:
    QCoro::Task<> pollLoop(std::stop_token stop);
    QCoro::Task<> scanAndApply(std::stop_token stop);
    void apply(const ProcessScan &scan);

    Clock &m_clock;
    std::shared_ptr<ProcessScanner> m_scanner;
    QList<RunningApplication> m_snapshot;
    // Every identifier an application of the snapshot answers to, its bundle identifier
    // included: the positions of those applications in the snapshot.
    QHash<QString, QList<qsizetype>> m_byIdentifier;
    bool m_hasScanned = false;
    // Scans may overlap (a refresh during a poll): an older result never replaces a newer one.
    quint64 m_appliedGeneration = 0;
    bool m_started = false;
    // Set by the baseline scan after start(); cleared by stop().
    bool m_reporting = false;
    bool m_lastScanFailed = false;
    int m_lastUnreadable = 0;
    TaskHandle m_poll;
};

} // namespace quillmere
