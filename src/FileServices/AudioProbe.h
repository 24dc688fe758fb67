#pragma once

#include <QCoroTask>
#include <QString>

#include <optional>
#include <stop_token>

namespace quillmere {

// Duration and sample rate of an audio file, as the upload describes it to the service.
struct AudioProbeResult
{
    double durationSeconds = 0;
    qint64 sampleRate = 0;
};

// The sample rate of the second reading when the container names none.
inline constexpr qint64 fallbackProbeSampleRate = 44100;

// Blocking. libsndfile first (exact frame count); what it cannot read goes to TagLib, whose
// duration must be positive (its sample rate defaults to 44100). Never throws for a file it
// cannot read: the answer is then "no analysis". Throws CancelledError when stopped before or
// between the two readings.
std::optional<AudioProbeResult> probeAudioSync(const QString &path, std::stop_token stop = {});

// The same on the thread pool.
QCoro::Task<std::optional<AudioProbeResult>> probeAudio(QString path, std::stop_token stop = {});

} // namespace quillmere
