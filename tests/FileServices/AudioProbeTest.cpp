#include "FileServices/AudioProbe.h"
#include "Platform/Async/CancelledError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <sndfile.h>

#include <vector>

#include <sys/inotify.h>
#include <unistd.h>

using quillmere::probeAudio;
using quillmere::probeAudioSync;

namespace {

// Writes `frames` frames of silence; false when this libsndfile cannot write the format.
bool writeSilence(const QString &path, int format, int sampleRate, sf_count_t frames)
{
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 1;
    info.format = format;
    if (!sf_format_check(&info))
        return false;
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    std::vector<short> samples(size_t(frames), 0);
    sf_write_short(file, samples.data(), frames);
    sf_close(file);
    return true;
}

} // namespace

TEST(AudioProbe, ReadsExactFramesAndGivesNothingForWhatItCannotRead)
{
    QTemporaryDir dir;
    const QString aiff = dir.path() + QStringLiteral("/tone.aiff");
    ASSERT_TRUE(writeSilence(aiff, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 22050, 11025));
    const auto exact = quillmere::test::await(probeAudio(aiff));
    ASSERT_TRUE(exact);
    EXPECT_DOUBLE_EQ(exact->durationSeconds, 0.5);
    EXPECT_EQ(exact->sampleRate, 22050);

    // MP3 through libsndfile when it was built with it; TagLib reads it otherwise.
    const QString mp3 = dir.path() + QStringLiteral("/tone.mp3");
    if (writeSilence(mp3, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 44100)) {
        const auto compressed = probeAudioSync(mp3);
        ASSERT_TRUE(compressed);
        EXPECT_NEAR(compressed->durationSeconds, 1.0, 0.1);
        EXPECT_EQ(compressed->sampleRate, 44100);
    }

    // An empty WAV header (no frames) and bytes that are no audio at all: no analysis.
    const QString empty = dir.path() + QStringLiteral("/empty.wav");
    ASSERT_TRUE(writeSilence(empty, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 0));
    EXPECT_FALSE(probeAudioSync(empty));
    quillmere::test::writeFile(dir.path() + QStringLiteral("/junk.wav"), QByteArray(4096, 'j'));
    EXPECT_FALSE(probeAudioSync(dir.path() + QStringLiteral("/junk.wav")));
    EXPECT_FALSE(probeAudioSync(dir.path() + QStringLiteral("/missing.wav")));

    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_THROW(probeAudioSync(aiff, stopped.get_token()), quillmere::CancelledError);
}

TEST(AudioProbe, NeverOpensTheFileForWriting)
{
    // A write-open closes with IN_CLOSE_WRITE, which the file watcher reports as a change.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.mp3"));
    quillmere::test::writeFile(path, QByteArray(4096, 'x'));
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_GE(inotify_add_watch(fd, QFile::encodeName(dir.path()).constData(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE), 0);

    EXPECT_FALSE(quillmere::probeAudioSync(path));

    uint32_t seen = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        for (char *p = buffer; p < buffer + n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(p);
            seen |= event->mask;
            p += sizeof(inotify_event) + event->len;
        }
    close(fd);
    EXPECT_TRUE(seen & IN_CLOSE_NOWRITE);
    EXPECT_FALSE(seen & IN_CLOSE_WRITE);
}
