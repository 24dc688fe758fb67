#include "FileServices/FileTypes.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(FileTypes, TablesHoldExactlyTheirEntries)
{
    EXPECT_EQ(supportedAudioExtensions(), QSet<QString>({".wav", ".mp3", ".aiff", ".aif", ".flac"}));

    const auto &types = mimeTypesByExtension();
    EXPECT_EQ(types.size(), 63);
    EXPECT_EQ(types.value("wav"), "audio/wav");
    EXPECT_EQ(types.value("wave"), "audio/wav");
    EXPECT_EQ(types.value("mid"), "audio/midi");
    EXPECT_EQ(types.value("reapeaks"), "application/x-reaper");
    EXPECT_EQ(types.value("session"), "application/x-sadrie");
    EXPECT_EQ(types.value("7z"), "application/x-7z-compressed");
    EXPECT_EQ(types.value("pptx"),
              "application/vnd.openxmlformats-officedocument.presentationml.presentation");
    for (auto it = types.begin(); it != types.end(); ++it)
        EXPECT_EQ(it.key(), it.key().toLower()) << "keys are bare and lower-case";
    EXPECT_FALSE(types.contains("WAV"));
}

TEST(FileTypes, MimeTypeForPathLowerCasesTheExtension)
{
    EXPECT_EQ(mimeTypeForPath("/music/Kick 01.WAV"), "audio/wav");
    EXPECT_EQ(mimeTypeForPath("/music/set.tar.gz"), "application/gzip");
    EXPECT_EQ(mimeTypeForPath("/music/notes.unknown"), "application/octet-stream");
    EXPECT_EQ(mimeTypeForPath("/music/README"), "application/octet-stream");
    EXPECT_EQ(mimeTypeForPath("/music.d/README"), "application/octet-stream")
        << "a dot in a folder name is no extension";
    EXPECT_EQ(mimeTypeForPath("/music/.wav"), "application/octet-stream");
}
