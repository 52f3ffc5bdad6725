#pragma once

#include "model/menustate.h"
#include "net/httpcall.h"

#include <QJsonObject>
#include <QString>

#include <optional>

namespace quenlo {

/// \brief One request the companion makes of the local library server.
struct Endpoint {
    QString path;
    QString method;
    double timeout; ///< seconds, as handed to httpCall
};

/// Every endpoint of the local server the companion uses, with its method and time-out.
namespace endpoints {
inline const Endpoint version{QStringLiteral("/api/version"), QStringLiteral("GET"), 2};
inline const Endpoint preferences{QStringLiteral("/api/preferences"), QStringLiteral("GET"), 6};
inline const Endpoint menuStatus{QStringLiteral("/api/menu-status"), QStringLiteral("GET"), 2};
/// The same path as menuStatus, asked as the database probe of a NAS client.
inline const Endpoint menuStatusProbe{QStringLiteral("/api/menu-status"), QStringLiteral("GET"), 6};
inline const Endpoint syncStatus{QStringLiteral("/api/sync-status"), QStringLiteral("GET"), 2};
inline const Endpoint autosyncGet{QStringLiteral("/api/autosync"), QStringLiteral("GET"), 2};
inline const Endpoint autosyncSet{QStringLiteral("/api/autosync"), QStringLiteral("POST"), 2};
inline const Endpoint syncAll{QStringLiteral("/api/sync-all"), QStringLiteral("POST"), 2};
inline const Endpoint clipboardAdd{QStringLiteral("/api/clipboard-add"), QStringLiteral("POST"), 20};
inline const Endpoint transcriptionGet{QStringLiteral("/api/transcription-worker"), QStringLiteral("GET"), 2};
inline const Endpoint transcriptionSet{QStringLiteral("/api/transcription-worker"), QStringLiteral("POST"), 10};
} // namespace endpoints

/// httpCall with the endpoint's path, method and time-out.
HTTPReply ask(const ServiceAddress &server, const Endpoint &endpoint, const std::optional<QJsonObject> &body = std::nullopt);

// Request bodies.
QJsonObject autosyncBody(qint64 hours);
QJsonObject syncAllBody();
QJsonObject clipboardAddBody(const QString &text);
QJsonObject transcriptionBody(bool enabled);

// Key-by-key reading: a key counts only when present and of its JSON type.
std::optional<QString> stringKey(const QJsonObject &object, const QString &key);
std::optional<bool> boolKey(const QJsonObject &object, const QString &key);
std::optional<double> numberKey(const QJsonObject &object, const QString &key);
/// The number's integral part (cut toward zero), saturated at the 64-bit range.
std::optional<qint64> integralPartKey(const QJsonObject &object, const QString &key);
/// Only a number without a fractional part.
std::optional<qint64> integralNumberKey(const QJsonObject &object, const QString &key);

/// "version" of a /api/version reply when it is a string; the status is not looked at.
std::optional<QString> readRunningVersion(const HTTPReply &reply);

/// The menu state of a /api/menu-status object (serviceUp set).
MenuState readMenuStatus(const QJsonObject &object);
/// Adds the running jobs and the queue of a /api/sync-status object.
void readSyncStatus(const QJsonObject &object, MenuState &state);
/// A job's or queue entry's display name: "label", else the kind's label, else "同步任务".
QString entryLabel(const QJsonObject &entry);

/// The counts the self-test prints for a /api/menu-status object.
struct MenuStatusCounts {
    qint64 unread = -1; ///< -1 when missing or not a number
    qint64 jobs = 0;
    qint64 queue = 0;
};
MenuStatusCounts readMenuStatusCounts(const QJsonObject &object);

/// A /api/autosync object; missing or non-numeric values are 0.
struct AutosyncSchedule {
    qint64 hours = 0;
    double next = 0;
};
AutosyncSchedule readAutosync(const QJsonObject &object);

/// The transcription worker's switches, each absent unless a JSON boolean.
struct TranscriptionWorker {
    std::optional<bool> enabled;
    std::optional<bool> ready;
    std::optional<bool> running;
};
/// Nothing when the reply is not a JSON object, whatever its status.
std::optional<TranscriptionWorker> readTranscriptionWorker(const HTTPReply &reply);

} // namespace quenlo
