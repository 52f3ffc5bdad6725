#pragma once

#include "model/settings.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace quenlo {

/// \brief The result of one call to the local server; status -1 when no HTTP answer came.
struct HTTPReply {
    qint64 status = -1;
    QByteArray body;

    bool reachable() const { return status > 0; }
    /// The body when it is a JSON object; nothing for anything else.
    std::optional<QJsonObject> json() const;
};

/// Blocking request to \a server's base + \a path. Never fails; never blocks longer than
/// \a timeout + 2 seconds. Sends "X-Quenlo: 1", and "Content-Type: application/json" with a body
/// (no Content-Type at all without one). A reply past replyLimit (curlglobal.h) is cut off
/// there and reads as no answer.
HTTPReply httpCall(const ServiceAddress &server, const QString &path, const QString &method = QStringLiteral("GET"),
                   const std::optional<QJsonObject> &body = std::nullopt, double timeout = 2);

/// The JSON object in \a bytes, or nothing when it is not one (shared by every reader).
std::optional<QJsonObject> jsonObject(const QByteArray &bytes);

} // namespace quenlo
