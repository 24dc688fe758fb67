#pragma once

#include <QByteArray>
#include <QTemporaryDir>
#include <QtGlobal>

namespace quillmere::test {

// Points XDG_CONFIG_HOME at a fresh folder for the life of the object.
class TemporaryConfigHome
{
public:
    TemporaryConfigHome() : m_previous(qgetenv("XDG_CONFIG_HOME")), m_hadPrevious(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
    {
        qputenv("XDG_CONFIG_HOME", m_dir.path().toUtf8());
    }
    ~TemporaryConfigHome()
    {
        if (m_hadPrevious)
            qputenv("XDG_CONFIG_HOME", m_previous);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

} // namespace quillmere::test
