#pragma once

#include "FuzzSupport.h"

#include "Platform/Http/InternetDate.h"
#include "Platform/Http/Json.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <optional>

// Properties shared by the reply readers' targets.
namespace quillmere::fuzz {

// A date a reader hands on is a valid UTC time that reads back from its own text.
inline void checkDate(const std::optional<QDateTime> &date)
{
    if (!date)
        return;
    check(date->isValid() && date->timeSpec() == Qt::UTC, "a read date is a valid UTC time");
    const auto again = parseInternetDate(formatInternetDate(*date));
    check(again && *again == *date, "a read date reads back from its text", formatInternetDate(*date));
}

// The top-level object of a body Qt reads, else an empty one.
inline QJsonObject objectOf(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

// The entries of an array member that are objects.
inline QList<QJsonObject> entriesOf(const QJsonObject &object, const QString &key)
{
    QList<QJsonObject> entries;
    for (const QJsonValue &value : object.value(key).toArray())
        if (value.isObject())
            entries.append(value.toObject());
    return entries;
}

// A JSON number that is certainly a whole number a reader must take (no rounding doubt).
inline bool isPlainWholeNumber(const QJsonValue &value)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    return std::trunc(number) == number && std::fabs(number) < 9007199254740992.0;
}

// A JSON number that a reader may take or drop: a whole double beyond 2^53.
inline bool isDoubtfulNumber(const QJsonValue &value)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    return std::isfinite(number) && std::trunc(number) == number && std::fabs(number) >= 9007199254740992.0;
}

// Reads a success reply: either a value, or json::JsonError for a body that is not JSON.
// Returns whether the reader returned.
template<typename Read>
bool readsOrRefusesNonJson(const QByteArray &body, Read &&read)
{
    try {
        read();
    } catch (const json::JsonError &) {
        check(!isJson(body), "JSON that Qt reads is never refused as unreadable");
        return false;
    } catch (...) {
        unexpected(std::current_exception());
    }
    check(isJson(body), "a body that is not JSON is refused");
    return true;
}

// A refused status is a serverError carrying that status, whatever the body.
template<typename Read>
void refusesStatus(int status, Read &&read)
{
    try {
        read();
    } catch (const HarborlyAPIError &error) {
        check(error.code() == HarborlyAPIError::Code::serverError && error.statusCode() == status,
              "a refused status is a serverError with that status", QString::number(status));
        check(!error.errorDescription().isEmpty(), "a refusal has a description");
        return;
    } catch (...) {
        unexpected(std::current_exception());
    }
    fail("a refused status never reads as a value", QString::number(status));
}

} // namespace quillmere::fuzz
