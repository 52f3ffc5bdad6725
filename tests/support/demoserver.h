#pragma once

#include <QTcpSocket>

namespace quenlo::test {

struct RawReply {
    int status = -1;
    QByteArray contentType;
    QByteArray body;
};

/// One HTTP/1.0 exchange with 127.0.0.1:\a port, for what httpCall does not show (headers, bodies that are not JSON).
inline RawReply rawRequest(quint16 port, const QByteArray &method, const QByteArray &path, const QByteArray &body = {})
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    const QByteArray length = body.isNull() ? "" : "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    socket.write(method + ' ' + path + " HTTP/1.0\r\nContent-Type: application/json\r\n" + length + "\r\n" + body);
    while (socket.waitForReadyRead(5000)) // the server closes once it has answered
        ;
    const QByteArray raw = socket.readAll();
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (end < 0)
        return {};
    RawReply reply { raw.left(raw.indexOf('\n')).split(' ').value(1).toInt(), {}, raw.mid(end + 4) };
    for (const QByteArray &line : raw.left(end).split('\n'))
        if (line.toLower().startsWith("content-type:"))
            reply.contentType = line.mid(13).trimmed();
    return reply;
}

} // namespace quenlo::test
