#pragma once

#include "Platform/Http/HttpRequest.h"
#include "Platform/Http/HttpResponse.h"

#include <QCoroTask>

#include <stop_token>

namespace quillmere {

// One request whose body is in memory (`request.body`; a body device is refused), with its
// reply read whole into memory, over libcurl on a worker of the exchange pool (never behind
// the transfer pool's long PUTs); the caller
// resumes on its own thread once. Requests share one connection cache, so a conversation with
// the service goes over connections kept open between requests, and nothing of it touches the
// main thread but the call and its answer.
//
// Redirects come back as they are (never followed). Every reply with a status is a response;
// a body past `bodyLimit` (declared or received) throws TransportError(responseTooLarge), and
// a body is never decoded. A request goes out once: a connection that closes before any
// answer ends the call with connectionLost (only GET and HEAD, which change nothing, may be
// sent again on a fresh connection). A stop ends the transfer at once with cancelled; no byte
// moving either way for `request.inactivityTimeout` ends it with timedOut.
QCoro::Task<HttpResponse> curlExchange(HttpRequest request, qint64 bodyLimit, std::stop_token stop);

// The same exchange, blocking, on the calling thread: for work already on a worker of the
// transfer pool that goes on from the reply without the main thread.
HttpResponse curlExchangeHere(HttpRequest request, qint64 bodyLimit, const std::stop_token &stop);

} // namespace quillmere
