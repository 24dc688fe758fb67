#pragma once

#include <httplib.h>

#include <QUrl>

#include <atomic>
#include <chrono>
#include <thread>

namespace quillmere::test {

// A real HTTP server on 127.0.0.1 with a random port, run on its own thread for one test.
// Add routes through server() before start(). Handlers that wait use pause(), which gives up
// as soon as the test ends, so stopping never hangs on a stalled handler.
class LocalServer
{
public:
    LocalServer()
    {
        // One request per connection: stop() then never waits on an idle keep-alive socket.
        m_server.set_keep_alive_max_count(1);
    }
    ~LocalServer() { stop(); }
    LocalServer(const LocalServer &) = delete;
    LocalServer &operator=(const LocalServer &) = delete;

    httplib::Server &server() { return m_server; }

    void start()
    {
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        // Server::stop() does nothing before the loop runs, and the thread would then wait in
        // accept() for ever: return only once it runs.
        while (!m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    void stop()
    {
        m_stopping = true;
        if (m_thread.joinable()) {
            m_server.stop();
            m_thread.join();
        }
    }

    int port() const { return m_port; }
    QUrl url(const QString &path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
    }

    // Sleeps for the duration unless the server is stopping; false when it is.
    bool pause(std::chrono::milliseconds duration) const
    {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < until) {
            if (m_stopping)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return !m_stopping;
    }

    std::atomic<int> hits{0};

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
};

} // namespace quillmere::test
