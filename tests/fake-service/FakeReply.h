#pragma once

#include "fake-service/FakeBody.h"

#include <QJsonObject>
#include <QString>

#include <string>
#include <utility>
#include <vector>

namespace quillmere::test {

// What a handler answers. A body streamed from disk is named by `bodyPath`; one kept as it was
// uploaded is `bodyPieces`.
struct FakeReply
{
    int status = 200;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    QString bodyPath;
    std::vector<FakeReceivedBody> bodyPieces;

    static FakeReply json(int status, const QJsonObject &object);
    // {"message": message}, plus "error": code when one is given.
    static FakeReply failure(int status, const QString &message, const QString &code = {});
    static FakeReply noContent();
};

} // namespace quillmere::test
