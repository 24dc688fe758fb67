#include "Platform/Http/Json.h"

#include "Platform/Http/InternetDate.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QVariant>

#include <cmath>

namespace quillmere::json {

namespace {

[[noreturn]] void missing()
{
    throw JsonError("The data couldn't be read because it is missing.");
}

template<typename T>
T required(std::optional<T> value)
{
    if (!value)
        missing();
    return std::move(*value);
}

} // namespace

QJsonObject parseObject(const QByteArray &body)
{
    QJsonParseError error{};
    const auto document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        throw JsonError("The data couldn't be read because it isn't in the correct format.");
    return document.isObject() ? document.object() : QJsonObject();
}

std::optional<qint64> wholeNumber(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const QVariant variant = value.toVariant();
    if (variant.typeId() == QMetaType::LongLong || variant.typeId() == QMetaType::Int)
        return variant.toLongLong();
    const double number = value.toDouble();
    // 2^63 is exactly representable as a double and is the first value out of range.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(number) || std::trunc(number) != number || number < -limit || number >= limit)
        return std::nullopt;
    return static_cast<qint64>(number);
}

std::optional<qint64> optionalInteger(const QJsonObject &object, const QString &key)
{
    return wholeNumber(object.value(key));
}

std::optional<QString> optionalString(const QJsonObject &object, const QString &key)
{
    const auto value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

std::optional<bool> optionalBool(const QJsonObject &object, const QString &key)
{
    const auto value = object.value(key);
    if (!value.isBool())
        return std::nullopt;
    return value.toBool();
}

std::optional<QJsonArray> optionalArray(const QJsonObject &object, const QString &key)
{
    const auto value = object.value(key);
    if (!value.isArray())
        return std::nullopt;
    return value.toArray();
}

std::optional<QJsonObject> optionalObject(const QJsonObject &object, const QString &key)
{
    const auto value = object.value(key);
    if (!value.isObject())
        return std::nullopt;
    return value.toObject();
}

std::optional<QDateTime> optionalDate(const QJsonObject &object, const QString &key)
{
    const auto text = optionalString(object, key);
    if (!text)
        return std::nullopt;
    return parseInternetDate(*text);
}

qint64 requiredInteger(const QJsonObject &object, const QString &key)
{
    return required(optionalInteger(object, key));
}

QString requiredString(const QJsonObject &object, const QString &key)
{
    return required(optionalString(object, key));
}

bool requiredBool(const QJsonObject &object, const QString &key)
{
    return required(optionalBool(object, key));
}

QJsonArray requiredArray(const QJsonObject &object, const QString &key)
{
    return required(optionalArray(object, key));
}

QDateTime requiredDate(const QJsonObject &object, const QString &key)
{
    return required(optionalDate(object, key));
}

} // namespace quillmere::json
