#include "Platform/Settings/UserDefaults.h"

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
