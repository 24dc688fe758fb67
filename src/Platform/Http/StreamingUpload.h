#pragma once

#include "Platform/Http/HttpHeaders.h"
#include "Platform/Http/HttpResponse.h"

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <optional>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>

namespace quillmere {

// PUTs a slice of a file to an address that needs no credentials of ours (a presigned URL),
// on a worker thread of its own pool with libcurl. All transfers share one connection cache,
// so consecutive PUTs to one host go over a connection kept open between them. Qt would feed the body to its HTTP thread
// from the main thread a small chunk at a time; here the worker reads the file itself.
//
// Every reply that carries an HTTP status is a response, whatever the status (the first
// `replyBodyLimit` bytes of its body are kept, and the transfer ends at the first byte past
// them); redirects are never followed, so a 3xx comes
// back as it is. A transfer that ends without a status throws TransportError: unsupportedURL
// for an address that is not https (or http to a loopback host), cancelled once `stop` is
// requested, timedOut when no byte moves in either direction for `inactivity`. A file that
// cannot be opened or read, or that ends before the slice does, throws LocalFileError: a
// short body is never sent.
class StreamingUpload
{
public:
    static constexpr qsizetype replyBodyLimit = 64 * 1024;

    // How much of a file that is still being written a PUT may send. Nothing goes (not even
    // the request) before the first release, and the body is read only up to what was
    // released; its last `heldBack` bytes (at least one) go only after `releaseAll()`, so the
    // service never receives a complete body before the owner has checked the whole file.
    // `refuse()` ends the PUT mid-body: the service stores nothing. Any thread.
    class Gate
    {
    public:
        Gate(qint64 length, qint64 heldBack)
            : m_length(length), m_releasable(length - std::max<qint64>(heldBack, 1))
        {
        }

        qint64 length() const { return m_length; }
        // The first `bytes` bytes may go, short of the part held back.
        void release(qint64 bytes);
        void releaseAll();
        // Does nothing after releaseAll().
        void refuse();

        // On the PUT's worker: how many bytes may go (at most `length()`), waiting until
        // that is more than `sent`. Nothing once refused or stopped.
        std::optional<qint64> waitBeyond(qint64 sent, const std::stop_token &stop);

    private:
        const qint64 m_length;
        const qint64 m_releasable;
        std::mutex m_mutex;
        std::condition_variable_any m_changed;
        qint64 m_released = 0;
        bool m_whole = false;
        bool m_refused = false;
    };

    static QCoro::Task<HttpResponse> put(QUrl url, HttpHeaders headers, QString filePath, qint64 offset,
                                         qint64 length, std::stop_token stop,
                                         std::chrono::milliseconds inactivity = std::chrono::seconds(60));

    // A body already in memory (a small file read and hashed in one go), blocking, on a worker
    // of the transfer pool: what is sent is exactly these bytes. `beforeSending`, when set,
    // runs just before the request starts; whatever it throws ends the call with nothing sent.
    static HttpResponse putBytesHere(const QUrl &url, const HttpHeaders &headers, QByteArray body,
                                     const std::stop_token &stop, std::chrono::milliseconds inactivity,
                                     const std::function<void()> &beforeSending);

    // The whole of a file that another thread is still writing, as far as `gate` allows. The
    // request starts, and the file is opened, once the first bytes are released (the file need
    // not exist before). A refused gate throws TransportError(cancelled), like a stop.
    static QCoro::Task<HttpResponse> putGrowing(QUrl url, HttpHeaders headers, QString filePath,
                                                std::shared_ptr<Gate> gate, std::stop_token stop,
                                                std::chrono::milliseconds inactivity = std::chrono::seconds(60));
};

} // namespace quillmere
