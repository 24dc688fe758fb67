#pragma once

#include "Platform/Workspace/RunningApplications.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>

#include <unistd.h>

namespace quillmere::test {

// A /proc of plain files and symlinks, desktop entries and programs, all in one temporary folder.
class FakeSystem
{
public:
    QString path(const QString &relative) const { return dir.path() + u'/' + relative; }

    // An executable file in the search path; returns its canonical path.
    QString program(const QString &name)
    {
        const QString file = path(QStringLiteral("bin/") + name);
        writeFile(file, "#!/bin/sh\n");
        QFile::setPermissions(file, QFile::permissions(file) | QFile::ExeOwner);
        return QFileInfo(file).canonicalFilePath();
    }

    void entry(const QString &relative, const QByteArray &body)
    {
        writeFile(path(QStringLiteral("data/applications/") + relative), "[Desktop Entry]\nType=Application\n" + body);
    }

    void process(int pid, const QString &exe, char state = 'S', const QByteArray &environ = {}, unsigned long flags = 0)
    {
        const QString folder = path(QStringLiteral("proc/%1").arg(pid));
        QDir().mkpath(folder);
        // A command with spaces and parentheses, as /proc shows it.
        writeFile(folder + QStringLiteral("/stat"), QByteArray::number(pid) + " (odd (name) x) " + state + " 1 1 1 0 -1 "
                                                        + QByteArray::number(qulonglong(flags))
                                                        + " 0 0 0 0 0 0 0 0 20 0 1 0 4242 0 0\n");
        writeFile(folder + QStringLiteral("/environ"), environ);
        QFile::remove(folder + QStringLiteral("/exe"));
        QFile::link(exe, folder + QStringLiteral("/exe"));
    }

    // The process's arguments as /proc shows them (each ended by a NUL), and its working folder.
    void commandLine(int pid, const QStringList &arguments, const QString &workingFolder = {})
    {
        const QString folder = path(QStringLiteral("proc/%1").arg(pid));
        QByteArray line;
        for (const QString &argument : arguments)
            line += QFile::encodeName(argument) + '\0';
        writeFile(folder + QStringLiteral("/cmdline"), line);
        if (!workingFolder.isEmpty())
            QFile::link(workingFolder, folder + QStringLiteral("/cwd"));
    }

    void end(int pid) { QDir(path(QStringLiteral("proc/%1").arg(pid))).removeRecursively(); }

    ProcessRoots roots(uid_t uid = ::geteuid()) const
    {
        return {path(QStringLiteral("proc")), {path(QStringLiteral("data"))}, uid, QStringLiteral("de_DE.UTF-8"),
                {path(QStringLiteral("bin"))}};
    }

    QTemporaryDir dir;
};

inline QByteArray environment(const QList<QByteArray> &variables)
{
    return variables.join('\0') + '\0';
}

} // namespace quillmere::test
