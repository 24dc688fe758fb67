#pragma once

#include "fake-service/FakeHarborly.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <memory>

#include <signal.h>

namespace quillmere::test {

// Private folders for one run of the program: settings, data, cache and the runtime folder
// (where the instance lock and socket live), and a fake service of its own.
class ProgramEnvironment
{
public:
    ProgramEnvironment()
    {
        for (const char *name : {"config", "data", "cache", "run"})
            QDir(m_root.path()).mkpath(QString::fromLatin1(name));
        QFile::setPermissions(path("run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        m_fake.start();
    }

    QString path(const char *name) const { return m_root.filePath(QString::fromLatin1(name)); }
    QString endpoint() const { return path("run") + QStringLiteral("/app.quillmere.Quillmere.socket"); }
    QString storePath() const { return path("data") + QStringLiteral("/Quillmere/Quillmere.sqlite"); }

    quillmere::test::FakeHarborly &fake() { return m_fake; }

    // `quiet`: the program's log is dropped rather than passed on.
    std::unique_ptr<QProcess> start(const QString &program, const QStringList &arguments, bool quiet = false) const
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment());
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (quiet)
            process->setStandardErrorFile(QProcess::nullDevice());
        process->start(program, arguments);
        EXPECT_TRUE(process->waitForStarted(5000));
        return process;
    }

    // What start() runs the program in.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), path("config"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), path("data"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), path("cache"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), path("run"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("QUILLMERE_BASE_URL"), m_fake.baseURL().toString());
        // No session bus, so no keyring: never the user's own, and not the private one of
        // scripts/with-keyring either, which tests running beside this one change. The program
        // then finds its vault unreadable and waits for it; the test instance keeps its
        // secrets in memory.
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QStringLiteral("unix:path=") + path("run") + QStringLiteral("/no-bus"));
        return environment;
    }

    // Signals the running program; false once it has ended. An ended QProcess reports process
    // id 0, and kill(0, ...) would signal our whole process group, the test runner included.
    static bool signal(QProcess &process, int signalNumber)
    {
        const auto pid = pid_t(process.processId());
        return process.state() != QProcess::NotRunning && pid > 0 && ::kill(pid, signalNumber) == 0;
    }

    static bool finished(QProcess &process, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        return quillmere::test::runUntil([&] { return process.state() == QProcess::NotRunning; }, limit);
    }

private:
    QTemporaryDir m_root;
    quillmere::test::FakeHarborly m_fake;
};

} // namespace quillmere::test
