#include "Platform/Files/FolderBookmark.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using quillmere::FolderBookmark;
using Code = FolderBookmark::Error::Code;
using quillmere::test::failureCode;

namespace {

class FolderBookmarkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(base.isValid());
        parent = QFileInfo(base.path()).canonicalFilePath();
        folder = parent + QStringLiteral("/Samples");
        ASSERT_TRUE(QDir().mkpath(folder));
    }

    std::optional<Code> resolveFailure(const QByteArray &data, const QString &mountInfo = FolderBookmark::defaultMountInfoPath())
    {
        return failureCode<FolderBookmark::Error>([&] { FolderBookmark::resolve(data, mountInfo); });
    }

    // The bookmark with one field replaced.
    static QByteArray with(const QByteArray &data, const QString &field, const QString &value)
    {
        auto object = QJsonDocument::fromJson(data).object();
        object.insert(field, value);
        return QJsonDocument(object).toJson();
    }

    QTemporaryDir base;
    QString parent;
    QString folder;
};

TEST_F(FolderBookmarkTest, FindsTheFolderAtItsPathOrUnderItsNewName)
{
    const auto data = FolderBookmark::make(folder + QStringLiteral("/./"));
    auto resolved = FolderBookmark::resolve(data);
    EXPECT_EQ(resolved.path, folder);
    EXPECT_FALSE(resolved.stale);

    ASSERT_TRUE(QDir().mkpath(parent + QStringLiteral("/Another")));
    ASSERT_TRUE(QDir().rename(folder, parent + QStringLiteral("/Renamed")));
    resolved = FolderBookmark::resolve(data);
    EXPECT_EQ(resolved.path, parent + QStringLiteral("/Renamed"));
    EXPECT_TRUE(resolved.stale);
}

TEST_F(FolderBookmarkTest, AnotherFolderAtThePathIsAccessLost)
{
    const auto data = FolderBookmark::make(folder);
    ASSERT_TRUE(QDir().rename(folder, parent + QStringLiteral("/Old")));
    ASSERT_TRUE(QDir().mkpath(folder));
    EXPECT_EQ(resolveFailure(data), Code::accessLost);

    // The same inode recorded on another device: a different file system now holds the path.
    const auto sameInodeElsewhere = with(FolderBookmark::make(folder), QStringLiteral("device"), QStringLiteral("1"));
    EXPECT_EQ(resolveFailure(sameInodeElsewhere), Code::accessLost);
}

TEST_F(FolderBookmarkTest, ADeletedFolderGivesItsOldPathOnlyWhileItsDeviceIsMounted)
{
    const auto data = FolderBookmark::make(folder);
    ASSERT_TRUE(QDir(folder).removeRecursively());
    const auto resolved = FolderBookmark::resolve(data);
    EXPECT_EQ(resolved.path, folder);
    EXPECT_FALSE(resolved.stale);

    // A drive that is no longer mounted: its folder is out of reach, not deleted.
    const auto sample = parent + QStringLiteral("/mountinfo");
    quillmere::test::writeFile(sample, QByteArrayLiteral("22 1 0:21 / /proc rw - proc proc rw\n"));
    EXPECT_EQ(resolveFailure(data, sample), Code::accessLost);
    EXPECT_EQ(resolveFailure(data, parent + QStringLiteral("/missing-mountinfo")), Code::accessLost);
    EXPECT_EQ(resolveFailure(with(data, QStringLiteral("device"), QString::number(makedev(4000, 77)))), Code::accessLost);
}

TEST_F(FolderBookmarkTest, ReadsTheDeviceOfEveryMount)
{
    const auto sample = parent + QStringLiteral("/mountinfo");
    quillmere::test::writeFile(sample, QByteArrayLiteral(
        "29 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n"
        "\n"
        "garbage\n"
        "31 29 8:17 / /media/user/DRIVE rw,nosuid - vfat /dev/sdb1 rw\n"
        "35 29 0:345 / /mnt/share rw - nfs4 server:/export rw"));
    const auto devices = FolderBookmark::mountedDevices(sample);
    ASSERT_TRUE(devices.has_value());
    EXPECT_EQ(*devices, (std::set<dev_t>{makedev(259, 2), makedev(8, 17), makedev(0, 345)}));
    EXPECT_FALSE(FolderBookmark::mountedDevices(parent + QStringLiteral("/none")).has_value());

    // The real list holds the device of a real folder.
    struct stat status{};
    ASSERT_EQ(stat(QFile::encodeName(folder).constData(), &status), 0);
    EXPECT_TRUE(FolderBookmark::mountedDevices(FolderBookmark::defaultMountInfoPath())->contains(status.st_dev));
}

TEST_F(FolderBookmarkTest, RefusesRootHomeFilesAndForeignData)
{
    EXPECT_EQ(failureCode<FolderBookmark::Error>([] { FolderBookmark::make(QStringLiteral("/")); }), Code::refusedFolder);
    EXPECT_EQ(failureCode<FolderBookmark::Error>([] { FolderBookmark::make(QDir::homePath()); }), Code::refusedFolder);
    quillmere::test::writeFile(parent + QStringLiteral("/file"));
    EXPECT_EQ(failureCode<FolderBookmark::Error>([&] { FolderBookmark::make(parent + QStringLiteral("/file")); }), Code::notADirectory);
    EXPECT_EQ(failureCode<FolderBookmark::Error>([&] { FolderBookmark::make(parent + QStringLiteral("/none")); }), Code::notADirectory);

    const auto data = FolderBookmark::make(folder);
    EXPECT_EQ(resolveFailure(QByteArrayLiteral("not json")), Code::corrupt);
    EXPECT_EQ(resolveFailure(QByteArrayLiteral("[]")), Code::corrupt);
    EXPECT_EQ(resolveFailure(with(data, QStringLiteral("inode"), QStringLiteral("12x"))), Code::corrupt);
    EXPECT_EQ(resolveFailure(with(data, QStringLiteral("path"), QStringLiteral("relative/path"))), Code::corrupt);

    // A bookmark that leads to the home folder (HOME changed, or a crafted record) opens nothing.
    const auto home = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(folder));
    const auto failure = resolveFailure(data);
    qputenv("HOME", home);
    EXPECT_EQ(failure, Code::accessLost);
}

} // namespace
