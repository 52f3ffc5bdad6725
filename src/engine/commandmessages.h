#pragma once

#include "net/httpcall.h"

#include <QJsonObject>
#include <QString>

#include <optional>

namespace quenlo {

/// The clipboard's text ready to send, or the message that says why it is not sent.
struct ClipboardText {
    QString text;                   ///< trimmed; meaningful when message is absent
    std::optional<QString> message; ///< "剪贴板中没有可添加的链接" or "剪贴板内容过长，请复制单个链接"
};
inline constexpr qsizetype clipboardByteLimit = 16384;
ClipboardText prepareClipboardText(const QString &raw);

inline const QString addedMessage = QStringLiteral("已收入Quenlo，等待后台处理");

/// The outcome text of a local /api/clipboard-add reply (only 202 is success).
QString clipboardAddMessage(const HTTPReply &reply);
/// The outcome text of a NAS /api/tasks reply that came back without an error.
QString nasTaskMessage(const QJsonObject &reply);
/// The outcome text of a /api/sync-all reply.
QString syncAllMessage(const HTTPReply &reply);
/// The outcome text of a /api/autosync POST reply for \a hours.
QString autosyncSetMessage(const HTTPReply &reply, qint64 hours);
/// The worker setting to ask for: the negation of "enabled", true when it is unknown.
bool nextTranscriptionSetting(const HTTPReply &current);
/// The outcome text of a /api/transcription-worker POST reply, whatever its status.
QString transcriptionSetMessage(const HTTPReply &reply);

} // namespace quenlo
