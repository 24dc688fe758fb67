#pragma once

#include "Platform/Http/HttpHeaders.h"
#include "Platform/Http/HttpResponse.h"
#include "Platform/Http/TransportError.h"

#include <QList>
#include <QThreadPool>

#include <curl/curl.h>

#include <chrono>
#include <memory>

namespace quillmere::curl {

// A transfer holds its worker for as long as the network takes: keep that off the global
// pool, where hashing and copying would wait behind it. Idle workers end after a while.
QThreadPool &transferPool();
// The service's short requests (token renewals, the change feed, confirmations) each hold a
// worker for one exchange: they get workers of their own, so uploads that take every
// transfer worker for minutes never keep a renewal or the feed waiting.
QThreadPool &exchangePool();

// Once per process, before the first handle.
void initialise();

// DNS answers and TLS sessions shared by every transfer, whichever worker runs it (libcurl
// locks them through our callbacks). Null when libcurl could not make one.
CURLSH *sharedSessions();

// The handles of the calling worker thread, kept for as long as the thread lives and reset for
// each transfer. Open connections live in them (libcurl does not support sharing connections
// between threads), so consecutive requests a thread sends to one host go over a connection
// kept open instead of connecting (and for https, shaking hands) again. Null when libcurl
// could not make one.
CURL *threadEasyHandle();
struct ThreadMulti
{
    CURLM *multi = nullptr;
    CURL *easy = nullptr;
};
ThreadMulti threadMulti();

TransportError::Code codeFor(CURLcode result);
// The same for a transfer of `handle` that ended with `result`: a refused certificate says
// why, from the handshake's verification result.
TransportError::Code codeFor(CURLcode result, CURL *handle);
// An OpenSSL verification result (X509_V_*) of a refused certificate; X509_V_OK means the
// chain was trusted and curl's own check of the name refused it.
TransportError::Code certificateCode(long verifyResult);

// The fields of the final reply, from curl's header callback: an interim (1xx) reply's
// fields are dropped when the next status line arrives.
void collectHeaderLine(QList<HttpHeaders::Field> &fields, const char *data, size_t bytes);

// The caller's fields as curl header lines. curl frames the body itself, so a length or
// transfer coding of the caller's is left out; it adds nothing the caller did not ask for
// ("Accept", "Expect" and, for a body, a form "Content-Type" are switched off). Throws
// std::invalid_argument for a field that spans lines.
QList<QByteArray> headerLines(const HttpHeaders &headers, bool hasBody);

// When bytes last moved either way, from curl's progress callback: the inactivity time-out
// counts from there.
struct Movement
{
    curl_off_t sent = -1;
    curl_off_t received = -1;
    std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();

    // True when the counts moved since the last call (and `at` is now `now`).
    bool note(curl_off_t nowSent, curl_off_t nowReceived, std::chrono::steady_clock::time_point now)
    {
        if (nowSent == sent && nowReceived == received)
            return false;
        sent = nowSent;
        received = nowReceived;
        at = now;
        return true;
    }
};

// curl's seek callback for a body of `length` bytes read from `position`: only a seek from
// the start, within the body.
int rewindWithin(qint64 &position, qint64 length, curl_off_t offset, int origin);

struct ListDeleter
{
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// The lines as curl's list; TransportError(unknown) when curl cannot make it.
HeaderList makeHeaderList(const QList<QByteArray> &lines);

// What every transfer of ours sets: the address (http and https only, never a redirect
// followed, never a proxy for this machine's own addresses), the shared sessions, the header
// lines, and a connection that must be made within `connectTimeoutMs`.
void setCommonOptions(CURL *handle, const QByteArray &url, bool loopback, curl_slist *headers, long connectTimeoutMs);

// Where a transfer's reply goes: its body, its header lines, and the progress calls (made
// while bytes move and about once a second while none do), each handed `transfer`.
void setReplyCallbacks(CURL *handle, curl_write_callback keepBody, curl_write_callback keepHeader,
                       curl_xferinfo_callback progress, void *transfer);

// The response of a transfer that ended well: its status (TransportError(unknown) without
// one), the final reply's fields and the body kept.
HttpResponse finishedResponse(CURL *handle, QList<HttpHeaders::Field> fields, QByteArray body);

} // namespace quillmere::curl
