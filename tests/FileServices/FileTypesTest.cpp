#include "FileServices/FileTypes.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(FileTypes, ExtensionsAreMatchedLowerCasedAndOnlyInTheFileName)
{
    EXPECT_EQ(supportedAudioExtensions(), QSet<QString>({".wav", ".mp3", ".aiff", ".aif", ".flac"}));
    for (auto it = mimeTypesByExtension().begin(); it != mimeTypesByExtension().end(); ++it)
        EXPECT_EQ(it.key(), it.key().toLower()) << "keys are bare and lower-case";

    EXPECT_EQ(mimeTypeForPath("/music/Kick 01.WAV"), "audio/wav");
    EXPECT_EQ(mimeTypeForPath("/music/set.tar.gz"), "application/gzip");
    EXPECT_EQ(mimeTypeForPath("/music/notes.unknown"), "application/octet-stream");
    EXPECT_EQ(mimeTypeForPath("/music.d/README"), "application/octet-stream") << "a dot in a folder name is no extension";
    EXPECT_EQ(mimeTypeForPath("/music/.wav"), "application/octet-stream");
}
