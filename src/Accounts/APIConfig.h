#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace quillmere {

// The signed-in account's service base URL and home shard, kept in the settings suite named by
// the bundle identifier. Nothing removes them: they outlive a disconnect and a local reset.
class APIConfig
{
public:
    APIConfig() = delete;

    // "homeAPIURL" when it is stored and acceptable, otherwise defaultBaseURL(). Any thread.
    static QUrl baseURL();
    // The service's web host, or QUILLMERE_BASE_URL when that is set and acceptable (tests and
    // local runs point it at a loopback service). Made once.
    static QUrl defaultBaseURL();
    // Stores the string as given when it is acceptable; otherwise the previous value stays.
    // Main thread.
    static void setHomeAPIURL(const QString &url);
    // Stores an acceptable shard id; anything else changes nothing. Main thread.
    static void setHomeShardID(const QString &shardID);
    // The stored shard id when it is still acceptable (the settings file can be edited).
    static std::optional<QString> homeShardID();

    // The shard id travels in a request header, so only a short token of letters, digits,
    // '-', '_' and '.' (at most maximumShardIDLength) is accepted.
    static constexpr qsizetype maximumShardIDLength = 64;
    static bool isAcceptableShardID(const QString &shardID);

    // The bearer token goes wherever the base URL points, so only an absolute https URL with a
    // host, or http to a loopback host, is accepted.
    static std::optional<QUrl> acceptableBaseURL(const QString &text);
};

} // namespace quillmere
