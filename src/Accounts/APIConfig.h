#pragma once

#include <QJsonObject>
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
    // Stores the string as given when acceptableHomeURL takes it; otherwise the previous value
    // stays. Main thread.
    static void setHomeAPIURL(const QString &url);
    // An address the service may move the account to: acceptableBaseURL, and plain http to a
    // loopback host only while the current base is one too (a local test service). Otherwise
    // any service answer could send the token in clear to a port any local user can bind.
    static std::optional<QUrl> acceptableHomeURL(const QString &text);
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

// Where a sign-in or renewal reply says the account is served ("home_api_url", "shard_id"),
// as the reply gave them. Stored only by the step that stores the reply's token: a reply
// whose token is not kept must not move the account that is.
struct ServiceHome
{
    std::optional<QString> apiURL;
    std::optional<QString> shardID;

    // The string members of the reply; other types count as absent.
    static ServiceHome fromReply(const QJsonObject &reply);
    // APIConfig::setHomeAPIURL and setHomeShardID for what is present; each keeps its own
    // acceptance rule. Main thread.
    void store() const;

    bool operator==(const ServiceHome &) const = default;
};

} // namespace quillmere
