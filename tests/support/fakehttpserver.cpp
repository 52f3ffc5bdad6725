#include "fakehttpserver.h"

#include <arpa/inet.h>
#include <unistd.h>

namespace quenlo::test {

/// On 127.0.0.1, a free port; it and what it accepts (inherited) give up a read after 100 ms, to see a stop.
static int listenOnLoopback(int &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval tick { 0, 100000 };
    sockaddr_in addr { AF_INET, 0, { htonl(INADDR_LOOPBACK) }, {} };
    socklen_t size = sizeof addr;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0
        || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), size) != 0 || ::listen(fd, 64) != 0)
        qFatal("no socket on 127.0.0.1");
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &size);
    port = ntohs(addr.sin_port);
    return fd;
}

FakeHttpServer::FakeHttpServer()
{
    m_fd = listenOnLoopback(m_port);
    m_accept = std::thread([this] {
        while (!m_stopping) {
            if (const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC); fd >= 0)
                m_threads.emplace_back([this, fd] { serve(fd); });
        }
    });
}

FakeHttpServer::~FakeHttpServer()
{
    m_stopping = true;
    ::shutdown(m_fd, SHUT_RDWR); // wakes accept() at once
    m_accept.join();
    ::close(m_fd);
}

QList<FakeHttpServer::Request> FakeHttpServer::requestsFor(const QByteArray &method, const QByteArray &path) const
{
    QList<Request> all = requests();
    all.removeIf([&](const Request &r) { return r.method != method || r.target.split('?')[0] != path; });
    return all;
}

void FakeHttpServer::serve(int fd)
{
    QByteArray data;
    Request req;
    qsizetype end = -1;
    for (qsizetype n = 0; end < 0 || data.size() < end + 4 + req.headers.value("content-length").toLongLong();) {
        char buf[8192];
        if (m_stopping || (n = ::recv(fd, buf, sizeof buf, 0)) == 0 || (n < 0 && errno != EAGAIN))
            return void(::close(fd));
        data.append(buf, std::max<qsizetype>(n, 0));
        if (end >= 0 || (end = data.indexOf("\r\n\r\n")) < 0)
            continue;
        const QList<QByteArray> lines = data.left(end).split('\n'), first = lines[0].trimmed().split(' ');
        req = { first[0], first.value(1), {}, {} };
        for (const QByteArray &line : lines.mid(1))
            req.headers[line.left(line.indexOf(':')).trimmed().toLower()] = line.mid(line.indexOf(':') + 1).trimmed();
    }
    req.body = data.mid(end + 4);
    const Reply reply = [&] {
        std::unique_lock guard(m_mutex);
        m_requests.append(req);
        const Handler handler = m_routes.value(req.method + ' ' + req.target.split('?')[0], m_routes["* "]);
        return guard.unlock(), handler(req);
    }();
    for (int ms = reply.hang ? INT_MAX : reply.delayMs; ms > 0 && !m_stopping; ms -= 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // A blocking send() returns once all is sent, or the peer is gone.
    const auto send = [fd](const QByteArray &d) { return ::send(fd, d.data(), d.size(), MSG_NOSIGNAL) == d.size(); };
    if (m_stopping || reply.hang || reply.dropSilently) {
    } else if (reply.endless) { // a chunk of 1 MiB each 5 ms, so a client that keeps it all grows slowly enough to see
        for (bool on = send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"); on && !m_stopping;
             on = send("100000\r\n" + QByteArray(1 << 20, ' ') + "\r\n"))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } else {
        send("HTTP/1.1 " + QByteArray::number(reply.status) + " X\r\nContent-Type: " + reply.contentType
            + "\r\nContent-Length: " + QByteArray::number(reply.body.size()) + "\r\nConnection: close\r\n\r\n"
            + reply.body);
        ::shutdown(fd, SHUT_WR);
    }
    ::close(fd);
}

} // namespace quenlo::test
