#pragma once

#include "fake-service/FakeLibraryFile.h"
#include "fake-service/FakeReply.h"
#include "fake-service/FakeRequest.h"

#include <QDateTime>
#include <QJsonObject>

#include <optional>
#include <variant>

namespace quillmere::test {

// Request checks and reply shapes shared by the fake's handlers.

// UTC, seconds precision, "Z": the form the client reads.
QString fakeDateText(const QDateTime &date);

// The request's JSON object body, or the 400 a real service gives: a "Content-Type" other
// than application/json, a body that is not JSON, or a top level that is not an object.
std::variant<QJsonObject, FakeReply> jsonObjectBody(const FakeRequest &request);

// 400 unless the request sends "Accept: application/json".
std::optional<FakeReply> requireAcceptJson(const FakeRequest &request);

// 400 naming the member when `key` is absent or not a string; `optional` lets it be absent.
std::optional<FakeReply> requireString(const QJsonObject &object, const QString &key, bool optional = false);

FakeReply badRequest(const QString &message);

bool isFolderType(const QString &text);

// The members the listing and the change feed share; absent values are left out.
QJsonObject libraryFileJson(const FakeLibraryFile &file);

} // namespace quillmere::test
