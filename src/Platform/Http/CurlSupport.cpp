#include "Platform/Http/CurlSupport.h"

#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstdio>
#include <array>
#include <mutex>
#include <stdexcept>

namespace quillmere::curl {

namespace {

class SharedConnections
{
public:
    SharedConnections()
    {
        m_share = curl_share_init();
        if (!m_share)
            return;
        curl_share_setopt(m_share, CURLSHOPT_LOCKFUNC, lockShared);
        curl_share_setopt(m_share, CURLSHOPT_UNLOCKFUNC, unlockShared);
        curl_share_setopt(m_share, CURLSHOPT_USERDATA, this);
        curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }

    CURLSH *handle() const { return m_share; }

private:
    // libcurl asks for the lock of each kind of shared data around every use of it.
    static void lockShared(CURL *, curl_lock_data data, curl_lock_access, void *context)
    {
        static_cast<SharedConnections *>(context)->m_locks[slot(data)].lock();
    }
    static void unlockShared(CURL *, curl_lock_data data, void *context)
    {
        static_cast<SharedConnections *>(context)->m_locks[slot(data)].unlock();
    }
    static std::size_t slot(curl_lock_data data)
    {
        return std::min<std::size_t>(std::size_t(data), kLockSlots - 1);
    }

    static constexpr std::size_t kLockSlots = CURL_LOCK_DATA_LAST + 1;
    CURLSH *m_share = nullptr;
    std::array<std::mutex, kLockSlots> m_locks;
};

bool sameName(const QByteArray &a, const char *b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

QThreadPool &transferPool()
{
    static QThreadPool *pool = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(16);
        return created;
    }();
    return *pool;
}

QThreadPool &exchangePool()
{
    static QThreadPool *pool = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(16);
        return created;
    }();
    return *pool;
}

void initialise()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            throw std::runtime_error("libcurl could not be initialised");
    });
}

CURLSH *sharedSessions()
{
    // Made once and kept for the process: what it holds outlives every single transfer.
    static SharedConnections *const shared = new SharedConnections;
    return shared->handle();
}

namespace {

struct ThreadHandles
{
    CURL *easy = nullptr;
    CURLM *multi = nullptr;
    CURL *multiEasy = nullptr;

    ~ThreadHandles()
    {
        if (multi)
            curl_multi_cleanup(multi);
        if (multiEasy)
            curl_easy_cleanup(multiEasy);
        if (easy)
            curl_easy_cleanup(easy);
    }
};

thread_local ThreadHandles handles;

} // namespace

CURL *threadEasyHandle()
{
    if (!handles.easy)
        handles.easy = curl_easy_init();
    else
        curl_easy_reset(handles.easy);
    return handles.easy;
}

ThreadMulti threadMulti()
{
    if (!handles.multi)
        handles.multi = curl_multi_init();
    if (!handles.multiEasy)
        handles.multiEasy = curl_easy_init();
    else
        curl_easy_reset(handles.multiEasy);
    return {handles.multi, handles.multiEasy};
}

TransportError::Code codeFor(CURLcode result, CURL *handle)
{
    if (result != CURLE_PEER_FAILED_VERIFICATION)
        return codeFor(result);
    long verifyResult = X509_V_OK;
    if (curl_easy_getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &verifyResult) != CURLE_OK)
        return TransportError::Code::secureConnectionFailed;
    return certificateCode(verifyResult);
}

TransportError::Code certificateCode(long verifyResult)
{
    using Code = TransportError::Code;
    switch (verifyResult) {
    case X509_V_OK:
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return Code::certificateForAnotherName;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return Code::certificateExpired;
    // A clock behind, or a certificate not in force yet: neither untrusted nor expired.
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return Code::secureConnectionFailed;
    default:
        return Code::certificateUntrusted;
    }
}

TransportError::Code codeFor(CURLcode result)
{
    using Code = TransportError::Code;
    switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return Code::cannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return Code::cannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return Code::timedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
        return Code::secureConnectionFailed;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
    case CURLE_QUIC_CONNECT_ERROR:
    case CURLE_WEIRD_SERVER_REPLY:
    // A request that may have reached the service is never sent a second time: when the
    // connection it went out on closed without an answer, curl would resend it from the
    // start, and refusing the rewind ends the transfer here instead.
    case CURLE_SEND_FAIL_REWIND:
        return Code::connectionLost;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return Code::unsupportedURL;
    case CURLE_ABORTED_BY_CALLBACK:
        return Code::cancelled;
    default:
        return Code::unknown;
    }
}

void collectHeaderLine(QList<HttpHeaders::Field> &fields, const char *data, size_t bytes)
{
    const QByteArray line = QByteArray(data, qsizetype(bytes)).trimmed();
    if (line.startsWith("HTTP/")) {
        fields.clear();
    } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
        fields.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
}

QList<QByteArray> headerLines(const HttpHeaders &headers, bool hasBody)
{
    QList<QByteArray> lines;
    // An empty "Expect:" keeps curl from waiting for a 100 Continue before the body.
    lines.append("Expect:");
    if (!headers.contains("Accept"))
        lines.append("Accept:");
    if (hasBody && !headers.contains("Content-Type"))
        lines.append("Content-Type:");
    for (const auto &[name, value] : headers.fields()) {
        if (sameName(name, "Content-Length") || sameName(name, "Transfer-Encoding"))
            continue;
        if (name.contains('\r') || name.contains('\n') || value.contains('\r') || value.contains('\n'))
            throw std::invalid_argument("a header field may not span lines");
        // "Name;" is curl's way of sending a field with an empty value.
        lines.append(value.isEmpty() ? name + ';' : name + ": " + value);
    }
    return lines;
}

int rewindWithin(qint64 &position, qint64 length, curl_off_t offset, int origin)
{
    if (origin != SEEK_SET || offset < 0 || offset > length)
        return CURL_SEEKFUNC_CANTSEEK;
    position = qint64(offset);
    return CURL_SEEKFUNC_OK;
}

HeaderList makeHeaderList(const QList<QByteArray> &lines)
{
    HeaderList list;
    for (const QByteArray &line : lines) {
        curl_slist *grown = curl_slist_append(list.get(), line.constData());
        if (!grown)
            throw TransportError(TransportError::Code::unknown);
        (void)list.release();
        list.reset(grown);
    }
    return list;
}

void setReplyCallbacks(CURL *handle, curl_write_callback keepBody, curl_write_callback keepHeader,
                       curl_xferinfo_callback progress, void *transfer)
{
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, keepBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, transfer);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, keepHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, transfer);
}

void setCommonOptions(CURL *handle, const QByteArray &url, bool loopback, curl_slist *headers, long connectTimeoutMs)
{
    curl_easy_setopt(handle, CURLOPT_URL, url.constData());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    // No proxy from the environment can reach this machine's own addresses.
    if (loopback)
        curl_easy_setopt(handle, CURLOPT_PROXY, "");
    if (CURLSH *share = sharedSessions())
        curl_easy_setopt(handle, CURLOPT_SHARE, share);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs);
}

HttpResponse finishedResponse(CURL *handle, QList<HttpHeaders::Field> fields, QByteArray body)
{
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status <= 0)
        throw TransportError(TransportError::Code::unknown);
    HttpResponse response;
    response.status = int(status);
    response.headers = HttpHeaders(std::move(fields));
    response.body = std::move(body);
    return response;
}

} // namespace quillmere::curl
