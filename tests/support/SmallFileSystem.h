#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

namespace quillmere::test {

// A tmpfs of a few megabytes mounted on a temporary folder, so a test can fill a real disk.
// Mounting takes root (CI runs as root); mounted() says whether it worked, and why not.
class SmallFileSystem
{
public:
    explicit SmallFileSystem(const char *size = "8m")
    {
        if (!m_dir.isValid()) {
            m_why = "no temporary folder";
            return;
        }
        if (::geteuid() != 0) {
            m_why = "mounting a file system takes root";
            return;
        }
        const std::string options = std::string("size=") + size;
        if (::mount("tmpfs", m_dir.path().toLocal8Bit().constData(), "tmpfs", 0, options.c_str()) != 0) {
            m_why = std::string("mount: ") + std::strerror(errno);
            return;
        }
        m_mounted = true;
    }

    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(m_dir.path().toLocal8Bit().constData(), MNT_DETACH);
    }

    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    bool mounted() const { return m_mounted; }
    const std::string &whyNot() const { return m_why; }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

    // Writes a filler file until the disk refuses another byte; true when it did refuse.
    bool fill()
    {
        const int fd = ::open(fillerPath().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            return false;
        const QByteArray block(4096, '\xa5');
        int error = 0;
        for (;;) {
            const ssize_t written = ::write(fd, block.constData(), size_t(block.size()));
            if (written < 0) {
                error = errno;
                break;
            }
        }
        // The last partial page too, so not one byte is left.
        while (::write(fd, "x", 1) == 1) {
        }
        ::close(fd);
        return error == ENOSPC;
    }

    bool free() { return ::unlink(fillerPath().constData()) == 0; }

private:
    QByteArray fillerPath() const { return m_dir.filePath(QStringLiteral("filler")).toLocal8Bit(); }

    QTemporaryDir m_dir;
    bool m_mounted = false;
    std::string m_why;
};

} // namespace quillmere::test
