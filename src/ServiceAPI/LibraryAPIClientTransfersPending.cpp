// Stand-in for the transfer operations until their own implementation is merged.

#include "ServiceAPI/LibraryAPIClientTransfersPending.h"

#include "Platform/Async/Background.h"
#include "Platform/Files/FileReadError.h"
#include "Platform/Files/HashingCopy.h"
#include "Platform/Http/HttpClient.h"

#include <QDir>
#include <QFile>
#include <QUuid>

#include <cerrno>
#include <stdexcept>

namespace quillmere {

QCoro::Task<> LibraryAPIClient::uploadToPresignedURL(QString filePath, QString presignedURL,
                                                     std::optional<QString> expectedChecksum, std::stop_token stop)
{
    const QString copyPath = QDir::tempPath() + QStringLiteral("/.quillmere-put-")
                             + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    auto work = [filePath, copyPath, stop] { return copyFileHashing(filePath, copyPath, stop); };
    auto copying = runInBackground(std::move(work));
    const QString sent = co_await std::move(copying);
    auto body = std::make_shared<QFile>(copyPath);
    const bool opened = body->open(QIODevice::ReadOnly);
    QFile::remove(copyPath);
    if (expectedChecksum && sent != *expectedChecksum)
        throw ContentChangedError();
    if (!opened)
        throw FileReadError(EIO);

    HttpRequest request;
    request.url = QUrl(presignedURL);
    request.method = "PUT";
    request.bodyDevice = std::move(body);
    auto sending = HttpClient::send(std::move(request), stop);
    const HttpResponse response = co_await std::move(sending);
    if (response.status < 200 || response.status > 299)
        throw HarborlyAPIError::serverError(response.status, QStringLiteral("Upload failed"));
}

QCoro::Task<> LibraryAPIClient::uploadMultipart(QString, QString, QString, qint64, QString, std::optional<QString>,
                                                std::stop_token)
{
    throw std::logic_error("multipart uploads are not merged yet");
    co_return;
}

} // namespace quillmere
