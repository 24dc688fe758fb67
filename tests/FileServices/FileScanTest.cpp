#include "FileServices/FileScan.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using quillmere::test::writeFile;

namespace {

QStringList sorted(QStringList list)
{
    std::sort(list.begin(), list.end());
    return list;
}

struct Scan
{
    QStringList files;
    QStringList unreadable;
};

Scan scanReporting(const QString &root)
{
    Scan result;
    scanDirectoryRecursively(root, result.files, result.unreadable);
    return result;
}

QStringList scan(const QString &root)
{
    Scan result = scanReporting(root);
    EXPECT_TRUE(result.unreadable.isEmpty()) << result.unreadable.join(", ").toStdString();
    return sorted(result.files);
}

// Lowers the soft limit of open descriptors for one scope; `spare` more may be opened.
class DescriptorLimit
{
public:
    explicit DescriptorLimit(int spare)
    {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        int lowestFree = 0;
        while (fcntl(lowestFree, F_GETFD) != -1)
            ++lowestFree;
        rlimit lowered = m_saved;
        lowered.rlim_cur = rlim_t(lowestFree + spare);
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &m_saved); }

private:
    rlimit m_saved{};
};

class FileScanTest : public ::testing::Test
{
protected:
    QTemporaryDir temp;
    QString root() const { return temp.path(); }
    QString at(const QString &relative) const { return root() + u'/' + relative; }
};

TEST_F(FileScanTest, TreeKeepsOnlySyncableFilesAndScansConflictNamedFolders)
{
    writeFile(at("a.wav"));
    writeFile(at(".b.wav"));
    writeFile(at("c.quillmere-tmp.wav"));
    writeFile(at("take (conflict).wav"));
    writeFile(at("(conflict) old/d.wav"));
    writeFile(at(".hidden/e.wav"));
    writeFile(at("Song/Audio/deep/kick.wav"));
    QDir().mkpath(at("empty"));

    EXPECT_EQ(scan(root()), sorted({at("(conflict) old/d.wav"), at("Song/Audio/deep/kick.wav"), at("a.wav")}));
    // A root given with a trailing separator yields the same spelling of every path.
    EXPECT_EQ(scan(root() + "/"), scan(root()));
    // A missing root is no empty folder (an unmounted drive looks like this).
    const Scan missing = scanReporting(at("missing"));
    EXPECT_TRUE(missing.files.isEmpty());
    EXPECT_EQ(missing.unreadable, QStringList{at("missing")});
}

TEST_F(FileScanTest, DeepTreesNeedOneDescriptorAndAFolderThatCannotBeOpenedIsReported)
{
    // A folder without permissions (they do not bind root) is reported, its siblings listed.
    writeFile(at("ok.wav"));
    if (geteuid() != 0) {
        writeFile(at("locked/secret.wav"));
        ASSERT_EQ(chmod(qPrintable(at("locked")), 0), 0);
        const Scan found = scanReporting(root());
        chmod(qPrintable(at("locked")), 0700);
        EXPECT_EQ(found.files, QStringList{at("ok.wav")});
        EXPECT_EQ(found.unreadable, QStringList{at("locked")});
        QDir(at("locked")).removeRecursively();
    }

    QStringList expected{at("ok.wav")};
    QString folder = root();
    for (int depth = 0; depth < 40; ++depth) {
        folder += QStringLiteral("/level%1").arg(depth);
        writeFile(folder + "/take.wav");
        expected.append(folder + "/take.wav");
    }
    {
        const DescriptorLimit limit(2);
        EXPECT_EQ(scan(root()), sorted(expected));
    }
    {
        // Not even the root can be opened now: that is reported, not an empty folder.
        const DescriptorLimit limit(0);
        const Scan none = scanReporting(root());
        EXPECT_TRUE(none.files.isEmpty());
        EXPECT_EQ(none.unreadable, QStringList{root()});
    }
}

TEST_F(FileScanTest, LinksAreNeverFollowedAndOnlyComponentsBelowTheRootAreJudged)
{
    QTemporaryDir outside;
    writeFile(outside.path() + "/elsewhere.wav");
    // The root may itself live under a hidden folder (~/.local/...): that must not hide it.
    const QString music = at(".config/Music");
    writeFile(music + "/kick.wav");
    writeFile(music + "/.cache/kick.wav");
    writeFile(at("Music2/x.wav"));
    ASSERT_EQ(symlink(qPrintable(music + "/kick.wav"), qPrintable(music + "/link.wav")), 0);
    ASSERT_EQ(symlink(qPrintable(outside.path()), qPrintable(music + "/linked-folder")), 0);
    ASSERT_EQ(symlink(qPrintable(music), qPrintable(music + "/loop")), 0);

    EXPECT_EQ(scan(music), QStringList{music + "/kick.wav"});
    EXPECT_TRUE(isSyncableFile(music, music + "/kick.wav"));
    for (const QString &path : {music + "/link.wav", music + "/linked-folder", music + "/.cache/kick.wav", music,
                                music + "/missing.wav"})
        EXPECT_FALSE(isSyncableFile(music, path)) << path.toStdString();
    // A sibling sharing the root's name as a prefix is outside it.
    EXPECT_FALSE(isSyncableFile(at("Music"), at("Music2/x.wav")));
    EXPECT_FALSE(isSyncableFile(root(), at(".config")));
}

