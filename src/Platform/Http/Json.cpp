#include "Platform/Http/Json.h"

#include "Platform/Http/InternetDate.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QVariant>

#include <cmath>
#include <vector>

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

namespace {

// Where the array under `key` of the top-level object starts ('[') and ends (']'), found
// without parsing: strings (with their escapes) are skipped, nesting is counted. Nothing when
// the body is not shaped so (the key missing, twice, not an array, unbalanced).
std::optional<std::pair<qsizetype, qsizetype>> arraySpan(const QByteArray &body, QLatin1StringView key)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    qsizetype stringStart = -1;
    QByteArrayView lastString;
    QByteArrayView pendingKey;
    qsizetype start = -1;
    qsizetype end = -1;
    const char *data = body.constData();
    for (qsizetype i = 0; i < body.size(); ++i) {
        const char c = data[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"') {
                inString = false;
                if (depth == 1)
                    lastString = QByteArrayView(data + stringStart + 1, i - stringStart - 1);
            }
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            stringStart = i;
            break;
        case ':':
            if (depth == 1)
                pendingKey = lastString;
            break;
        case ',':
            if (depth == 1)
                pendingKey = {};
            break;
        case '{':
        case '[':
            if (depth == 1 && pendingKey == key) {
                if (c != '[' || start >= 0)
                    return std::nullopt;
                start = i;
            }
            ++depth;
            break;
        case '}':
        case ']':
            if (--depth < 0)
                return std::nullopt;
            if (depth == 1 && start >= 0 && end < 0 && c == ']')
                end = i;
            break;
        default:
            break;
        }
    }
    if (inString || depth != 0 || start < 0 || end < 0)
        return std::nullopt;
    return std::pair{start, end};
}

// The elements of the array between `open` and `close` (its brackets), as spans of the body.
std::vector<std::pair<qsizetype, qsizetype>> elementSpans(const QByteArray &body, qsizetype open, qsizetype close)
{
    std::vector<std::pair<qsizetype, qsizetype>> spans;
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    qsizetype start = open + 1;
    const char *data = body.constData();
    for (qsizetype i = open + 1; i <= close; ++i) {
        const char c = data[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        } else if (depth == 0 && (c == ',' || i == close)) {
            spans.emplace_back(start, i);
            start = i + 1;
        }
    }
    return spans;
}

} // namespace

QJsonObject parseObjectEntries(const QByteArray &body, QLatin1StringView key,
                               const std::function<void(qsizetype count)> &count,
                               const std::function<void(const QJsonObject &entry)> &entry)
{
    const auto span = arraySpan(body, key);
    if (!span) {
        QJsonObject object = parseObject(body);
        const QJsonArray array = object.value(key).toArray();
        count(array.size());
        for (const auto &value : array)
            if (value.isObject())
                entry(value.toObject());
        if (object.value(key).isArray())
            object.insert(key, QJsonArray());
        return object;
    }
    // The rest of the object first: a body that is not JSON fails here as a whole one would.
    const QJsonObject rest = parseObject(body.left(span->first) + "[]" + body.mid(span->second + 1));
    const auto spans = elementSpans(body, span->first, span->second);
    const bool empty = spans.size() == 1 && QByteArrayView(body).sliced(spans[0].first, spans[0].second - spans[0].first).trimmed().isEmpty();
    count(empty ? 0 : qsizetype(spans.size()));
    if (empty)
        return rest;
    for (const auto &[from, to] : spans) {
        const QByteArray text = body.mid(from, to - from).trimmed();
        QJsonParseError error{};
        const auto document = QJsonDocument::fromJson(text, &error);
        if (error.error != QJsonParseError::NoError) {
            // A number, a string or a literal is no document of its own, yet valid JSON.
            const auto wrapped = QJsonDocument::fromJson("[" + text + "]", &error);
            if (error.error != QJsonParseError::NoError || wrapped.array().size() != 1)
                throw JsonError("The data couldn't be read because it isn't in the correct format.");
            continue;
        }
        if (document.isObject())
            entry(document.object());
    }
    return rest;
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
