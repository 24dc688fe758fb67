#include "Platform/WebAuth/CallbackRouter.h"

#include "Platform/BundleIdentifier.h"

#include <QCoroLocalSocket>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStringDecoder>
#include <QTimer>
#include <QUrlQuery>
#include <QtEndian>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

namespace {

constexpr qsizetype headerBytes = 4;

std::optional<QUrl> readURL(const QByteArray &utf8)
{
    if (utf8.isEmpty() || utf8.size() > CallbackRouter::maximumMessageBytes)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(utf8);
    if (decoder.hasError())
        return std::nullopt;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.scheme().isEmpty())
        return std::nullopt;
    return url;
}

QString stateOf(const QUrl &url)
{
    const QUrlQuery query(url);
    for (const auto &[key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == QLatin1String("state"))
            return value;
    }
    return QString();
}

} // namespace

CallbackRouter::Registration::Registration(Registration &&other) noexcept
    : m_router(std::move(other.m_router)), m_id(std::exchange(other.m_id, 0))
{
}

CallbackRouter::Registration &CallbackRouter::Registration::operator=(Registration &&other) noexcept
{
    if (this != &other) {
        release();
        m_router = std::move(other.m_router);
        m_id = std::exchange(other.m_id, 0);
    }
    return *this;
}

CallbackRouter::Registration::~Registration()
{
    release();
}

void CallbackRouter::Registration::release()
{
    if (m_router && m_id)
        m_router->remove(m_id);
    m_id = 0;
}

CallbackRouter::CallbackRouter(QString endpoint, QObject *parent)
    : QObject(parent), m_endpoint(std::move(endpoint))
{
}

CallbackRouter::~CallbackRouter()
{
    if (m_server) {
        m_server->close(); // removes the socket file
        delete m_server;
    }
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

QString CallbackRouter::defaultEndpoint()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return runtime + QLatin1Char('/') + bundleIdentifier() + QStringLiteral(".socket");
    return QDir::tempPath() + QLatin1Char('/') + bundleIdentifier() + QStringLiteral("-%1.socket").arg(::getuid());
}

CallbackRouter::Claim CallbackRouter::claim()
{
    if (isPrimary())
        return Claim::primary;
    if (m_lockFd < 0) {
        const QByteArray lockPath = QFile::encodeName(m_endpoint + QStringLiteral(".lock"));
        const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return Claim::failed;
        struct stat info {};
        // Someone else's file in a shared temporary folder must not decide for this user.
        if (::fstat(fd, &info) != 0 || info.st_uid != ::getuid()) {
            ::close(fd);
            return Claim::failed;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return errno == EWOULDBLOCK ? Claim::secondary : Claim::failed;
        }
        m_lockFd = fd;
    }

    // Holding the lock, whatever socket is there belongs to an instance that has ended.
    QLocalServer::removeServer(m_endpoint);
    auto *server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(m_endpoint)) {
        delete server;
        return Claim::failed;
    }
    m_server = server;
    connect(m_server, &QLocalServer::newConnection, this, &CallbackRouter::acceptConnections);
    return Claim::primary;
}

CallbackRouter::Registration CallbackRouter::expect(const QString &scheme, const QString &state,
                                                    std::function<void(QUrl)> onCallback)
{
    const quint64 id = m_nextId++;
    m_waiters.push_back(Waiter{id, scheme.toLower(), state, std::move(onCallback)});
    return Registration(this, id);
}

void CallbackRouter::remove(quint64 id)
{
    std::erase_if(m_waiters, [id](const Waiter &waiter) { return waiter.id == id; });
}

bool CallbackRouter::deliver(const QByteArray &utf8)
{
    const auto url = readURL(utf8);
    if (!url)
        return false;
    const QString scheme = url->scheme().toLower();
    std::vector<const Waiter *> candidates;
    for (const Waiter &waiter : m_waiters) {
        if (waiter.scheme == scheme)
            candidates.push_back(&waiter);
    }
    const Waiter *chosen = nullptr;
    if (candidates.size() == 1) {
        // The one sign-in on this scheme judges the state itself and reports a mismatch.
        chosen = candidates.front();
    } else {
        const QString state = stateOf(*url);
        for (const Waiter *candidate : candidates) {
            if (!state.isEmpty() && candidate->state == state) {
                chosen = candidate;
                break;
            }
        }
    }
    if (!chosen)
        return false;
    // One delivery per wait; the callback may end the flow that owns the registration.
    auto onCallback = std::move(chosen->onCallback);
    remove(chosen->id);
    if (onCallback)
        onCallback(*url);
    return true;
}

QByteArray CallbackRouter::frame(const QByteArray &payload)
{
    QByteArray message(headerBytes, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(payload.size()), message.data());
    return message + payload;
}

CallbackRouter::FrameRead CallbackRouter::readFrame(const QByteArray &received)
{
    if (received.size() < headerBytes)
        return {};
    const quint32 length = qFromBigEndian<quint32>(received.constData());
    if (length == 0 || length > quint32(maximumMessageBytes))
        return {FrameRead::Kind::refused, {}};
    if (received.size() - headerBytes < qint64(length))
        return {};
    return {FrameRead::Kind::message, received.mid(headerBytes, qsizetype(length))};
}

void CallbackRouter::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A client that connects and says nothing must not hold its socket for ever.
        QTimer::singleShot(connectionTimeout, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void CallbackRouter::readFrom(QLocalSocket *socket)
{
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    auto answer = [socket](bool taken) {
        socket->setProperty("answered", true);
        socket->write(taken ? "+" : "-");
        socket->disconnectFromServer();
    };
    // At most one whole message is ever looked at: the header and maximumMessageBytes.
    const FrameRead read = readFrame(socket->peek(headerBytes + maximumMessageBytes));
    switch (read.kind) {
    case FrameRead::Kind::incomplete:
        return;
    case FrameRead::Kind::refused:
        socket->readAll();
        answer(false);
        Q_EMIT callbackRefused();
        return;
    case FrameRead::Kind::message:
        break;
    }
    socket->read(headerBytes + read.payload.size());
    const QPointer<CallbackRouter> self(this);
    const bool taken = deliver(read.payload);
    answer(taken);
    if (!taken && self)
        Q_EMIT callbackRefused();
}

QCoro::Task<bool> CallbackRouter::forward(QString url, QString endpoint, std::chrono::milliseconds timeout)
{
    const QByteArray payload = url.toUtf8();
    if (payload.isEmpty() || payload.size() > maximumMessageBytes)
        co_return false;
    QLocalSocket socket;
    if (!co_await qCoro(socket).connectToServer(endpoint, QIODevice::ReadWrite, timeout))
        co_return false;
    socket.write(frame(payload));
    const QByteArray reply = co_await qCoro(socket).read(1, timeout);
    socket.abort();
    co_return reply == "+";
}

} // namespace quillmere
