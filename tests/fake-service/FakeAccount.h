#pragma once

#include <QString>

#include <optional>

namespace quillmere::test {

// Where a 421 names the account's shard.
enum class ShardHint { header, body, headerAndBody, none };

// One account of the fake service.
struct FakeAccount
{
    qint64 id = 0; // 0: the fake picks one
    QString name = QStringLiteral("Test User");
    QString email = QStringLiteral("test@example.com");
    QString plan = QStringLiteral("silver");
    QString subscriptionLabel = QStringLiteral("Silver");
    QString shardId = QStringLiteral("shard-a");
    ShardHint shardHint = ShardHint::headerAndBody;
    qint64 storageLimitBytes = qint64(10) * 1024 * 1024 * 1024;
    bool isEnforced = false;
    bool maintenance = false;
    // Announced as "home_api_url" with every new token; unset: the fake's own base URL.
    std::optional<QString> homeAPIURL;
};

} // namespace quillmere::test
