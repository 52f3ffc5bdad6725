#include "fakehttpserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>

#include <algorithm>
#include <chrono>

namespace quenlo::test {

namespace {

int listenOnLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

quint16 boundPort(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    return ntohs(addr.sin_port);
}

bool sendAll(int fd, const QByteArray &data)
{
    qsizetype sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.constData() + sent, size_t(data.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200: return "OK";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

/// Sends \a data unless the server stops first; false once the peer is gone.
bool sendUnlessStopping(int fd, const QByteArray &data, const std::atomic<bool> &stopping)
{
    qsizetype sent = 0;
    while (sent < data.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (stopping || ::poll(&p, 1, 100) < 0)
            return false;
        if (!(p.revents & (POLLOUT | POLLERR | POLLHUP)))
            continue;
        const ssize_t n = ::send(fd, data.constData() + sent, size_t(data.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

qint64 statusFieldKiB(const QByteArray &name)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

qint64 residentGrowthKiB(const std::function<void()> &work)
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    const bool reset = clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
    clear.close();
    const qint64 before = statusFieldKiB("VmRSS");
    work();
    const qint64 peak = statusFieldKiB("VmHWM");
    if (!reset || before < 0 || peak < 0)
        return -1;
    return std::max<qint64>(0, peak - before);
}

quint16 freePort()
{
    const int fd = listenOnLoopback(0);
    const quint16 port = boundPort(fd);
    ::close(fd);
    return port;
}

FakeHttpServer::FakeHttpServer()
{
    m_fallback.status = 404;
    m_fallback.body = "{\"error\":\"not found\"}";
    m_listenFd = listenOnLoopback(0);
    m_port = boundPort(m_listenFd);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

FakeHttpServer::~FakeHttpServer()
{
    m_stopping = true;
    m_stopped.notify_all();
    ::shutdown(m_listenFd, SHUT_RDWR);
    m_acceptThread.join();
    ::close(m_listenFd);
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(m_mutex);
        workers.swap(m_workers);
    }
    for (auto &t : workers)
        t.join();
}

void FakeHttpServer::route(const QByteArray &method, const QByteArray &target, const Reply &reply)
{
    route(method, target, [reply](const Request &) { return reply; });
}

void FakeHttpServer::route(const QByteArray &method, const QByteArray &target,
                           std::function<Reply(const Request &)> handler)
{
    std::lock_guard lock(m_mutex);
    m_routes.insert(method + ' ' + target, std::move(handler));
}

void FakeHttpServer::setFallback(const Reply &reply)
{
    std::lock_guard lock(m_mutex);
    m_fallback = reply;
}

QList<FakeHttpServer::Request> FakeHttpServer::requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

QList<FakeHttpServer::Request> FakeHttpServer::requestsFor(const QByteArray &method, const QByteArray &path) const
{
    QList<Request> out;
    for (const auto &r : requests()) {
        if (r.method == method && r.target.split('?').first() == path)
            out.append(r);
    }
    return out;
}

void FakeHttpServer::clearRequests()
{
    std::lock_guard lock(m_mutex);
    m_requests.clear();
}

FakeHttpServer::Reply FakeHttpServer::json(int status, const QByteArray &body)
{
    Reply r;
    r.status = status;
    r.body = body;
    return r;
}

void FakeHttpServer::acceptLoop()
{
    while (!m_stopping) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard lock(m_mutex);
        m_workers.emplace_back([this, fd] { serve(fd); });
    }
}

void FakeHttpServer::serve(int fd)
{
    QByteArray data;
    char buf[8192];
    qsizetype headerEnd = -1;
    qsizetype contentLength = 0;
    const auto readMore = [&] {
        pollfd p{fd, POLLIN, 0};
        while (!m_stopping) {
            const int ready = ::poll(&p, 1, 100);
            if (ready < 0)
                return false;
            if (ready == 0)
                continue;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            data.append(buf, n);
            return true;
        }
        return false;
    };
    while ((headerEnd = data.indexOf("\r\n\r\n")) < 0) {
        if (!readMore()) {
            ::close(fd);
            return;
        }
    }
    Request req;
    const QList<QByteArray> lines = data.left(headerEnd).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    req.method = first.value(0);
    req.target = first.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        req.headers.insert(name, line.mid(colon + 1).trimmed());
        req.headerNames.append(name);
    }
    contentLength = req.headers.value("content-length", "0").toLongLong();
    while (data.size() - (headerEnd + 4) < contentLength) {
        if (!readMore())
            break;
    }
    req.body = data.mid(headerEnd + 4, contentLength);

    std::function<Reply(const Request &)> handler;
    Reply reply;
    {
        std::lock_guard lock(m_mutex);
        m_requests.append(req);
        const QByteArray path = req.target.split('?').first();
        auto it = m_routes.constFind(req.method + ' ' + req.target);
        if (it == m_routes.constEnd())
            it = m_routes.constFind(req.method + ' ' + path);
        if (it != m_routes.constEnd())
            handler = it.value();
        else
            reply = m_fallback;
    }
    if (handler)
        reply = handler(req);

    if (reply.hang || reply.delayMs > 0) {
        std::unique_lock lock(m_mutex);
        if (reply.hang)
            m_stopped.wait(lock, [this] { return m_stopping.load(); });
        else
            m_stopped.wait_for(lock, std::chrono::milliseconds(reply.delayMs), [this] { return m_stopping.load(); });
    }
    if (reply.hang || reply.dropSilently || m_stopping) {
        ::close(fd);
        return;
    }
    if (reply.endless != Reply::Endless::No) {
        streamEndlessly(fd, reply.endless);
        ::close(fd);
        return;
    }
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonFor(reply.status) + "\r\n";
    if (!reply.contentType.isEmpty() && reply.status != 204)
        out += "Content-Type: " + reply.contentType + "\r\n";
    for (const auto &[name, value] : reply.headers)
        out += name + ": " + value + "\r\n";
    if (reply.status != 204)
        out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    if (reply.status != 204)
        out += reply.body;
    sendAll(fd, out);
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

void FakeHttpServer::streamEndlessly(int fd, Reply::Endless what)
{
    const bool body = what == Reply::Endless::Body;
    QByteArray head = "HTTP/1.1 200 OK\r\n";
    if (body)
        head += "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
    // 1 MiB a round: one chunk of white space, or as many header lines of 1 KiB.
    QByteArray round;
    if (body) {
        round = QByteArray::number(1 << 20, 16) + "\r\n" + QByteArray(1 << 20, ' ') + "\r\n";
    } else {
        for (int i = 0; i < 1024; ++i)
            round += "X-Filler-" + QByteArray::number(i) + ": " + QByteArray(1000, 'x') + "\r\n";
    }
    if (!sendUnlessStopping(fd, head, m_stopping))
        return;
    while (sendUnlessStopping(fd, round, m_stopping)) {
        std::unique_lock lock(m_mutex);
        if (m_stopped.wait_for(lock, std::chrono::milliseconds(5), [this] { return m_stopping.load(); }))
            return;
    }
}

} // namespace quenlo::test
