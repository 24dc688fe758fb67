#include "Platform/Files/SafeJoin.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <optional>

using quillmere::SafeJoin;

namespace {

class SafeJoinTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(base.isValid());
        root = base.path() + QStringLiteral("/root");
        ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/Drums/Kicks")));
        ASSERT_TRUE(QDir().mkpath(base.path() + QStringLiteral("/outside")));
    }

    void link(const QString &target, const QString &at)
    {
        ASSERT_TRUE(QFile::link(target, at));
    }

    QTemporaryDir base;
    QString root;
};

TEST_F(SafeJoinTest, JoinsCleanedFoldersAndName)
{
    EXPECT_EQ(SafeJoin(root, QStringLiteral("Drums/Kicks"), QStringLiteral("kick.wav")),
              root + QStringLiteral("/Drums/Kicks/kick.wav"));
    EXPECT_EQ(SafeJoin(root + QStringLiteral("/"), QStringLiteral("./Drums//Kicks/."), QStringLiteral("a.wav")),
              root + QStringLiteral("/Drums/Kicks/a.wav"));
    EXPECT_EQ(SafeJoin(root, QString(), QStringLiteral("a.wav")), root + QStringLiteral("/a.wav"));
    // Folders that do not exist yet are fine: the nearest existing one lies inside the root.
    EXPECT_EQ(SafeJoin(root, QStringLiteral("New/Deeper"), QStringLiteral("a.wav")),
              root + QStringLiteral("/New/Deeper/a.wav"));
    // Names that merely start with dots are ordinary names.
    EXPECT_EQ(SafeJoin(root, QStringLiteral("..hidden"), QStringLiteral("...wav")),
              root + QStringLiteral("/..hidden/...wav"));
    EXPECT_EQ(SafeJoin(root, QStringLiteral("/etc"), QStringLiteral("passwd")), root + QStringLiteral("/etc/passwd"));
}

TEST_F(SafeJoinTest, RefusesParentReferencesBadNamesAndBadRoots)
{
    EXPECT_EQ(SafeJoin(root, QStringLiteral(".."), QStringLiteral("a.wav")), std::nullopt);
    EXPECT_EQ(SafeJoin(root, QStringLiteral("Drums/../../outside"), QStringLiteral("a.wav")), std::nullopt);
    EXPECT_EQ(SafeJoin(root, QString(), QString()), std::nullopt);
    EXPECT_EQ(SafeJoin(root, QString(), QStringLiteral(".")), std::nullopt);
    EXPECT_EQ(SafeJoin(root, QString(), QStringLiteral("..")), std::nullopt);
    EXPECT_EQ(SafeJoin(root, QString(), QStringLiteral("../a.wav")), std::nullopt);
    EXPECT_EQ(SafeJoin(root, QString(), QStringLiteral("Drums/a.wav")), std::nullopt);
    const QString nul(QChar(u'\0'));
    EXPECT_EQ(SafeJoin(root, QString(), QStringLiteral("a") + nul + QStringLiteral(".wav")), std::nullopt);
    EXPECT_EQ(SafeJoin(root, QStringLiteral("Drums") + nul, QStringLiteral("a.wav")), std::nullopt);
    // The root must be an absolute path to a folder that exists.
    EXPECT_EQ(SafeJoin(QStringLiteral("relative/root"), QString(), QStringLiteral("a.wav")), std::nullopt);
    EXPECT_EQ(SafeJoin(QString(), QString(), QStringLiteral("a.wav")), std::nullopt);
    EXPECT_EQ(SafeJoin(base.path() + QStringLiteral("/gone"), QString(), QStringLiteral("a.wav")), std::nullopt);
}

// A JSON escape can make a lone surrogate. On the disk it becomes U+FFFD, so two service names
// would meet at one file, and the scan would read back a name that no record carries.
TEST_F(SafeJoinTest, RefusesTextTheDiskCannotHoldAsWritten)
{
    EXPECT_EQ(SafeJoin(root, QString(), QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b.wav")), std::nullopt);
    EXPECT_EQ(SafeJoin(root, QString(), QStringLiteral("a.wav") + QChar(0xD83E)), std::nullopt);
    EXPECT_EQ(SafeJoin(root, QStringLiteral("Drums/") + QChar(0xDC00), QStringLiteral("a.wav")), std::nullopt);
    // A surrogate pair is one character like any other.
    const QString drum = QStringLiteral("\U0001F941.wav");
    EXPECT_EQ(SafeJoin(root, QStringLiteral("Drums"), drum), root + QStringLiteral("/Drums/") + drum);
}

// The file system's limit is 255 bytes of the encoded name, not 255 characters.
TEST_F(SafeJoinTest, RefusesComponentsLongerThanTheFileSystemAllows)
{
    const QString longest = QString(127, QChar(0x00E9)) + u'a'; // 255 bytes as UTF-8
    const QString tooLong = QString(128, QChar(0x00E9));         // 256 bytes, 128 characters
    EXPECT_EQ(SafeJoin(root, QString(), longest), root + u'/' + longest);
    EXPECT_EQ(SafeJoin(root, QString(), tooLong), std::nullopt);
    EXPECT_EQ(SafeJoin(root, QString(256, u'a'), QStringLiteral("a.wav")), std::nullopt);
    EXPECT_EQ(SafeJoin(root, QString(255, u'a'), QStringLiteral("a.wav")),
              root + u'/' + QString(255, u'a') + QStringLiteral("/a.wav"));
}

TEST_F(SafeJoinTest, SymlinkedFolderLeavingRootIsRefused)
{
    link(base.path() + QStringLiteral("/outside"), root + QStringLiteral("/escape"));
    EXPECT_EQ(SafeJoin(root, QStringLiteral("escape"), QStringLiteral("a.wav")), std::nullopt);
    EXPECT_EQ(SafeJoin(root, QStringLiteral("escape/newfolder"), QStringLiteral("a.wav")), std::nullopt);
    // A neighbour whose name begins with the root's name is still outside.
    ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("-other")));
    link(root + QStringLiteral("-other"), root + QStringLiteral("/neighbour"));
    EXPECT_EQ(SafeJoin(root, QStringLiteral("neighbour"), QStringLiteral("a.wav")), std::nullopt);
    // A link whose target does not exist could be created outside later.
    link(base.path() + QStringLiteral("/nowhere"), root + QStringLiteral("/dangling"));
    EXPECT_EQ(SafeJoin(root, QStringLiteral("dangling"), QStringLiteral("a.wav")), std::nullopt);
}

TEST_F(SafeJoinTest, SymlinksThatStayInsideAreAccepted)
{
    link(root + QStringLiteral("/Drums"), root + QStringLiteral("/alias"));
    EXPECT_EQ(SafeJoin(root, QStringLiteral("alias/Kicks"), QStringLiteral("a.wav")),
              root + QStringLiteral("/alias/Kicks/a.wav"));

    // The root itself reached through a link: its real path is what the folders are held to.
    const QString linkedRoot = base.path() + QStringLiteral("/linked-root");
    link(root, linkedRoot);
    EXPECT_EQ(SafeJoin(linkedRoot, QStringLiteral("Drums"), QStringLiteral("a.wav")),
              linkedRoot + QStringLiteral("/Drums/a.wav"));
}

} // namespace
