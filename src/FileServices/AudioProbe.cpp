#include "FileServices/AudioProbe.h"

#include "Platform/Async/Background.h"
#include "Platform/Async/CancelledError.h"

#include <QFile>

#include <sndfile.h>
#include <taglib/audioproperties.h>
#include <taglib/fileref.h>
#include <taglib/tfilestream.h>

#include <cmath>
#include <limits>

namespace quillmere {

namespace {

// A rate that is not finite or does not fit a 64-bit integer counts as missing.
std::optional<qint64> wholeRate(double rate)
{
    if (!std::isfinite(rate) || rate >= 9.2e18 || rate <= -9.2e18)
        return std::nullopt;
    return qint64(std::trunc(rate));
}

std::optional<AudioProbeResult> readWithSndfile(const QByteArray &path)
{
    SF_INFO info{};
    SNDFILE *file = sf_open(path.constData(), SFM_READ, &info);
    if (!file)
        return std::nullopt;
    sf_close(file);
    if (info.frames <= 0 || info.samplerate <= 0)
        return std::nullopt;
    return AudioProbeResult{double(info.frames) / double(info.samplerate), qint64(info.samplerate)};
}

std::optional<AudioProbeResult> readWithTagLib(const QByteArray &path)
{
    // Read-only: a read-write open, even one that writes nothing, is reported by the file
    // watcher as a change when it is closed, and the file would be sent again.
    TagLib::FileStream stream(path.constData(), true);
    if (!stream.isOpen())
        return std::nullopt;
    TagLib::FileRef file(&stream, true, TagLib::AudioProperties::Accurate);
    if (file.isNull() || !file.audioProperties())
        return std::nullopt;
    const TagLib::AudioProperties *properties = file.audioProperties();
    const double duration = double(properties->lengthInMilliseconds()) / 1000.0;
    if (!(duration > 0) || !std::isfinite(duration))
        return std::nullopt;
    const auto rate = wholeRate(double(properties->sampleRate()));
    return AudioProbeResult{duration, rate && *rate > 0 ? *rate : fallbackProbeSampleRate};
}

} // namespace

std::optional<AudioProbeResult> probeAudioSync(const QString &path, std::stop_token stop)
{
    throwIfStopped(stop);
    const QByteArray nativePath = QFile::encodeName(path);
    if (auto exact = readWithSndfile(nativePath))
        return exact;
    throwIfStopped(stop);
    return readWithTagLib(nativePath);
}

QCoro::Task<std::optional<AudioProbeResult>> probeAudio(QString path, std::stop_token stop)
{
    auto work = [path = std::move(path), stop] { return probeAudioSync(path, stop); };
    co_return co_await runInBackground(std::move(work));
}

} // namespace quillmere
