#pragma once

#include "Platform/Http/HttpHeaders.h"
#include "Platform/Http/TransportError.h"

#include <QList>
#include <QThreadPool>

#include <curl/curl.h>

namespace quillmere::curl {

// A transfer holds its worker for as long as the network takes: keep that off the global
// pool, where hashing and copying would wait behind it. Idle workers end after a while.
QThreadPool &transferPool();

// Once per process, before the first handle.
void initialise();

// One connection cache for every transfer, whichever worker runs it: consecutive requests to
// one host reuse an open connection instead of connecting (and for https, shaking hands)
// again. Null when libcurl could not make one: each transfer then connects on its own.
CURLSH *sharedConnections();

TransportError::Code codeFor(CURLcode result);

// The fields of the final reply, from curl's header callback: an interim (1xx) reply's
// fields are dropped when the next status line arrives.
void collectHeaderLine(QList<HttpHeaders::Field> &fields, const char *data, size_t bytes);

// The caller's fields as curl header lines. curl frames the body itself, so a length or
// transfer coding of the caller's is left out; it adds nothing the caller did not ask for
// ("Accept", "Expect" and, for a body, a form "Content-Type" are switched off). Throws
// std::invalid_argument for a field that spans lines.
QList<QByteArray> headerLines(const HttpHeaders &headers, bool hasBody);

struct EasyDeleter
{
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};

struct ListDeleter
{
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

} // namespace quillmere::curl
