#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace quillmere {

// The bearer token and its expiry as kept in the vault entry "bearer-token".
struct TokenData
{
    QString token;
    QDateTime expiresAt;

    // {"token": <string>, "expiresAt": <seconds since 2001-01-01T00:00:00Z, floating point>}
    QByteArray encoded() const;
    // nullopt unless the bytes are a JSON object with a string "token" and a numeric
    // "expiresAt"; other members are ignored.
    static std::optional<TokenData> decode(const QByteArray &bytes);

    bool operator==(const TokenData &other) const = default;
};

} // namespace quillmere
