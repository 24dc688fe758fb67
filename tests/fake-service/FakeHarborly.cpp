#include "fake-service/FakeHarborly.h"

#include "fake-service/FakeRoutes.h"

#include <httplib.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <limits>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>

namespace quillmere::test {

namespace {

// Counts a request as held for its life, and the most held at once.
struct HeldCount
{
    std::atomic<int> &now;
    HeldCount(std::atomic<int> &now, std::atomic<int> &most) : now(now)
    {
        const int count = ++now;
        int seen = most.load();
        while (count > seen && !most.compare_exchange_weak(seen, count)) {
        }
    }
    ~HeldCount() { --now; }
    HeldCount(const HeldCount &) = delete;
    HeldCount &operator=(const HeldCount &) = delete;
};

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Query text as a form decoder reads it: "+" is a space, so a client that leaves "+"
// unencoded is caught.
std::string decodeQueryPart(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

FakeRequest toFakeRequest(const httplib::Request &req)
{
    FakeRequest request;
    request.method = req.method;
    request.path = req.path;
    const size_t mark = req.target.find('?');
    if (mark != std::string::npos) {
        request.query = req.target.substr(mark + 1);
        size_t start = 0;
        while (start <= request.query.size()) {
            const size_t end = std::min(request.query.find('&', start), request.query.size());
            const std::string item = request.query.substr(start, end - start);
            if (!item.empty()) {
                const size_t equals = item.find('=');
                if (equals == std::string::npos)
                    request.queryItems.emplace_back(decodeQueryPart(item), std::string());
                else
                    request.queryItems.emplace_back(decodeQueryPart(item.substr(0, equals)),
                                                    decodeQueryPart(item.substr(equals + 1)));
            }
            start = end + 1;
        }
    }
    for (const auto &[name, value] : req.headers) {
        // cpp-httplib adds these itself; they are not what the client sent.
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT")
            continue;
        request.headers.emplace_back(name, value);
    }
    // Undo the form body's disguise (see start()): the log shows what the client sent.
    const auto raw = req.headers.find("X-Fake-Raw-Content-Type");
    if (raw != req.headers.end()) {
        std::erase_if(request.headers, [](const auto &header) {
            return QByteArray::fromStdString(header.first).compare("Content-Type", Qt::CaseInsensitive) == 0
                   || header.first == "X-Fake-Raw-Content-Type";
        });
        request.headers.emplace_back("Content-Type", raw->second);
    }
    const auto encoding = req.headers.find("X-Fake-Raw-Accept-Encoding");
    if (encoding != req.headers.end()) {
        std::erase_if(request.headers, [](const auto &header) { return header.first == "X-Fake-Raw-Accept-Encoding"; });
        request.headers.emplace_back("Accept-Encoding", encoding->second);
    }
    request.body = req.body;
    return request;
}

int portOf(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    return -1;
}

// Calls `visit` with each connected socket of this process whose local port is `localPort`,
// and its peer's port, until it returns false. A fake that cannot look through its descriptors
// cannot drop a connection or stop: it stops the run rather than carry on as if it had.
void forEachConnection(int localPort, const std::function<bool(int fd, int remotePort)> &visit)
{
    DIR *fds = opendir("/proc/self/fd");
    if (!fds) {
        std::perror("the fake service cannot list its connections");
        std::abort();
    }
    while (const dirent *entry = readdir(fds)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || fd == dirfd(fds))
            continue;
        sockaddr_storage local{}, peer{};
        socklen_t localSize = sizeof local, peerSize = sizeof peer;
        if (getsockname(int(fd), reinterpret_cast<sockaddr *>(&local), &localSize) != 0
            || getpeername(int(fd), reinterpret_cast<sockaddr *>(&peer), &peerSize) != 0)
            continue;
        if (portOf(local) == localPort && !visit(int(fd), portOf(peer)))
            break;
    }
    closedir(fds);
}

// cpp-httplib always answers once a handler returns (an empty 200 when the handler set
// nothing), so closing a connection without an answer means shutting down the server's end of
// that socket: found among our descriptors by its two ports. The server then fails to write
// its answer and closes the descriptor itself. The handler's socket stays open until it
// returns, so it goes unfound only once its peer is gone; even then the answer left behind is
// one no client can take for a reply: a status whose body never comes.
void abortConnection(const httplib::Request &request, httplib::Response &response)
{
    bool shut = false;
    forEachConnection(request.local_port, [&shut, remotePort = request.remote_port](int fd, int peerPort) {
        if (peerPort != remotePort)
            return true;
        shut = shutdown(fd, SHUT_RDWR) == 0;
        return false;
    });
    if (shut)
        return;
    std::fprintf(stderr, "the fake service found no connection from port %d to drop\n", request.remote_port);
    response.status = 500;
    response.set_content_provider(1, "application/octet-stream",
                                  [](size_t, size_t, httplib::DataSink &) { return false; });
}

// Fills `content` from the pieces an upload was kept in, for a caller outside the fake.
void joinReceived(FakeLibraryFile &file)
{
    if (file.received.empty())
        return;
    file.content = QByteArray();
    if (file.received.size() == 1) {
        file.content = file.received.front().bytes();
        return;
    }
    for (const FakeReceivedBody &piece : file.received)
        piece.forEachBlock([&file](const char *data, qsizetype length) { file.content.append(data, length); });
}

} // namespace

FakeHarborly::FakeHarborly()
{
    addAuthRoutes(m_router, m_state);
    addLibraryRoutes(m_router, m_state);
    addSyncFolderRoutes(m_router, m_state);
    addAccountRoutes(m_router, m_state);
    addWebSignInRoutes(m_router, m_state);
    addTransferRoutes(m_router, m_state);
    addUploadRoutes(m_router, m_state);
    addOnboardingRoutes(m_router, m_state);
}

FakeHarborly::~FakeHarborly()
{
    stop();
}

void FakeHarborly::start(int port, const std::string &host)
{
    if (m_thread.joinable())
        return;
    // A client that goes away mid-body must not kill the process with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    m_stopping = false;
    m_host = host;
    m_server = std::make_unique<httplib::Server>();
    // Connections stay open for further requests, as the real service keeps them: a fresh
    // connection per request would weigh on what a benchmark measures. Each open connection
    // holds a worker while it waits, hence the large pool; stop() shuts idle ones.
    m_server->set_keep_alive_max_count(std::numeric_limits<int>::max());
    m_server->set_keep_alive_timeout(30);
    m_server->new_task_queue = [] { return new httplib::ThreadPool(64); };
    m_server->set_tcp_nodelay(true);
    const auto handler = [this](const httplib::Request &request, httplib::Response &response) { handle(request, response); };
    m_server->set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &) {
        markBusy(request.remote_port, true);
        auto &writable = const_cast<httplib::Request &>(request);
        // cpp-httplib parses a form body into parts and keeps no raw bytes; the form upload's
        // byte-exact check needs them, so the type is hidden from it before the body is read.
        const auto type = writable.headers.find("Content-Type");
        if (type != writable.headers.end() && type->second.rfind("multipart/form-data", 0) == 0) {
            writable.headers.emplace("X-Fake-Raw-Content-Type", type->second);
            type->second = "application/octet-stream";
        }
        // cpp-httplib compresses a reply when the request accepts it; hiding the header is the
        // one way to keep it from doing so.
        const auto encoding = writable.headers.find("Accept-Encoding");
        if (!m_compressReplies && encoding != writable.headers.end()) {
            const std::string accepted = encoding->second;
            writable.headers.erase(encoding);
            writable.headers.emplace("X-Fake-Raw-Accept-Encoding", accepted);
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // Called once a reply has been written: the connection waits idle from here on.
    m_server->set_logger([this](const httplib::Request &request, const httplib::Response &) {
        markBusy(request.remote_port, false);
    });
    m_server->Get(".*", handler);
    m_server->Post(".*", handler);
    m_server->Put(".*", handler);
    m_server->Patch(".*", handler);
    m_server->Delete(".*", handler);
    // Bodies of PUTs to presigned URLs are streamed, never held whole.
    m_server->Put("/storage/.*", [this](const httplib::Request &request, httplib::Response &response,
                                        const httplib::ContentReader &reader) {
        handleUpload(request, response, [&reader](const std::function<bool(const char *, size_t)> &receive) {
            return reader(receive);
        });
    });

    if (port == 0) {
        m_port = m_server->bind_to_any_port(host);
        if (m_port < 0)
            throw std::runtime_error("the fake service cannot listen on " + host);
    } else {
        if (!m_server->bind_to_port(host, port))
            throw std::runtime_error("the fake service cannot listen on " + host + ":" + std::to_string(port));
        m_port = port;
    }
    {
        std::lock_guard lock(m_state.mutex);
        m_state.baseURL = baseURL().toString();
    }
    m_serverEnded = false;
    m_thread = std::thread([this] {
        m_server->listen_after_bind();
        m_serverEnded = true;
    });
    // stop() only reaches a server that has entered its accept loop.
    while (!m_server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void FakeHarborly::stop()
{
    m_stopping = true;
    if (m_thread.joinable()) {
        m_server->stop();
        // The server ends once its workers do; one on a kept-alive connection waits for a
        // request that will not come, so idle connections are shut down (a reply being
        // written is left to finish, for a while) until every worker has ended.
        const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!m_serverEnded) {
            shutDownIdleConnections(std::chrono::steady_clock::now() > patience);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m_thread.join();
    }
}

void FakeHarborly::setCompressReplies(bool compress)
{
    m_compressReplies = compress;
}

void FakeHarborly::markBusy(int remotePort, bool busy)
{
    std::lock_guard lock(m_busyMutex);
    if (busy) {
        ++m_busyPorts[remotePort];
    } else if (const auto found = m_busyPorts.find(remotePort); found != m_busyPorts.end() && --found->second <= 0) {
        m_busyPorts.erase(found);
    }
}

void FakeHarborly::shutDownIdleConnections(bool busyToo)
{
    std::map<int, int> busy;
    {
        std::lock_guard lock(m_busyMutex);
        busy = m_busyPorts;
    }
    forEachConnection(m_port, [&busy, busyToo](int fd, int remotePort) {
        if (busyToo || !busy.count(remotePort))
            shutdown(fd, SHUT_RDWR);
        return true;
    });
}

QUrl FakeHarborly::baseURL() const
{
    const std::string host = m_host == "0.0.0.0" || m_host.empty() ? std::string("127.0.0.1") : m_host;
    return QUrl(QStringLiteral("http://%1:%2").arg(QString::fromStdString(host)).arg(m_port));
}

QUrl FakeHarborly::url(const QString &path) const
{
    return QUrl(baseURL().toString() + path);
}

bool FakeHarborly::pause(std::chrono::milliseconds duration) const
{
    const HeldCount counted(m_delayed, m_mostDelayed);
    const auto until = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < until) {
        if (m_stopping)
            return false;
        std::this_thread::sleep_for(std::min(std::chrono::milliseconds(5), duration));
    }
    return !m_stopping;
}

bool FakeHarborly::gather(const FakeRequest &request)
{
    std::unique_lock lock(m_gatherMutex);
    const std::shared_ptr<Gathering> gathering = m_gathering;
    if (!gathering || gathering->open)
        return true;
    FakeFault match;
    match.path = gathering->path;
    if (!match.matches(request.method, request.path))
        return true;
    const HeldCount counted(m_delayed, m_mostDelayed);
    const auto arrival = std::chrono::steady_clock::now();
    if (gathering->arrived++ == 0)
        gathering->firstArrival = arrival;
    gathering->lastArrival = arrival;
    m_gatherChanged.notify_all();
    while (!gathering->open) {
        if (m_stopping)
            return false;
        const auto now = std::chrono::steady_clock::now();
        const bool together = gathering->arrived >= gathering->count && now - gathering->lastArrival >= gathering->settle;
        if (together || now - gathering->firstArrival >= gathering->patience) {
            gathering->open = true;
            m_gatherChanged.notify_all();
            break;
        }
        // Short waits: a stop of the fake is not announced here.
        m_gatherChanged.wait_for(lock, std::chrono::milliseconds(5));
    }
    return !m_stopping;
}

FakeHarborly::AppliedFaults FakeHarborly::takeFaults(const FakeRequest &request)
{
    AppliedFaults applied;
    std::lock_guard lock(m_faultMutex);
    for (FakeFault &fault : m_faults) {
        if (fault.remaining == 0 || !fault.matches(request.method, request.path))
            continue;
        std::optional<FakeFault> *slot = nullptr;
        switch (fault.kind) {
        case FakeFault::Kind::answer: slot = &applied.answer; break;
        case FakeFault::Kind::delay: slot = &applied.delay; break;
        case FakeFault::Kind::drop: slot = &applied.drop; break;
        case FakeFault::Kind::cutBody: slot = &applied.cutBody; break;
        case FakeFault::Kind::trickle: slot = &applied.trickle; break;
        }
        if (slot->has_value())
            continue;
        *slot = fault;
        if (fault.remaining > 0)
            --fault.remaining;
    }
    m_faults.erase(std::remove_if(m_faults.begin(), m_faults.end(), [](const FakeFault &f) { return f.remaining == 0; }),
                   m_faults.end());
    return applied;
}

void FakeHarborly::log(const FakeRequest &request, int status)
{
    if (m_observer)
        m_observer(request);
    LoggedRequest entry;
    static_cast<FakeRequest &>(entry) = request;
    entry.status = status;
    std::lock_guard lock(m_logMutex);
    m_log.push_back(std::move(entry));
}

void FakeHarborly::handle(const httplib::Request &req, httplib::Response &res)
{
    FakeRequest request = toFakeRequest(req);
    const AppliedFaults faults = takeFaults(request);
    const auto hangUp = [&] {
        log(request, 0);
        abortConnection(req, res);
    };
    if (!gather(request))
        return hangUp();

    const bool delayAnswer = faults.delay && faults.delay->afterHandling;
    if (faults.delay && !delayAnswer && !pause(faults.delay->pause))
        return hangUp();
    if (faults.drop && !faults.drop->afterHandling)
        return hangUp();

    FakeReply reply;
    if (faults.answer) {
        reply.status = faults.answer->status;
        reply.body = faults.answer->body;
        reply.headers = faults.answer->headers;
        if (reply.body.empty())
            reply.contentType.clear();
    } else {
        reply = m_router.dispatch(request);
    }
    if (delayAnswer && !pause(faults.delay->pause))
        return hangUp();
    if (faults.drop)
        return hangUp();
    log(request, reply.status);
    write(std::move(reply), faults, res);
}

void FakeHarborly::write(FakeReply reply, const AppliedFaults &faults, httplib::Response &response)
{
    response.status = reply.status;
    for (const auto &[name, value] : reply.headers)
        response.set_header(name, value);

    size_t total = reply.body.size();
    if (!reply.bodyPath.isEmpty()) {
        std::ifstream probe(reply.bodyPath.toStdString(), std::ios::binary | std::ios::ate);
        total = probe ? size_t(probe.tellg()) : 0;
    } else if (!reply.bodyPieces.empty()) {
        total = 0;
        for (const FakeReceivedBody &piece : reply.bodyPieces)
            total += size_t(piece.size);
    }
    const bool streamed = !reply.bodyPath.isEmpty() || !reply.bodyPieces.empty() || faults.cutBody || faults.trickle;
    if (!streamed || total == 0) {
        if (!reply.body.empty() || !reply.contentType.empty())
            response.set_content(reply.body, reply.contentType);
        return;
    }

    struct Source
    {
        std::string body;
        std::ifstream file;
        std::vector<FakeReceivedBody> pieces;

        // Up to `n` bytes from `offset` into `into`; false when they cannot be read.
        bool read(size_t offset, char *into, size_t n)
        {
            if (file.is_open()) {
                file.seekg(std::streamoff(offset));
                return bool(file.read(into, std::streamsize(n)));
            }
            for (const FakeReceivedBody &piece : pieces) {
                if (n == 0)
                    break;
                if (offset >= size_t(piece.size)) {
                    offset -= size_t(piece.size);
                    continue;
                }
                const qint64 got = piece.readAt(qint64(offset), into, qint64(std::min(n, size_t(piece.size) - offset)));
                if (got <= 0)
                    return false;
                into += got;
                n -= size_t(got);
                offset = 0;
            }
            return n == 0;
        }
    };
    auto source = std::make_shared<Source>();
    source->body = std::move(reply.body);
    source->pieces = std::move(reply.bodyPieces);
    if (!reply.bodyPath.isEmpty())
        source->file.open(reply.bodyPath.toStdString(), std::ios::binary);
    const bool inMemory = reply.bodyPath.isEmpty() && source->pieces.empty();
    const size_t limit = faults.cutBody ? std::min(faults.cutBody->bytes, total) : total;
    const size_t chunk = faults.trickle ? std::max<size_t>(faults.trickle->bytes, 1) : size_t(256 * 1024);
    const std::chrono::milliseconds gap = faults.trickle ? faults.trickle->pause : std::chrono::milliseconds(0);

    response.set_content_provider(
        total, reply.contentType.empty() ? "application/octet-stream" : reply.contentType,
        [this, source, inMemory, limit, chunk, gap](size_t offset, size_t length, httplib::DataSink &sink) {
            if (offset >= limit)
                return false; // cut short: the server closes the connection
            if (gap.count() > 0 && offset > 0 && !pause(gap))
                return false;
            const size_t n = std::min({length, chunk, limit - offset});
            if (inMemory)
                return sink.write(source->body.data() + offset, n);
            std::string buffer(n, '\0');
            if (!source->read(offset, buffer.data(), n))
                return false;
            return sink.write(buffer.data(), n);
        });
}

// --- Accounts and tokens

qint64 FakeHarborly::addAccount(FakeAccount account)
{
    std::lock_guard lock(m_state.mutex);
    if (account.id == 0)
        account.id = m_state.nextAccountId++;
    else
        m_state.nextAccountId = std::max(m_state.nextAccountId, account.id + 1);
    m_state.accounts[account.id] = account;
    return account.id;
}

std::optional<FakeAccount> FakeHarborly::account(qint64 id) const
{
    std::lock_guard lock(m_state.mutex);
    const auto found = m_state.accounts.find(id);
    if (found == m_state.accounts.end())
        return std::nullopt;
    return found->second;
}

void FakeHarborly::updateAccount(qint64 id, const std::function<void(FakeAccount &)> &change)
{
    std::lock_guard lock(m_state.mutex);
    const auto found = m_state.accounts.find(id);
    if (found != m_state.accounts.end()) {
        change(found->second);
        found->second.id = id;
    }
}

QString FakeHarborly::issueToken(qint64 accountId, QDateTime expiresAt)
{
    std::lock_guard lock(m_state.mutex);
    return m_state.issueTokenLocked(accountId, expiresAt);
}

std::optional<FakeToken> FakeHarborly::token(const QString &token) const
{
    std::lock_guard lock(m_state.mutex);
    const auto found = m_state.tokens.find(token);
    if (found == m_state.tokens.end())
        return std::nullopt;
    return found->second;
}

std::vector<FakeToken> FakeHarborly::tokens(qint64 accountId) const
{
    std::lock_guard lock(m_state.mutex);
    std::vector<FakeToken> result;
    for (const auto &[text, token] : m_state.tokens)
        if (token.accountId == accountId)
            result.push_back(token);
    return result;
}

void FakeHarborly::expireToken(const QString &token)
{
    std::lock_guard lock(m_state.mutex);
    const auto found = m_state.tokens.find(token);
    if (found != m_state.tokens.end())
        found->second.accepted = false;
}

void FakeHarborly::revokeToken(const QString &token)
{
    std::lock_guard lock(m_state.mutex);
    const auto found = m_state.tokens.find(token);
    if (found != m_state.tokens.end())
        found->second.revoked = true;
}

void FakeHarborly::setTokenLifetime(std::chrono::seconds lifetime)
{
    std::lock_guard lock(m_state.mutex);
    m_state.tokenLifetime = lifetime;
}

void FakeHarborly::setRotateTokensOnRefresh(bool rotate)
{
    std::lock_guard lock(m_state.mutex);
    m_state.rotateTokensOnRefresh = rotate;
}

void FakeHarborly::setResetFolderByKindOnly(bool byKindOnly)
{
    std::lock_guard lock(m_state.mutex);
    m_state.resetFolderByKindOnly = byKindOnly;
}

void FakeHarborly::setChangesPageSize(int entries)
{
    std::lock_guard lock(m_state.mutex);
    m_state.changesPageSize = std::max(0, entries);
}

void FakeHarborly::setDeletesNameIdOnly(bool idOnly)
{
    std::lock_guard lock(m_state.mutex);
    m_state.deletesNameIdOnly = idOnly;
}

void FakeHarborly::moveAccount(qint64 accountId, const QString &shardId, ShardHint hint)
{
    std::lock_guard lock(m_state.mutex);
    const auto found = m_state.accounts.find(accountId);
    if (found != m_state.accounts.end()) {
        found->second.shardId = shardId;
        found->second.shardHint = hint;
    }
}

// --- Device link

std::vector<FakeDeviceCode> FakeHarborly::deviceCodes() const
{
    std::lock_guard lock(m_state.mutex);
    return m_state.deviceCodes;
}

bool FakeHarborly::approveDevice(const QString &userCode, qint64 accountId)
{
    std::lock_guard lock(m_state.mutex);
    for (FakeDeviceCode &code : m_state.deviceCodes) {
        if (code.userCode == userCode) {
            code.state = FakeDeviceCode::State::approved;
            code.accountId = accountId;
            return true;
        }
    }
    return false;
}

bool FakeHarborly::setDeviceCodeState(const QString &userCode, FakeDeviceCode::State state)
{
    std::lock_guard lock(m_state.mutex);
    for (FakeDeviceCode &code : m_state.deviceCodes) {
        if (code.userCode == userCode) {
            code.state = state;
            return true;
        }
    }
    return false;
}

// --- Library

qint64 FakeHarborly::addFile(FakeLibraryFile file)
{
    FakeServiceState::measure(file); // hashes: outside the lock
    std::lock_guard lock(m_state.mutex);
    return m_state.addFileLocked(std::move(file));
}

bool FakeHarborly::updateFile(qint64 id, const std::function<void(FakeLibraryFile &)> &change)
{
    std::lock_guard lock(m_state.mutex);
    const auto found = m_state.files.find(id);
    if (found == m_state.files.end())
        return false;
    const FakeLibraryFile &before = found->second;
    FakeLibraryFile file = before;
    joinReceived(file);
    const QByteArray contentBefore = file.content;
    change(file);
    file.id = id;
    file.accountId = before.accountId;
    if (file.content != contentBefore) {
        file.received.clear();
        if (file.contentPath.isEmpty()) {
            file.fileSize = file.content.size();
            file.checksum = FakeSha256::hexOf(file.content);
        }
    } else if (!before.received.empty()) {
        file.content.clear(); // the bytes stay as they were received
    }
    if (file.updatedAt == before.updatedAt)
        file.updatedAt = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
    m_state.files.put(file);
    m_state.recordChangeLocked(QStringLiteral("updated"), file);
    return true;
}

bool FakeHarborly::removeFile(qint64 id)
{
    std::lock_guard lock(m_state.mutex);
    if (!m_state.files.count(id))
        return false;
    m_state.deleteFileLocked(id);
    return true;
}

std::optional<FakeLibraryFile> FakeHarborly::file(qint64 id) const
{
    std::optional<FakeLibraryFile> found;
    {
        std::lock_guard lock(m_state.mutex);
        const auto at = m_state.files.find(id);
        if (at == m_state.files.end())
            return std::nullopt;
        found = at->second;
    }
    joinReceived(*found); // received pieces never change: read outside the lock
    return found;
}

std::vector<FakeLibraryFile> FakeHarborly::files(qint64 accountId) const
{
    std::vector<FakeLibraryFile> result;
    {
        std::lock_guard lock(m_state.mutex);
        for (const auto &[id, file] : m_state.files)
            if (file.accountId == accountId)
                result.push_back(file);
    }
    for (FakeLibraryFile &file : result)
        joinReceived(file);
    return result;
}

size_t FakeHarborly::fileCount(qint64 accountId) const
{
    std::lock_guard lock(m_state.mutex);
    return m_state.files.countOf(accountId);
}

void FakeHarborly::compactChanges(qint64 accountId)
{
    std::lock_guard lock(m_state.mutex);
    auto &history = m_state.changes[accountId];
    if (history.empty())
        return;
    m_state.compactedThrough[accountId] = history.back().sequence;
    std::map<qint64, FakeChange> last;
    for (auto &change : history)
        if (m_state.files.count(change.file.id))
            last[change.file.id] = std::move(change);
    std::vector<FakeChange> kept;
    for (auto &[id, change] : last)
        kept.push_back(std::move(change));
    std::sort(kept.begin(), kept.end(), [](const auto &a, const auto &b) { return a.sequence < b.sequence; });
    history = std::move(kept);
}

QString FakeHarborly::currentCursor(qint64 accountId) const
{
    std::lock_guard lock(m_state.mutex);
    return m_state.cursorLocked(accountId);
}

// --- Sync folders and plans

void FakeHarborly::addSyncFolder(FakeSyncFolder folder)
{
    std::lock_guard lock(m_state.mutex);
    m_state.syncFolders.push_back(std::move(folder));
}

std::vector<FakeSyncFolder> FakeHarborly::syncFolders(qint64 accountId) const
{
    std::lock_guard lock(m_state.mutex);
    std::vector<FakeSyncFolder> result;
    for (const FakeSyncFolder &folder : m_state.syncFolders)
        if (folder.accountId == accountId)
            result.push_back(folder);
    return result;
}

qint64 FakeHarborly::addPlan(FakePlan plan)
{
    std::lock_guard lock(m_state.mutex);
    if (plan.id == 0)
        plan.id = m_state.nextPlanId++;
    else
        m_state.nextPlanId = std::max(m_state.nextPlanId, plan.id + 1);
    m_state.plans.push_back(plan);
    return plan.id;
}

// --- Request log

std::vector<LoggedRequest> FakeHarborly::requestLog() const
{
    std::lock_guard lock(m_logMutex);
    return m_log;
}

std::vector<LoggedRequest> FakeHarborly::requestsTo(const std::string &method, const std::string &path) const
{
    std::lock_guard lock(m_logMutex);
    std::vector<LoggedRequest> result;
    for (const LoggedRequest &entry : m_log)
        if ((method.empty() || entry.method == method) && entry.path == path)
            result.push_back(entry);
    return result;
}

int FakeHarborly::takeMostDelayedAtOnce()
{
    return m_mostDelayed.exchange(0);
}

void FakeHarborly::clearRequestLog()
{
    std::lock_guard lock(m_logMutex);
    m_log.clear();
}

// --- Fault switches

void FakeHarborly::addFault(FakeFault fault)
{
    std::lock_guard lock(m_faultMutex);
    m_faults.push_back(std::move(fault));
}

void FakeHarborly::clearFaults()
{
    std::lock_guard lock(m_faultMutex);
    m_faults.clear();
}

void FakeHarborly::answerNext(const std::string &path, int status, std::string body, int count)
{
    FakeFault fault;
    fault.kind = FakeFault::Kind::answer;
    fault.path = path;
    fault.remaining = count;
    fault.status = status;
    fault.body = std::move(body);
    addFault(std::move(fault));
}

void FakeHarborly::delayNext(const std::string &path, std::chrono::milliseconds delay, int count)
{
    FakeFault fault;
    fault.kind = FakeFault::Kind::delay;
    fault.path = path;
    fault.remaining = count;
    fault.pause = delay;
    addFault(std::move(fault));
}

void FakeHarborly::gatherNext(const std::string &path, int count, std::chrono::milliseconds settle,
                              std::chrono::milliseconds patience)
{
    auto gathering = std::make_shared<Gathering>();
    gathering->path = path;
    gathering->count = count;
    gathering->settle = settle;
    gathering->patience = patience;
    std::lock_guard lock(m_gatherMutex);
    m_gathering = std::move(gathering);
}

void FakeHarborly::delayAnswerNext(const std::string &path, std::chrono::milliseconds delay, int count)
{
    delayNext(path, delay, count);
    std::lock_guard lock(m_faultMutex);
    m_faults.back().afterHandling = true; // the newest: it waits after the request was handled
}

void FakeHarborly::dropNext(const std::string &path, int count, bool afterHandling)
{
    FakeFault fault;
    fault.kind = FakeFault::Kind::drop;
    fault.path = path;
    fault.remaining = count;
    fault.afterHandling = afterHandling;
    addFault(std::move(fault));
}

void FakeHarborly::cutBodyNext(const std::string &path, size_t bytes, int count)
{
    FakeFault fault;
    fault.kind = FakeFault::Kind::cutBody;
    fault.path = path;
    fault.remaining = count;
    fault.bytes = bytes;
    addFault(std::move(fault));
}

void FakeHarborly::trickleNext(const std::string &path, size_t bytesPerChunk, std::chrono::milliseconds pause, int count)
{
    FakeFault fault;
    fault.kind = FakeFault::Kind::trickle;
    fault.path = path;
    fault.remaining = count;
    fault.bytes = bytesPerChunk;
    fault.pause = pause;
    addFault(std::move(fault));
}

void FakeHarborly::rateLimitNext(const std::string &path, int count, int retryAfterSeconds)
{
    FakeFault fault;
    fault.kind = FakeFault::Kind::answer;
    fault.path = path;
    fault.remaining = count;
    fault.status = 429;
    fault.body = R"({"message":"Too many requests","error":"rate_limited"})";
    fault.headers.emplace_back("Retry-After", std::to_string(retryAfterSeconds));
    addFault(std::move(fault));
}

void FakeHarborly::storageFullNext(const std::string &path, int count)
{
    FakeFault fault;
    fault.kind = FakeFault::Kind::answer;
    fault.path = path;
    fault.remaining = count;
    fault.status = 507;
    fault.body = R"({"message":"Storage limit reached","error":"storage_full"})";
    addFault(std::move(fault));
}

// --- Web sign-in

void FakeHarborly::setAppleSignInAccount(std::optional<qint64> accountId, bool isNewUser)
{
    std::lock_guard lock(m_state.mutex);
    m_state.webSignIn.appleAccount = accountId;
    m_state.webSignIn.appleNewUser = isNewUser;
}

QString FakeHarborly::addAppleSignInCode(qint64 accountId, bool isNewUser)
{
    std::lock_guard lock(m_state.mutex);
    const QString code = QStringLiteral("apple-code-%1").arg(m_state.webSignIn.nextCodeNumber++);
    m_state.webSignIn.appleCodes[code] = FakeWebSignIn::Grant{accountId, isNewUser, false};
    return code;
}

QString FakeHarborly::addGoogleSignInCode(qint64 accountId, bool isNewUser)
{
    std::lock_guard lock(m_state.mutex);
    const QString code = QStringLiteral("google-code-%1").arg(m_state.webSignIn.nextCodeNumber++);
    m_state.webSignIn.googleCodes[code] = FakeWebSignIn::Grant{accountId, isNewUser, false};
    return code;
}

// --- Transfers

void FakeHarborly::handleUpload(const httplib::Request &req, httplib::Response &res,
                                const std::function<bool(const std::function<bool(const char *, size_t)> &)> &readBody)
{
    FakeRequest request = toFakeRequest(req);
    const AppliedFaults faults = takeFaults(request);
    const auto hangUp = [&] {
        log(request, 0);
        abortConnection(req, res);
    };
    if (!gather(request))
        return hangUp();

    // The body is read whatever the answer, so the client always gets to see it.
    FakeReceivedBody body;
    {
        std::lock_guard lock(m_state.mutex);
        body.dropLarge = !m_state.transfers.keepLargeBodies;
    }
    bool kept = true;
    FakeSha256 digest; // once, as the bytes arrive
    const bool complete = readBody([&](const char *data, size_t length) {
        digest.add(data, length);
        kept = kept && body.append(data, length);
        return !m_stopping.load();
    });
    // A body that ends early never becomes an object or a part.
    if (!complete)
        return hangUp();
    body.sha256 = digest.finishHex();

    if (faults.delay && !pause(faults.delay->pause))
        return hangUp();
    if (faults.drop && !faults.drop->afterHandling)
        return hangUp();
    FakeReply reply;
    if (faults.answer) {
        reply.status = faults.answer->status;
        reply.body = faults.answer->body;
        reply.headers = faults.answer->headers;
        if (reply.body.empty())
            reply.contentType.clear();
    } else if (!kept) {
        reply = FakeReply::failure(507, QStringLiteral("The fake service could not keep the body"));
    } else {
        reply = storeUploadedBody(m_state, request, std::move(body));
    }
    if (faults.drop)
        return hangUp();
    log(request, reply.status);
    write(std::move(reply), faults, res);
}

QString FakeHarborly::presignedPutURL(qint64 accountId, const QString &oid)
{
    std::lock_guard lock(m_state.mutex);
    const QString token = QStringLiteral("put-%1").arg(m_state.transfers.nextNumber++);
    m_state.transfers.putTargets[token] = accountId;
    m_state.transfers.putOids[token] = oid;
    return baseURL().toString() + QStringLiteral("/storage/objects/%1?signature=fake").arg(token);
}

std::optional<FakeStoredObject> FakeHarborly::storedObject(const QString &oid) const
{
    FakeStoredObject object;
    {
        std::lock_guard lock(m_state.mutex);
        const auto found = m_state.transfers.objects.find(oid);
        if (found == m_state.transfers.objects.end())
            return std::nullopt;
        object = found->second;
    }
    // Pieces never change once stored: hashed outside the lock.
    if (object.sha256.isEmpty())
        object.sha256 = object.hashOfContent();
    return object;
}

std::vector<FakeMultipartUpload> FakeHarborly::multipartUploads() const
{
    std::lock_guard lock(m_state.mutex);
    std::vector<FakeMultipartUpload> result;
    for (const auto &[id, upload] : m_state.transfers.uploads)
        result.push_back(upload);
    return result;
}

void FakeHarborly::setKeepLargeBodies(bool keep)
{
    std::lock_guard lock(m_state.mutex);
    m_state.transfers.keepLargeBodies = keep;
}

void FakeHarborly::setMultipartPartSize(qint64 bytes, std::optional<qint64> totalPartsAnswer)
{
    std::lock_guard lock(m_state.mutex);
    m_state.transfers.partSize = bytes;
    m_state.transfers.totalPartsAnswer = totalPartsAnswer;
}

void FakeHarborly::setInitiateReply(FakeInitiateReply reply)
{
    std::lock_guard lock(m_state.mutex);
    m_state.transfers.initiateReply = reply;
}

void FakeHarborly::omitFromPresign(qint64 partNumber)
{
    std::lock_guard lock(m_state.mutex);
    m_state.transfers.presignOmits.insert(partNumber);
}

void FakeHarborly::failPart(qint64 partNumber, int times, int status)
{
    std::lock_guard lock(m_state.mutex);
    m_state.transfers.partFailures[partNumber] = {status, times};
}

void FakeHarborly::withholdETag(qint64 partNumber)
{
    std::lock_guard lock(m_state.mutex);
    m_state.transfers.etagWithheld.insert(partNumber);
}

void FakeHarborly::setMalformedBatchEntries(bool on)
{
    std::lock_guard lock(m_state.mutex);
    m_state.transfers.malformedBatchEntries = on;
}

std::vector<FakeLivenessReport> FakeHarborly::livenessReports() const
{
    std::lock_guard lock(m_state.mutex);
    return m_state.transfers.livenessReports;
}

void FakeHarborly::forgetLivenessReports(const QString &deviceId)
{
    std::lock_guard lock(m_state.mutex);
    std::erase_if(m_state.transfers.livenessReports,
                  [&](const FakeLivenessReport &report) { return report.deviceId == deviceId; });
}

// --- Single-file uploads

void FakeHarborly::setPresignedUploads(bool inVerdict, bool fromUploadURL)
{
    std::lock_guard lock(m_state.mutex);
    m_state.uploads.presignInVerdict = inVerdict;
    m_state.uploads.presignFromUploadURL = fromUploadURL;
}

std::vector<FakeFormUpload> FakeHarborly::formUploads() const
{
    std::lock_guard lock(m_state.mutex);
    return m_state.uploads.formUploads;
}

std::optional<QByteArray> FakeHarborly::uploadedObject(const QString &oid) const
{
    FakeReceivedBody body;
    {
        std::lock_guard lock(m_state.mutex);
        const auto found = m_state.uploads.objects.find(oid);
        if (found == m_state.uploads.objects.end())
            return std::nullopt;
        body = found->second;
    }
    return body.bytes(); // a stored body never changes: read outside the lock
}

QString FakeHarborly::commitOf(qint64 fileId) const
{
    std::lock_guard lock(m_state.mutex);
    const auto found = m_state.uploads.commits.find(fileId);
    return found == m_state.uploads.commits.end() ? QString() : found->second;
}

void FakeHarborly::setCommit(qint64 fileId, const QString &commit)
{
    std::lock_guard lock(m_state.mutex);
    m_state.uploads.commits[fileId] = commit;
}

// --- Registration and checkout (auth)

std::vector<FakeCheckout> FakeHarborly::checkouts() const
{
    std::lock_guard lock(m_state.mutex);
    return m_state.onboarding.checkouts;
}

void FakeHarborly::setCheckoutURL(const QString &url)
{
    std::lock_guard lock(m_state.mutex);
    m_state.onboarding.checkoutURLOverride = url;
}

void FakeHarborly::setSubscriptionPlans(std::vector<FakeSubscriptionPlan> plans)
{
    std::lock_guard lock(m_state.mutex);
    m_state.onboarding.subscriptionPlans = std::move(plans);
}

} // namespace quillmere::test