TEST_F(FileScanTest, FlatListingMatchesExtensionsOfRegularFilesOnly)
{
    writeFile(at("Song.WAV"));
    writeFile(at("loop.aif"));
    writeFile(at("notes.txt"));
    writeFile(at("noextension"));
    writeFile(at(".hidden.wav"));
    writeFile(at("take (conflict).wav"));
    writeFile(at("sub/inner.wav"));
    QDir().mkpath(at("x.wav"));
    ASSERT_EQ(symlink(qPrintable(at("Song.WAV")), qPrintable(at("link.wav"))), 0);

    const QSet<QString> wanted{".wav", ".aif"};
    EXPECT_EQ(sorted(listFilesWithExtensions(root(), wanted)), sorted({at("Song.WAV"), at("loop.aif")}));
    EXPECT_EQ(listFilesWithExtensions(root() + "/", {".txt"}), QStringList{at("notes.txt")});
    EXPECT_TRUE(listFilesWithExtensions(at("missing"), wanted).isEmpty());
    // An empty listing of a folder that could not be opened is reported, not taken as empty.
    QStringList unreadable;
    EXPECT_TRUE(listFilesWithExtensions(at("missing"), wanted, &unreadable).isEmpty());
    EXPECT_EQ(unreadable, QStringList{at("missing")});
}

TEST_F(FileScanTest, ScopeIsTheScansRuleByName)
{
    const auto tree = FolderScope::wholeTree();
    for (const char *inside : {"a.wav", "A/B/take.flac", "./A//b.wav", "Take (conflict)/x.wav"})
        EXPECT_TRUE(tree.includes(QString::fromUtf8(inside))) << inside;
    for (const char *outside : {"", ".", ".Loop.wav", ".hidden dir/plain.wav", "Web/.cache/plain2.wav",
                                "Take (conflict).wav", "x.quillmere-tmp.wav", "../x.wav", "A/../x.wav"})
        EXPECT_FALSE(tree.includes(QString::fromUtf8(outside))) << outside;

    const auto flat = FolderScope::rootFiles({QStringLiteral("wav"), QStringLiteral(".AIF")});
    EXPECT_TRUE(flat.includes(QStringLiteral("Kick.WAV")));
    EXPECT_TRUE(flat.includes(QStringLiteral("./pad.aif")));
    EXPECT_FALSE(flat.includes(QStringLiteral("take.flac")));
    EXPECT_FALSE(flat.includes(QStringLiteral("Sub/loop.wav")));
    EXPECT_FALSE(flat.includes(QStringLiteral("wav")));

    EXPECT_TRUE(tree.includes(root(), at("A/a.wav")));
    EXPECT_FALSE(tree.includes(root(), root()));
    EXPECT_FALSE(tree.includes(root(), root() + "2/a.wav"));
}

TEST_F(FileScanTest, OnlyAMissingPathBelowRealFoldersIsAbsent)
{
    writeFile(at("A/here.wav"));
    writeFile(at("file"));
    QTemporaryDir elsewhere;
    ASSERT_EQ(symlink(qPrintable(elsewhere.path()), qPrintable(at("Link"))), 0);
    ASSERT_EQ(symlink(qPrintable(at("nowhere")), qPrintable(at("dangling.wav"))), 0);

    EXPECT_EQ(localPresence(root(), at("A/here.wav")), LocalPresence::present);
    EXPECT_EQ(localPresence(root(), at("dangling.wav")), LocalPresence::present);
    EXPECT_EQ(localPresence(root(), at("A/gone.wav")), LocalPresence::absent);
    EXPECT_EQ(localPresence(root(), at("B/C/gone.wav")), LocalPresence::absent);
    EXPECT_EQ(localPresence(root(), at("Link/gone.wav")), LocalPresence::unknown);
    EXPECT_EQ(localPresence(root(), at("file/gone.wav")), LocalPresence::unknown);
    EXPECT_EQ(localPresence(root(), root() + "2/gone.wav"), LocalPresence::unknown);
    EXPECT_EQ(localPresence(at("missing root"), at("missing root/a.wav")), LocalPresence::unknown);
}

TEST_F(FileScanTest, TheScanStaysOnTheRootsFileSystemAndSkipsNamesThatAreNotUtf8)
{
    writeFile(at("plain.wav"));
    const QByteArray badName = QFile::encodeName(root()) + QByteArray("/bad\xfe.wav");
    const int fd = ::open(badName.constData(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    QDir().mkpath(at("Drive"));
    const bool mounted = ::mount("none", qPrintable(at("Drive")), "tmpfs", 0, nullptr) == 0;
    if (mounted)
        writeFile(at("Drive/other.wav"));

    const Scan result = scanReporting(root());
    if (mounted)
        ::umount(qPrintable(at("Drive")));
    EXPECT_TRUE(result.unreadable.isEmpty());
    QStringList names;
    for (const QString &path : result.files)
        names.append(path.mid(root().size() + 1));
    EXPECT_FALSE(names.contains(QStringLiteral("Drive/other.wav")));
    EXPECT_TRUE(names.contains(QStringLiteral("plain.wav")));
    // Its name has no spelling that leads back to it.
    EXPECT_EQ(names.filter(QStringLiteral("bad")), QStringList());
    if (!mounted)
        GTEST_SKIP() << "no tmpfs mount here: the other-file-system half was not run";
}

} // namespace
