#include "Platform/Settings/UserDefaults.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gmock/gmock.h>

using namespace quillmere;

namespace {

class UserDefaultsTest : public ::testing::Test
{
protected:
    void SetUp() override { qputenv("XDG_CONFIG_HOME", dir.path().toUtf8()); }
    void TearDown() override { qunsetenv("XDG_CONFIG_HOME"); }

    void writeFile(const QString &relative, const QByteArray &contents)
    {
        QDir(dir.path()).mkpath(QStringLiteral("Quillmere"));
        QFile file(dir.path() + QLatin1Char('/') + relative);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(UserDefaultsTest, StandardAndSuiteAreSeparateFilesUnderTheConfigFolder)
{
    UserDefaults standard = UserDefaults::standard();
    UserDefaults suite = UserDefaults::suite(QStringLiteral("app.quillmere.Quillmere"));
    EXPECT_EQ(standard.filePath(), dir.path() + QStringLiteral("/Quillmere/Quillmere.conf"));
    EXPECT_EQ(suite.filePath(), dir.path() + QStringLiteral("/Quillmere/app.quillmere.Quillmere.conf"));

    ASSERT_TRUE(standard.setString(QStringLiteral("quillmere.device.id"), QStringLiteral("A, B = C")));
    ASSERT_TRUE(suite.setData(QStringLiteral("blob"), QByteArray("\x00\x01/=", 4)));
    ASSERT_TRUE(suite.setBool(QStringLiteral("flag"), true));

    EXPECT_EQ(standard.string(QStringLiteral("quillmere.device.id")), QStringLiteral("A, B = C"));
    EXPECT_EQ(suite.string(QStringLiteral("quillmere.device.id")), std::nullopt);
    EXPECT_EQ(suite.data(QStringLiteral("blob")), QByteArray("\x00\x01/=", 4));
    EXPECT_EQ(suite.boolean(QStringLiteral("flag")), true);
    EXPECT_EQ(suite.string(QStringLiteral("blob")), std::nullopt);

    ASSERT_TRUE(standard.remove(QStringLiteral("quillmere.device.id")));
    EXPECT_FALSE(standard.contains(QStringLiteral("quillmere.device.id")));
}

TEST_F(UserDefaultsTest, ReadsBooleansWrittenByHand)
{
    writeFile(QStringLiteral("Quillmere/Quillmere.conf"),
              "[General]\nResetLocalState=YES\nOff=0\nOn=true\nOdd=maybe\nShard=eu-1\n");
    UserDefaults standard = UserDefaults::standard();
    EXPECT_EQ(standard.boolean(QStringLiteral("ResetLocalState")), true);
    EXPECT_EQ(standard.boolean(QStringLiteral("Off")), false);
    EXPECT_EQ(standard.boolean(QStringLiteral("On")), true);
    EXPECT_EQ(standard.boolean(QStringLiteral("Odd")), std::nullopt);
    EXPECT_EQ(standard.boolean(QStringLiteral("Missing")), std::nullopt);
    EXPECT_EQ(standard.string(QStringLiteral("Shard")), QStringLiteral("eu-1"));
}

TEST_F(UserDefaultsTest, AReadFollowsTheFileHoweverItChanged)
{
    const QString file = QStringLiteral("Quillmere/Quillmere.conf");
    UserDefaults standard = UserDefaults::standard();
    const QString key = QStringLiteral("homeShardID");
    EXPECT_EQ(standard.string(key), std::nullopt);

    // Rewritten by hand in place, at once.
    writeFile(file, "[General]\nhomeShardID=eu-1\n");
    EXPECT_EQ(standard.string(key), QStringLiteral("eu-1"));
    writeFile(file, "[General]\nhomeShardID=us-22\n");
    EXPECT_EQ(standard.string(key), QStringLiteral("us-22"));

    // Through another handle on the same file, then gone.
    ASSERT_TRUE(UserDefaults::standard().setString(key, QStringLiteral("ap-3")));
    EXPECT_EQ(standard.string(key), QStringLiteral("ap-3"));
    ASSERT_TRUE(QFile::remove(dir.path() + QLatin1Char('/') + file));
    EXPECT_EQ(standard.string(key), std::nullopt);

    // A file last changed long ago is read from memory, and still followed when it changes.
    writeFile(file, "[General]\nhomeShardID=eu-4\n");
    QFile aged(dir.path() + QLatin1Char('/') + file);
    ASSERT_TRUE(aged.open(QIODevice::ReadWrite));
    ASSERT_TRUE(aged.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
    aged.close();
    EXPECT_EQ(standard.string(key), QStringLiteral("eu-4"));
    writeFile(file, "[General]\nhomeShardID=eu-55\n");
    EXPECT_EQ(standard.string(key), QStringLiteral("eu-55"));
}
