#include "fake-service/FakeReply.h"

#include <QJsonDocument>

namespace quillmere::test {

FakeReply FakeReply::json(int status, const QJsonObject &object)
{
    FakeReply reply;
    reply.status = status;
    reply.body = QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
    return reply;
}

FakeReply FakeReply::failure(int status, const QString &message, const QString &code)
{
    QJsonObject object{{QStringLiteral("message"), message}};
    if (!code.isEmpty())
        object.insert(QStringLiteral("error"), code);
    return json(status, object);
}

FakeReply FakeReply::noContent()
{
    FakeReply reply;
    reply.status = 204;
    reply.contentType.clear();
    return reply;
}

} // namespace quillmere::test
