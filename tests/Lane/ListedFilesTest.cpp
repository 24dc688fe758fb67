#include "Lane/ListedFiles.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>

using namespace quillmere;

namespace {

QString hashOf(const char *text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
}

FileSyncAPI::RemoteFile listed(qint64 id, std::optional<QString> checksum, std::optional<QString> drivePath,
                               const QString &name)
{
    FileSyncAPI::RemoteFile remote;
    remote.id = id;
    remote.filename = name;
    remote.fileChecksum = std::move(checksum);
    remote.drivePath = std::move(drivePath);
    return remote;
}

// The listing's answers by content and place: the case of a listed checksum counts only
// where the exact text is asked for, the last of several entries at one place gives the id,
// and places that share a name, a folder or a content stay apart.
TEST(ListedFilesTest, AnswersByContentAndPlaceAsTheListingSaysIt)
{
    const QString kick = hashOf("kick");
    const QString snare = hashOf("snare");
    const QString pad = hashOf("pad");
    const QList<FileSyncAPI::RemoteFile> files{
        listed(1, kick, QStringLiteral("Drums"), QStringLiteral("kick.wav")),
        listed(2, kick, QStringLiteral("Drums"), QStringLiteral("kick.wav")), // listed twice: the later id
        listed(3, kick, std::nullopt, QStringLiteral("kick.wav")),
        listed(4, snare, QStringLiteral("."), QStringLiteral("snare.wav")),
        listed(5, snare, QStringLiteral("Drums"), QStringLiteral("snare.wav")),
        listed(6, pad.toUpper(), QStringLiteral("Pads"), QStringLiteral("pad.wav")),
        listed(7, QStringLiteral("not-a-sha"), QStringLiteral("Pads"), QStringLiteral("odd.wav")),
        listed(8, std::nullopt, QStringLiteral("Pads"), QStringLiteral("none.wav")),
        listed(9, QString(), QStringLiteral("Pads"), QStringLiteral("empty.wav")),
        listed(10, snare, QStringLiteral("Drums"), QStringLiteral("kick.wav.bak")),
    };
    const ListedFiles index(files);
    EXPECT_EQ(index.size(), 8);

    EXPECT_EQ(index.idAt(kick, QStringLiteral("Drums"), QStringLiteral("kick.wav")), 2);
    EXPECT_EQ(index.idAt(kick, QStringLiteral("."), QStringLiteral("kick.wav")), 3);
    EXPECT_EQ(index.idAt(snare, QString(), QStringLiteral("snare.wav")), 4);
    EXPECT_EQ(index.idAt(snare, QStringLiteral("Drums"), QStringLiteral("kick.wav.bak")), 10);
    EXPECT_EQ(index.idAt(kick, QStringLiteral("Drums"), QStringLiteral("kick.wav.bak")), std::nullopt);
    EXPECT_EQ(index.idAt(snare, QStringLiteral("Drums"), QStringLiteral("kick.wav")), std::nullopt);
    EXPECT_EQ(index.idAt(kick.toUpper(), QStringLiteral("Drums"), QStringLiteral("kick.wav")), std::nullopt);
    // An id is given for the checksum exactly as listed.
    EXPECT_EQ(index.idAt(pad, QStringLiteral("Pads"), QStringLiteral("pad.wav")), std::nullopt);
    EXPECT_EQ(index.idAt(pad.toUpper(), QStringLiteral("Pads"), QStringLiteral("pad.wav")), 6);
    EXPECT_EQ(index.idAt(QStringLiteral("not-a-sha"), QStringLiteral("Pads"), QStringLiteral("odd.wav")), 7);
    EXPECT_EQ(index.idAt(QString(), QStringLiteral("Pads"), QStringLiteral("empty.wav")), std::nullopt);

    // Whether the content is there, its case aside.
    EXPECT_TRUE(index.holds(kick, QStringLiteral("Drums"), QStringLiteral("kick.wav")));
    EXPECT_TRUE(index.holds(kick, QStringLiteral("."), QStringLiteral("kick.wav")));
    EXPECT_TRUE(index.holds(pad, QStringLiteral("Pads"), QStringLiteral("pad.wav")));
    EXPECT_TRUE(index.holds(QStringLiteral("NOT-A-SHA"), QStringLiteral("Pads"), QStringLiteral("odd.wav")));
    EXPECT_FALSE(index.holds(pad, QStringLiteral("Pads"), QStringLiteral("odd.wav")));
    EXPECT_FALSE(index.holds(QString(), QStringLiteral("Pads"), QStringLiteral("empty.wav")));
    EXPECT_FALSE(ListedFiles().holds(kick, QStringLiteral("Drums"), QStringLiteral("kick.wav")));
}

// Many places with the same content and many contents at one place: each lookup finds its
// own entry among its neighbours in the order the index keeps.
TEST(ListedFilesTest, FindsEveryEntryOfALargeListing)
{
    QList<FileSyncAPI::RemoteFile> files;
    for (int i = 0; i < 300; ++i) {
        const QString dir = i % 3 ? QStringLiteral("Folder %1").arg(i % 7) : QString();
        files.append(listed(1000 + i, hashOf(i % 5 ? "shared" : "other"), dir, QStringLiteral("take %1.wav").arg(i)));
    }
    const ListedFiles index(files);
    for (const auto &remote : files) {
        SCOPED_TRACE(remote.filename.toStdString());
        EXPECT_EQ(index.idAt(*remote.fileChecksum, remote.drivePath.value_or(QString()), remote.filename), remote.id);
        EXPECT_TRUE(index.holds(*remote.fileChecksum, remote.drivePath.value_or(QString()), remote.filename));
        EXPECT_FALSE(index.holds(*remote.fileChecksum, QStringLiteral("Folder 9"), remote.filename));
    }
}

} // namespace
