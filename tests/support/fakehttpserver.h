#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quenlo::test {

/// \brief A plain HTTP/1.1 server on 127.0.0.1 with canned replies, for tests.
///
/// Runs on its own threads, so blocking clients can be called from the test's thread.
/// Every request is recorded; a route can delay its reply, hang until the server stops,
/// or close the connection without a word.
class FakeHttpServer final {
public:
    struct Reply {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json";
        QList<QPair<QByteArray, QByteArray>> headers;
        int delayMs = 0;
        bool hang = false;        ///< accept, read the request, never answer
        bool dropSilently = false; ///< close the connection without answering
        /// Answer 200 and then stream, without end, body bytes (chunked) or header lines, until
        /// the client closes; paced at about 200 MiB/s, so a client that keeps everything grows
        /// by hundreds of MiB before its time-out rather than by all the machine's memory.
        enum class Endless { No, Body, Headers } endless = Endless::No;
    };
    struct Request {
        QByteArray method;
        QByteArray target; ///< path with its query, as sent
        QMap<QByteArray, QByteArray> headers; ///< names in lower case
        QList<QByteArray> headerNames;        ///< in order, lower case, repeats kept
        QByteArray body;
    };

    FakeHttpServer();
    ~FakeHttpServer();
    FakeHttpServer(const FakeHttpServer &) = delete;
    FakeHttpServer &operator=(const FakeHttpServer &) = delete;

    quint16 port() const { return m_port; }

    /// Canned reply for "METHOD target" (e.g. "GET /api/version"); target may omit the query.
    void route(const QByteArray &method, const QByteArray &target, const Reply &reply);
    /// Computed reply; called on a server thread.
    void route(const QByteArray &method, const QByteArray &target, std::function<Reply(const Request &)> handler);
    /// What unrouted requests get (404 by default).
    void setFallback(const Reply &reply);

    QList<Request> requests() const;
    QList<Request> requestsFor(const QByteArray &method, const QByteArray &path) const;
    void clearRequests();

    static Reply json(int status, const QByteArray &body);

private:
    void acceptLoop();
    void serve(int fd);
    void streamEndlessly(int fd, Reply::Endless what);

    int m_listenFd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;
    mutable std::mutex m_mutex;
    std::condition_variable m_stopped;
    std::vector<std::thread> m_workers;
    QMap<QByteArray, std::function<Reply(const Request &)>> m_routes;
    Reply m_fallback;
    QList<Request> m_requests;
};

/// A free TCP port on 127.0.0.1 (bound and released; good enough for one test).
quint16 freePort();

/// Runs \a work and returns how far the resident set size rose above its size before, at its
/// peak, in KiB (Linux: VmHWM after resetting it through /proc/self/clear_refs); -1 when the
/// system cannot tell.
qint64 residentGrowthKiB(const std::function<void()> &work);

} // namespace quenlo::test
