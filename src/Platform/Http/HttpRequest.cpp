#include "Platform/Http/HttpRequest.h"

#include <QJsonDocument>

namespace quillmere {

void HttpRequest::setJsonBody(const QJsonObject &object)
{
    body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    headers.set("Content-Type", "application/json");
}

} // namespace quillmere
