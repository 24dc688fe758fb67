#pragma once

#include "Platform/Http/HttpHeaders.h"
#include "Platform/Http/HttpResponse.h"

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <chrono>
#include <stop_token>

namespace quillmere {

// PUTs a slice of a file to an address that needs no credentials of ours (a presigned URL),
// on a worker thread of its own pool with libcurl. Qt would feed the body to its HTTP thread
// from the main thread a small chunk at a time; here the worker reads the file itself.
//
// Every reply that carries an HTTP status is a response, whatever the status (the first
// `replyBodyLimit` bytes of its body are kept); redirects are never followed, so a 3xx comes
// back as it is. A transfer that ends without a status throws TransportError: unsupportedURL
// for an address that is not https (or http to a loopback host), cancelled once `stop` is
// requested, timedOut when no byte moves in either direction for `inactivity`. A file that
// cannot be opened or read, or that ends before the slice does, throws LocalFileError: a
// short body is never sent.
class StreamingUpload
{
public:
    static constexpr qsizetype replyBodyLimit = 64 * 1024;

    static QCoro::Task<HttpResponse> put(QUrl url, HttpHeaders headers, QString filePath, qint64 offset,
                                         qint64 length, std::stop_token stop,
                                         std::chrono::milliseconds inactivity = std::chrono::seconds(60));
};

} // namespace quillmere
