#pragma once

#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace quenlo {

/// \brief Port the local library server listens on ("LOCAL_LIBRARY_PORT", default 8765).
qint64 servicePort();
/// "http://127.0.0.1:" + servicePort(), no trailing slash.
QString serviceBase();
/// Replaces the port; called once at process start, and by tests.
void setServicePort(qint64 port);

/// Parses a "LOCAL_LIBRARY_PORT" value: optional sign, ASCII digits, signed 64-bit; 8765 otherwise.
qint64 parseServicePort(const char *value);
/// Reads the port from the environment into servicePort().
void initProcessValues();

inline constexpr qint64 defaultServicePort = 8765;
inline const QString projectPathKey = QStringLiteral("projectPath");
inline const QString launchAgentLabel = QStringLiteral("local.library.menubar");
inline const QString workQueueLabel = QStringLiteral("local.library.menubar.net");
inline const QString appDisplayName = QStringLiteral("本地Quenlo");

/// Job kinds of the server and their display names, in a fixed order.
const QList<QPair<QString, QString>> &jobLabels();
/// The label of a job kind, or nothing when the kind is unknown.
std::optional<QString> jobLabel(const QString &kind);

} // namespace quenlo
