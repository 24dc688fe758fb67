#include "PathFixture.h"

#include "FuzzSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace quillmere::fuzz {

namespace {

void makeLink(const QString &target, const QString &at)
{
    check(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(at).constData()) == 0,
          "the fixture's links can be made", at);
}

void makeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    check(file.open(QIODevice::WriteOnly) && file.write(content) == content.size(), "the fixture's files can be made",
          path);
}

const QStringList &rootEntries()
{
    static const QStringList entries = {
        QStringLiteral("abs-out"),     QStringLiteral("dangling"),   QStringLiteral("file.wav"),
        QStringLiteral("inside"),      QStringLiteral("loop"),       QStringLiteral("music"),
        QStringLiteral("music/deep"),  QStringLiteral("music/up"),   QStringLiteral("out"),
    };
    return entries;
}

} // namespace

PathFixture::PathFixture(const QString &base) : m_base(base)
{
    const QDir dir(m_base);
    check(dir.mkpath(QStringLiteral("root/music/deep")) && dir.mkpath(QStringLiteral("outside")),
          "the fixture's folders can be made", m_base);
    makeFile(outside() + QStringLiteral("/secret.txt"), "keep");
    makeFile(root() + QStringLiteral("/file.wav"), "RIFF");
    makeLink(QStringLiteral("../outside"), root() + QStringLiteral("/out"));
    makeLink(outside(), root() + QStringLiteral("/abs-out"));
    makeLink(QStringLiteral("music"), root() + QStringLiteral("/inside"));
    makeLink(QStringLiteral("nowhere"), root() + QStringLiteral("/dangling"));
    makeLink(QStringLiteral("loop"), root() + QStringLiteral("/loop"));
    makeLink(QStringLiteral("../.."), root() + QStringLiteral("/music/up"));
    makeLink(QStringLiteral("root"), m_base + QStringLiteral("/rootlink"));
}

QStringList PathFixture::rootSpellings() const
{
    return {root(), root() + u'/', m_base + QStringLiteral("/rootlink"), m_base + QStringLiteral("/./root/music/.."),
            m_base + QStringLiteral("//root")};
}

bool PathFixture::outsideUntouched(QString *what) const
{
    const QStringList outsideTree = treeOf(outside());
    if (outsideTree != QStringList{QStringLiteral("secret.txt")}) {
        *what = QStringLiteral("outside: ") + outsideTree.join(u',');
        return false;
    }
    const QStringList baseEntries = QDir(m_base).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                                           QDir::Name);
    if (baseEntries != QStringList{QStringLiteral("outside"), QStringLiteral("root"), QStringLiteral("rootlink")}) {
        *what = QStringLiteral("base: ") + baseEntries.join(u',');
        return false;
    }
    // The parent of the base (the scratch folder) holds nothing new either.
    return true;
}

void PathFixture::resetRoot() const
{
    const QStringList keep = rootEntries();
    // Deepest first, so a made folder is empty when it goes.
    QStringList made = treeOf(root());
    std::sort(made.begin(), made.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &entry : made) {
        if (keep.contains(entry))
            continue;
        const QByteArray path = QFile::encodeName(root() + u'/' + entry);
        if (::unlink(path.constData()) != 0)
            ::rmdir(path.constData());
    }
}

QStringList treeOf(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QString prefix = folder + u'/';
    while (it.hasNext())
        entries.append(it.next().mid(prefix.size()));
    entries.sort();
    return entries;
}

QString realPath(const QString &path)
{
    char resolved[PATH_MAX];
    if (!::realpath(QFile::encodeName(path).constData(), resolved))
        return QString();
    return QFile::decodeName(resolved);
}

bool isWithin(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder + u'/');
}

QString textFrom(const QByteArray &bytes, bool utf16)
{
    if (utf16)
        return QString(reinterpret_cast<const QChar *>(bytes.constData()), bytes.size() / 2);
    return QString::fromUtf8(bytes);
}

} // namespace quillmere::fuzz
