#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QLocalServer;
class QLocalSocket;

namespace quillmere {

// The single-instance guard and the way sign-in callbacks reach the running instance.
//
// The desktop entry registers the application for its URL schemes, so the browser starts a
// second process with the callback URL. That process finds the instance already claimed,
// forwards the URL over a per-user local socket and exits. The running instance hands the URL
// to the web sign-in waiting for that scheme (by "state" when several wait); anything else is
// dropped.
//
// Wire format, one message per connection: a 4-byte big-endian length, then the URL as UTF-8;
// the instance answers one byte, '+' taken or '-' refused, and closes. Main thread.
class CallbackRouter : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype maximumMessageBytes = 8 * 1024;
    static constexpr std::chrono::milliseconds connectionTimeout{5000};

    enum class Claim {
        primary,   // this process is the instance and listens for callbacks
        secondary, // another instance runs: forward to it and exit
        failed,    // neither: the lock or the socket could not be made
    };

    // A pending web sign-in. Destroying it stops the wait; a callback is delivered at most once.
    class Registration
    {
    public:
        Registration() = default;
        Registration(Registration &&other) noexcept;
        Registration &operator=(Registration &&other) noexcept;
        Registration(const Registration &) = delete;
        Registration &operator=(const Registration &) = delete;
        ~Registration();

    private:
        friend class CallbackRouter;
        Registration(CallbackRouter *router, quint64 id) : m_router(router), m_id(id) {}
        void release();
        QPointer<CallbackRouter> m_router;
        quint64 m_id = 0;
    };

    // `endpoint`: the socket's path; the lock file sits beside it with ".lock" appended.
    explicit CallbackRouter(QString endpoint = defaultEndpoint(), QObject *parent = nullptr);
    ~CallbackRouter() override;

    // $XDG_RUNTIME_DIR/app.quillmere.Quillmere.socket, or a per-user name in the temporary
    // folder when there is no runtime folder.
    static QString defaultEndpoint();
    const QString &endpoint() const { return m_endpoint; }

    // Takes the per-user lock and listens. The lock, not the socket, decides: a socket left by
    // a crashed instance is removed, since the kernel released that instance's lock.
    Claim claim();
    bool isPrimary() const { return m_lockFd >= 0 && m_server; }

    // Waits for one callback on `scheme` (compared without case). `state` picks this waiter
    // when several wait on the same scheme.
    Registration expect(const QString &scheme, const QString &state, std::function<void(QUrl)> onCallback);

    // Hands a callback to its waiter; false when the text is not a URL or nobody takes it.
    bool deliver(const QByteArray &utf8);

    // In the second process: sends the URL to the running instance. True when it took it.
    static QCoro::Task<bool> forward(QString url, QString endpoint = defaultEndpoint(),
                                     std::chrono::milliseconds timeout = connectionTimeout);

    // A framed message as forward() sends it.
    static QByteArray frame(const QByteArray &payload);

    // What the bytes received so far on one connection hold.
    struct FrameRead
    {
        enum class Kind {
            incomplete, // wait for more
            refused,    // a length of 0 or above maximumMessageBytes: answer '-' and close
            message,    // `payload` is the message
        };
        Kind kind = Kind::incomplete;
        QByteArray payload;
    };
    static FrameRead readFrame(const QByteArray &received);

Q_SIGNALS:
    // A message was refused: oversized, unreadable, or no waiting sign-in wanted it.
    void callbackRefused();

private:
    struct Waiter
    {
        quint64 id;
        QString scheme;
        QString state;
        std::function<void(QUrl)> onCallback;
    };

    void acceptConnections();
    void readFrom(QLocalSocket *socket);
    void remove(quint64 id);

    QString m_endpoint;
    int m_lockFd = -1;
    QLocalServer *m_server = nullptr;
    std::vector<Waiter> m_waiters;
    quint64 m_nextId = 1;
};

} // namespace quillmere
