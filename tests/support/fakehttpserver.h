#pragma once

#include <QMap>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace quenlo::test {

/// \brief An HTTP/1.1 server on 127.0.0.1, on threads of its own, with canned replies; it records every request.
class FakeHttpServer final {
public:
    struct Request {
        QByteArray method, target; ///< target: the path with its query, as sent
        QMap<QByteArray, QByteArray> headers; ///< names in lower case
        QByteArray body {};
    };
    struct Reply {
        int status = 200;
        QByteArray body {};
        QByteArray contentType = "application/json";
        int delayMs = 0;
        bool hang = false; ///< read the request, never answer
        bool dropSilently = false; ///< close the connection without a word
        bool endless = false; ///< 200, then a chunked body without end until the client goes
        Reply operator()(const Request &) const { return *this; } ///< a fixed reply is a handler too
    };
    using Handler = std::function<Reply(const Request &)>;

    FakeHttpServer();
    ~FakeHttpServer();
    quint16 port() const { return quint16(m_port); }
    // Each accessor holds the lock for its whole expression: "lock(), ...".
    /// The reply to \a method on \a path, whatever the query. Handlers run on a server thread.
    void route(QByteArray method, QByteArray path, Handler h) { lock(), m_routes[method + ' ' + path] = h; }
    void setFallback(const Reply &reply) { route("*", "", reply); } ///< for unrouted requests (404 at first)
    QList<Request> requests() const { return lock(), m_requests; }
    QList<Request> requestsFor(const QByteArray &method, const QByteArray &path) const;
    void clearRequests() { lock(), m_requests.clear(); }
    static Reply json(int status, const QByteArray &body) { return { status, body }; }

private:
    std::lock_guard<std::mutex> lock() const { return std::lock_guard(m_mutex); }
    void serve(int fd);

    int m_fd = -1, m_port = 0;
    std::atomic<bool> m_stopping = false;
    mutable std::mutex m_mutex;
    QMap<QByteArray, Handler> m_routes { { "* ", json(404, R"({"error":"not found"})") } };
    QList<Request> m_requests;
    std::thread m_accept;
    std::vector<std::jthread> m_threads; // last: they stop, and join, before anything they use goes
};

/// A free TCP port on 127.0.0.1: a server's, once it has gone (good enough for one test).
inline quint16 freePort()
{
    return FakeHttpServer().port();
}

} // namespace quenlo::test
