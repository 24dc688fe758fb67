// The lane's placement of a listing under a real root full of links: any listing body is read
// by the client's reader and placed by the lane as a full sync does (for a whole-tree folder
// and for an audio folder of root files). Every file to fetch lies under the root at the
// service's drive path and name, inside the folder's scope and the root's real path, with its
// folders made inside the root; nothing is created outside; every entry is placed, refused or
// left out of scope, once.
#include "FuzzSupport.h"
#include "PathFixture.h"

#include "Lane/LaneSupport.h"
#include "Lane/RemotePlacement.h"
#include "Platform/Http/Json.h"
#include "ServiceAPI/LibraryAPIClient.h"

#include <QDir>
#include <QFileInfo>

#include <memory>

using namespace quillmere;
using namespace quillmere::fuzz;

namespace {

std::unique_ptr<PathFixture> fixture;

void place(const QList<FileSyncAPI::RemoteFile> &files, const FolderScope &scope)
{
    const QString root = fixture->root();
    const QString realRoot = realPath(root);
    const auto placement = lane::placeRemoteFiles(root, files, {}, {}, {}, scope);

    QString what;
    check(fixture->outsideUntouched(&what), "placing creates nothing outside the root", what);
    QSet<QString> paths;
    for (const auto &download : placement.downloads) {
        const auto file = std::find_if(files.cbegin(), files.cend(),
                                       [&](const FileSyncAPI::RemoteFile &f) { return f.id == download.id; });
        check(file != files.cend(), "a placed file is one the listing names");
        check(download.path == root + u'/' + lane::entryPath(file->drivePath, file->filename),
              "a file goes to the root, its drive path and its name", download.path);
        check(scope.includes(root, download.path), "a placed file is in the folder's scope as the scan judges it",
              download.path);
        check(QFile::decodeName(QFile::encodeName(download.path)) == download.path,
              "a placed path names the file written (it reads back the same from the disk)", download.path);
        const QString parent = realPath(QFileInfo(download.path).path());
        check(parent.isEmpty() || isWithin(parent, realRoot), "a placed file's folder is inside the root",
              download.path + QStringLiteral(" in ") + parent);
        check(!paths.contains(download.path), "one file per path");
        paths.insert(download.path);
    }
    // Every folder made is a real folder inside the root.
    for (const QString &entry : treeOf(root)) {
        const QString real = realPath(root + u'/' + entry);
        const QFileInfo info(root + u'/' + entry);
        if (!info.isSymLink())
            check(isWithin(real, realRoot), "everything made lies inside the root", entry);
    }
    check(placement.downloads.size() + placement.rejected.size() + placement.outOfScope.size() <= files.size(),
          "each entry is placed, refused or out of scope at most once");
    fixture->resetRoot();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    const QString base = scratchFolder() + QStringLiteral("/place");
    QDir().mkpath(base);
    fixture = std::make_unique<PathFixture>(base);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QList<FileSyncAPI::RemoteFile> files;
    try {
        files = LibraryAPIClient::parseLibraryResponse(200, bytesOf(data, size));
    } catch (const json::JsonError &) {
        return 0;
    }
    // Ids as the service would give them: one per entry.
    for (qsizetype i = 0; i < files.size(); ++i)
        files[i].id = i + 1;
    place(files, FolderScope::wholeTree());
    place(files, FolderScope::rootFiles({QStringLiteral("wav"), QStringLiteral(".AIF")}));
    return 0;
}
