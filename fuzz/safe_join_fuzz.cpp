// SafeJoin under a real root full of links: a joined path lies under the root as written, its
// parts are the folder's and the name's (no "..", no empty part), the nearest folder on its way
// that exists resolves inside the root's real path, and it names one file on the disk (it reads
// back the same through the file system's encoding). Nothing is ever created.
#include "FuzzInput.h"
#include "FuzzSupport.h"
#include "PathFixture.h"

#include "Platform/Files/SafeJoin.h"

#include <QDir>

#include <sys/stat.h>

#include <memory>

using namespace quillmere;
using namespace quillmere::fuzz;

namespace {

std::unique_ptr<PathFixture> fixture;

bool exists(const QString &path)
{
    struct stat info{};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    const QString base = scratchFolder() + QStringLiteral("/join");
    QDir().mkpath(base);
    fixture = std::make_unique<PathFixture>(base);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    const QStringList roots = fixture->rootSpellings();
    const QString root = roots[input.consumeIntegralInRange<int>(0, int(roots.size()) - 1)];
    const bool utf16 = input.consumeBool();
    const std::string dirBytes = input.consumeRandomLengthString(512);
    const QString dir = textFrom(QByteArray::fromStdString(dirBytes), utf16);
    const QString name = textFrom(QByteArray::fromStdString(input.consumeRemainingBytesAsString()), utf16);

    const auto joined = SafeJoin(root, dir, name);
    QString what;
    check(fixture->outsideUntouched(&what), "a join creates nothing", what);
    check(treeOf(fixture->root()).size() == 9, "a join creates nothing in the root");
    if (!joined)
        return 0;

    const QString cleanRoot = QDir::cleanPath(root);
    check(joined->startsWith(cleanRoot + u'/'), "a joined path lies under the root as written", *joined);
    const QStringList parts = joined->mid(cleanRoot.size() + 1).split(u'/');
    QStringList expected;
    for (const QString &part : dir.split(u'/'))
        if (!part.isEmpty() && part != QLatin1String("."))
            expected.append(part);
    expected.append(name);
    check(parts == expected, "a joined path is the root, the folder's parts and the name", *joined);
    for (const QString &part : parts) {
        check(!part.isEmpty() && part != QLatin1String(".") && part != QLatin1String("..") && !part.contains(QChar(0)),
              "no empty, \".\" or \"..\" part, no NUL", *joined);
        check(QFile::encodeName(part).size() <= 255, "no part longer than a file name may be", *joined);
    }
    check(QFile::decodeName(QFile::encodeName(*joined)) == *joined,
          "a joined path names the file it is written to (it reads back the same from the disk)", *joined);

    // Everything below the nearest existing folder is made by the caller, inside it.
    const QString realRoot = realPath(cleanRoot);
    QString nearest = cleanRoot;
    QString walk = cleanRoot;
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        walk += u'/' + parts[i];
        if (!exists(walk))
            break;
        nearest = walk;
    }
    const QString realNearest = realPath(nearest);
    check(!realNearest.isEmpty() && isWithin(realNearest, realRoot),
          "the nearest existing folder on the way resolves inside the root", *joined + QStringLiteral(" via ") + nearest);
    return 0;
}
