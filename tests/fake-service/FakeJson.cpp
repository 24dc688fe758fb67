#include "fake-service/FakeJson.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace quillmere::test {

QString fakeDateText(const QDateTime &date)
{
    return date.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
}

FakeReply badRequest(const QString &message)
{
    return FakeReply::failure(400, message, QStringLiteral("bad_request"));
}

std::variant<QJsonObject, FakeReply> jsonObjectBody(const FakeRequest &request)
{
    const std::string type = request.header("Content-Type").value_or(std::string());
    if (type.rfind("application/json", 0) != 0)
        return badRequest(QStringLiteral("Content-Type must be application/json"));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(request.body), &error);
    if (error.error != QJsonParseError::NoError)
        return badRequest(QStringLiteral("Malformed JSON body"));
    if (!document.isObject())
        return badRequest(QStringLiteral("Body must be a JSON object"));
    return document.object();
}

std::optional<FakeReply> requireAcceptJson(const FakeRequest &request)
{
    const std::string accept = request.header("Accept").value_or(std::string());
    if (accept.find("application/json") == std::string::npos)
        return badRequest(QStringLiteral("Accept must be application/json"));
    return std::nullopt;
}

std::optional<FakeReply> requireString(const QJsonObject &object, const QString &key, bool optional)
{
    if (!object.contains(key)) {
        if (optional)
            return std::nullopt;
        return badRequest(QStringLiteral("%1 is required").arg(key));
    }
    if (!object.value(key).isString())
        return badRequest(QStringLiteral("%1 must be a string").arg(key));
    return std::nullopt;
}

bool isFolderType(const QString &text)
{
    return text == QLatin1String("reference") || text == QLatin1String("unorganised") || text == QLatin1String("drive");
}

QJsonObject libraryFileJson(const FakeLibraryFile &file)
{
    QJsonObject object{
        {QStringLiteral("id"), file.id},
        {QStringLiteral("filename"), file.filename},
        {QStringLiteral("mime_type"), file.mimeType},
        {QStringLiteral("file_size"), file.fileSize},
        {QStringLiteral("file_checksum"), file.checksum},
        {QStringLiteral("folder_type"), file.folderType},
        {QStringLiteral("created_at"), fakeDateText(file.createdAt)},
        {QStringLiteral("updated_at"), fakeDateText(file.updatedAt)},
    };
    if (file.syncFolderUUID)
        object.insert(QStringLiteral("sync_folder_uuid"), *file.syncFolderUUID);
    if (file.fileCategory)
        object.insert(QStringLiteral("file_category"), *file.fileCategory);
    if (file.drivePath)
        object.insert(QStringLiteral("drive_path"), *file.drivePath);
    if (file.userPlanId)
        object.insert(QStringLiteral("user_plan_id"), *file.userPlanId);
    return object;
}

} // namespace quillmere::test
