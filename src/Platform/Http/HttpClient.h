#pragma once

#include "Platform/Http/HttpRequest.h"
#include "Platform/Http/HttpResponse.h"
#include "Platform/Http/TemporaryDownloadFile.h"

#include <QCoroTask>
#include <QString>

#include <optional>
#include <stop_token>

class QThreadPool;

namespace quillmere {

// What a download must be to replace its destination.
struct ExpectedDownload
{
    std::optional<qint64> size;
    // SHA-256 of the bytes, hex (either case).
    std::optional<QByteArray> sha256;
    // What the destination must still be when the download is put in place. Nothing found:
    // the download is renamed there only while nothing is (the rename itself refuses to
    // replace). A file found: it is replaced only while lstat still gives its stamp. Anything
    // else fails with DestinationChangedError and leaves the destination as it is. Unset:
    // whatever is there is replaced (a directory never).
    std::optional<JudgedDestination> destination = std::nullopt;
};

// Requests over the process's one network manager, on the main thread.
//
// Every reply that carries an HTTP status is a response, whatever the status; a transfer that
// ends without one throws TransportError. A stop request aborts the transfer and ends the
// call with TransportError cancelled. Redirects are followed here (at most 10), never by Qt.
class HttpClient
{
public:
    static constexpr int maximumRedirects = 10;
    // The most of a body send() holds in memory; a reply past it fails with responseTooLarge.
    // Far above the largest listing the service sends, so only a broken or hostile reply hits it.
    static constexpr qint64 maximumBodySize = 128 * 1024 * 1024;

    // The whole body is read into memory, at most maximumBodySize bytes. A reply whose
    // Content-Length fields disagree fails with badServerResponse. The body is asked for
    // unencoded and never inflated: a 2xx reply in a content coding fails with
    // badServerResponse before its body is read; another status keeps its body as sent.
    static QCoro::Task<HttpResponse> send(HttpRequest request, std::stop_token stop = {});
    // send(), blocking, for a body in memory: only on a worker of the transfer pool, for work
    // that goes on from the reply without the main thread.
    static HttpResponse sendHere(HttpRequest request, const std::stop_token &stop);
    // The pool whose workers send: work handed to it may call sendHere.
    static QThreadPool &transferPool();

    // Streams a 200 body into a hidden temporary file beside `destinationPath` and renames it
    // over the destination once complete, as expected and synced. Any other status leaves the
    // destination alone and returns the response with the start of its body (up to 64 KiB;
    // a body past maximumBodySize fails with responseTooLarge, as does a redirect's in both
    // calls). The body is asked for and accepted only unencoded (badServerResponse
    // otherwise); a body whose size or SHA-256 differs from `expected` fails with
    // contentMismatch, at its first byte past the expected size at the latest. A failure
    // (transport, short body, mismatch, disk, a destination that changed) removes the
    // temporary file and leaves the destination as it was; a directory at the destination is
    // refused with LocalFileError.
    static QCoro::Task<HttpResponse> download(HttpRequest request, QString destinationPath,
                                              ExpectedDownload expected = {}, std::stop_token stop = {});
};

} // namespace quillmere
