#include "ServiceAPI/StagedCopy.h"

#include "Platform/Async/Background.h"
#include "Platform/Http/LocalFileError.h"

#include <QFile>
#include <QUuid>

#include <filesystem>
#include <system_error>
#include <utility>

#include <unistd.h>

namespace quillmere {

namespace {

std::set<QString> &registry()
{
    static std::set<QString> paths;
    return paths;
}

void unlinkQuietly(const QString &path)
{
    ::unlink(QFile::encodeName(path).constData());
}

// Touches nothing of the StagedCopy after its first suspension.
QCoro::Task<> removeInBackground(QString path)
{
    auto work = [path] { unlinkQuietly(path); };
    auto removing = runInBackground(std::move(work));
    co_await std::move(removing);
    registry().erase(path);
}

} // namespace

StagedCopy::StagedCopy(const QString &folder)
    : m_folder(folder), m_path(folder + u'/' + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper())
{
    registry().insert(m_path);
}

StagedCopy::~StagedCopy()
{
    if (!m_removed)
        unlinkQuietly(m_path);
    registry().erase(m_path);
}

QCoro::Task<CopiedFile> StagedCopy::fill(QString source, std::stop_token stop, CopyProgress written,
                                         std::optional<FileStamp> version)
{
    auto work = [folder = m_folder, source = std::move(source), destination = m_path, stop = std::move(stop),
                 written = std::move(written), version] {
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(folder).toStdString()), error);
        if (error)
            throw LocalFileError(error.value());
        return copyFileHashing(source, destination, stop, written, version);
    };
    return runInBackground(std::move(work));
}

QCoro::Task<> StagedCopy::remove()
{
    // From here on the file is the background work's to delete, whatever becomes of the caller.
    m_removed = true;
    return removeInBackground(m_path);
}

std::set<QString> StagedCopy::inUse()
{
    return registry();
}

} // namespace quillmere
