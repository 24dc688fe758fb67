#include "Accounts/TokenData.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace quillmere {

namespace {

// The reference date of the stored form.
const QDateTime &referenceDate()
{
    static const QDateTime date(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return date;
}

const QString tokenKey = QStringLiteral("token");
const QString expiresAtKey = QStringLiteral("expiresAt");

} // namespace

QByteArray TokenData::encoded() const
{
    const double seconds = double(referenceDate().msecsTo(expiresAt)) / 1000.0;
    QJsonObject object;
    object.insert(tokenKey, token);
    object.insert(expiresAtKey, seconds);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<TokenData> TokenData::decode(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue token = object.value(tokenKey);
    const QJsonValue expiresAt = object.value(expiresAtKey);
    if (!token.isString() || !expiresAt.isDouble())
        return std::nullopt;
    const double seconds = expiresAt.toDouble();
    // Beyond this a date is meaningless and the millisecond conversion would overflow.
    if (!std::isfinite(seconds) || std::abs(seconds) > 1e12)
        return std::nullopt;
    return TokenData{token.toString(), referenceDate().addMSecs(qint64(std::llround(seconds * 1000.0)))};
}

} // namespace quillmere
