#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <optional>
#include <stdexcept>

// Strict readers for service replies: a field reads only when it has exactly the expected
// JSON type. An integer field takes a whole JSON number (never 1.5, never the string "1"),
// a string field only a JSON string. The optional readers give nullopt for a missing field
// or one of another type; the required readers throw JsonError.
namespace quillmere::json {

class JsonError : public std::runtime_error
{
public:
    explicit JsonError(const char *message) : std::runtime_error(message) {}
};

// A body that is not JSON throws JsonError; a top level that is not an object reads as empty.
QJsonObject parseObject(const QByteArray &body);
// The same for a reply whose bulk is one array (a listing of every file): the objects of the
// array under `key` are read one at a time and handed to `entry` in order (other elements are
// skipped), never held as one document; the object is returned with that array left empty.
// `count` is told the number of elements first. A body this cannot take apart is read whole.
QJsonObject parseObjectEntries(const QByteArray &body, QLatin1StringView key,
                               const std::function<void(qsizetype count)> &count,
                               const std::function<void(const QJsonObject &entry)> &entry);

std::optional<qint64> optionalInteger(const QJsonObject &object, const QString &key);
std::optional<QString> optionalString(const QJsonObject &object, const QString &key);
std::optional<bool> optionalBool(const QJsonObject &object, const QString &key);
std::optional<QJsonArray> optionalArray(const QJsonObject &object, const QString &key);
std::optional<QJsonObject> optionalObject(const QJsonObject &object, const QString &key);
// A string field holding a strict internet date; any other text reads as absent.
std::optional<QDateTime> optionalDate(const QJsonObject &object, const QString &key);

qint64 requiredInteger(const QJsonObject &object, const QString &key);
QString requiredString(const QJsonObject &object, const QString &key);
bool requiredBool(const QJsonObject &object, const QString &key);
QJsonArray requiredArray(const QJsonObject &object, const QString &key);
QDateTime requiredDate(const QJsonObject &object, const QString &key);

// A JSON value that is a whole number representable as a 64-bit integer.
std::optional<qint64> wholeNumber(const QJsonValue &value);

} // namespace quillmere::json
