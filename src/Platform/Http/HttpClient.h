#pragma once

#include "Platform/Http/HttpRequest.h"
#include "Platform/Http/HttpResponse.h"

#include <QCoroTask>
#include <QString>

#include <stop_token>

namespace quillmere {

// Requests over the process's one network manager, on the main thread.
//
// Every reply that carries an HTTP status is a response, whatever the status; a transfer that
// ends without one throws TransportError. A stop request aborts the transfer and ends the
// call with TransportError cancelled. Redirects are followed here (at most 10), never by Qt.
class HttpClient
{
public:
    static constexpr int maximumRedirects = 10;

    // The whole body is read into memory.
    static QCoro::Task<HttpResponse> send(HttpRequest request, std::stop_token stop = {});

    // Streams a 200 body into a hidden temporary file beside `destinationPath` and renames it
    // over the destination once complete and synced. Any other status leaves the destination
    // alone and returns the response with the start of its body (up to 64 KiB). A failure
    // (transport, short body, disk) removes the temporary file and leaves the destination as
    // it was; a directory at the destination is refused with LocalFileError.
    static QCoro::Task<HttpResponse> download(HttpRequest request, QString destinationPath, std::stop_token stop = {});
};

} // namespace quillmere
