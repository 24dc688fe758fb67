// The folder bookmark reader on arbitrary stored data and an arbitrary mount list: a folder,
// or corrupt / accessLost. A resolved folder is never "/" or the home folder, is the recorded
// path or (stale) a folder beside it, and the path found there is a real folder.
#include "FuzzInput.h"
#include "FuzzSupport.h"

#include "Platform/Files/FolderBookmark.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

using namespace quillmere;
using namespace quillmere::fuzz;

namespace {

QString mountInfo;
// Stand-ins the stored data may use for a real folder's identity, so mutations start from
// real places: "%P" the scratch folder (holding "Music" and "Other"), "%I" and "%D" the inode
// and device of its "Music".
QByteArray scratchPath, musicInode, musicDevice;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    mountInfo = scratchFolder() + QStringLiteral("/mountinfo");
    const QString folder = scratchFolder() + QStringLiteral("/Music");
    QDir().mkpath(folder);
    QDir().mkpath(scratchFolder() + QStringLiteral("/Other"));
    struct stat info{};
    check(::stat(QFile::encodeName(folder).constData(), &info) == 0, "the fixture folder exists");
    scratchPath = QFile::encodeName(scratchFolder());
    musicInode = QByteArray::number(qulonglong(info.st_ino));
    musicDevice = QByteArray::number(qulonglong(info.st_dev));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    const QByteArray mounts = QByteArray::fromStdString(input.consumeRandomLengthString(2048));
    QByteArray stored = QByteArray::fromStdString(input.consumeRemainingBytesAsString());
    stored.replace("%P", scratchPath).replace("%I", musicInode).replace("%D", musicDevice);
    {
        QFile file(mountInfo);
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(mounts) == mounts.size(),
              "the mount list can be written");
    }
    const auto devices = FolderBookmark::mountedDevices(mountInfo);
    check(devices.has_value(), "a readable mount list reads");

    const QJsonObject object = QJsonDocument::fromJson(stored).object();
    const QString recorded = object.value(QStringLiteral("path")).toString();
    try {
        const auto resolved = FolderBookmark::resolve(stored, mountInfo);
        check(resolved.path != QLatin1String("/"), "the root folder is never resolved");
        const QString home = QFileInfo(QDir::homePath()).canonicalFilePath();
        check(home.isEmpty() || resolved.path != home, "the home folder is never resolved");
        check(resolved.path.startsWith(u'/') && QDir::cleanPath(resolved.path) == resolved.path,
              "a resolved folder is an absolute, clean path", resolved.path);
        if (resolved.stale) {
            check(QFileInfo(resolved.path).path() == QFileInfo(recorded).path(),
                  "a folder found under another name is beside the recorded one", resolved.path);
            struct stat info{};
            check(::lstat(QFile::encodeName(resolved.path).constData(), &info) == 0 && S_ISDIR(info.st_mode),
                  "a folder found under another name is a real folder", resolved.path);
        } else {
            check(resolved.path == recorded, "a resolved folder is the recorded one", resolved.path);
        }
    } catch (const FolderBookmark::Error &error) {
        check(error.code() == FolderBookmark::Error::Code::corrupt
                  || error.code() == FolderBookmark::Error::Code::accessLost,
              "reading fails only as corrupt or accessLost");
    } catch (...) {
        unexpected(std::current_exception());
    }
    return 0;
}
