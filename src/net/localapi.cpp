#include "net/localapi.h"

#include "model/joblabels.h"
#include "model/text.h"

#include <QJsonArray>

#include <cmath>
#include <limits>

namespace quenlo {

HTTPReply ask(const ServiceAddress &server, const Endpoint &endpoint, const std::optional<QJsonObject> &body)
{
    return httpCall(server, endpoint.path, endpoint.method, body, endpoint.timeout);
}

QJsonObject autosyncBody(qint64 hours) { return {{QStringLiteral("hours"), hours}}; }
QJsonObject syncAllBody() { return {}; }
QJsonObject clipboardAddBody(const QString &text) { return {{QStringLiteral("text"), text}}; }
QJsonObject transcriptionBody(bool enabled) { return {{QStringLiteral("enabled"), enabled}}; }

std::optional<QString> stringKey(const QJsonObject &object, const QString &key)
{
    const QJsonValue v = object.value(key);
    if (!v.isString())
        return std::nullopt;
    return v.toString();
}

std::optional<bool> boolKey(const QJsonObject &object, const QString &key)
{
    const QJsonValue v = object.value(key);
    if (!v.isBool())
        return std::nullopt;
    return v.toBool();
}

std::optional<double> numberKey(const QJsonObject &object, const QString &key)
{
    const QJsonValue v = object.value(key);
    if (!v.isDouble())
        return std::nullopt;
    return v.toDouble();
}

namespace {

qint64 saturatedIntegralPart(double value)
{
    // Far beyond any count or percent the server sends; the bound only keeps the cast defined.
    constexpr double limit = 9.2e18;
    if (std::isnan(value))
        return 0;
    return qint64(std::trunc(std::clamp(value, -limit, limit)));
}

// QJsonValue keeps integers that fit 53 bits exactly; larger ones become doubles anyway.
std::optional<qint64> integralPartOf(const QJsonValue &v)
{
    if (!v.isDouble())
        return std::nullopt;
    return saturatedIntegralPart(v.toDouble());
}

/// An array whose every element is an object; one element of another type discards it all.
std::optional<QJsonArray> objectArrayKey(const QJsonObject &object, const QString &key)
{
    const QJsonValue v = object.value(key);
    if (!v.isArray())
        return std::nullopt;
    const QJsonArray array = v.toArray();
    for (const QJsonValue &element : array) {
        if (!element.isObject())
            return std::nullopt;
    }
    return array;
}

RunningJob readJob(const QJsonObject &entry, const QString &label)
{
    return RunningJob{label, integralPartKey(entry, QStringLiteral("progress")),
                      tidy(stringKey(entry, QStringLiteral("message")).value_or(QString()))};
}

QStringList readQueue(const QJsonObject &object)
{
    QStringList labels;
    if (const auto queue = objectArrayKey(object, QStringLiteral("queue"))) {
        for (const QJsonValue &entry : *queue)
            labels.append(entryLabel(entry.toObject()));
    }
    return labels;
}

} // namespace

std::optional<qint64> integralPartKey(const QJsonObject &object, const QString &key)
{
    return integralPartOf(object.value(key));
}

std::optional<qint64> integralNumberKey(const QJsonObject &object, const QString &key)
{
    const auto number = numberKey(object, key);
    if (!number || !std::isfinite(*number) || std::trunc(*number) != *number)
        return std::nullopt;
    return saturatedIntegralPart(*number);
}

std::optional<QString> readRunningVersion(const HTTPReply &reply)
{
    const auto object = reply.json();
    if (!object)
        return std::nullopt;
    return stringKey(*object, QStringLiteral("version"));
}

QString entryLabel(const QJsonObject &entry)
{
    if (const auto label = stringKey(entry, QStringLiteral("label")))
        return *label;
    const QString kind = stringKey(entry, QStringLiteral("kind")).value_or(QString());
    return jobLabel(kind).value_or(QStringLiteral("同步任务"));
}

MenuState readMenuStatus(const QJsonObject &object)
{
    MenuState state;
    state.serviceUp = true;
    state.unread = integralNumberKey(object, QStringLiteral("unread"));
    if (const auto jobs = objectArrayKey(object, QStringLiteral("jobs"))) {
        for (const QJsonValue &element : *jobs) {
            const QJsonObject entry = element.toObject();
            state.jobs.push_back(readJob(entry, entryLabel(entry)));
        }
    }
    state.queue = readQueue(object);
    const QJsonValue autosync = object.value(QStringLiteral("autosync"));
    if (autosync.isObject()) {
        const QJsonObject schedule = autosync.toObject();
        state.autosyncKnown = true;
        state.autosyncHours = integralPartKey(schedule, QStringLiteral("hours")).value_or(0);
        state.autosyncNext = numberKey(schedule, QStringLiteral("next")).value_or(0);
    }
    return state;
}

void readSyncStatus(const QJsonObject &object, MenuState &state)
{
    for (const auto &[kind, label] : jobLabels()) {
        const QJsonValue v = object.value(kind);
        if (!v.isObject())
            continue;
        const QJsonObject entry = v.toObject();
        if (boolKey(entry, QStringLiteral("running")) != true)
            continue;
        state.jobs.push_back(readJob(entry, label));
    }
    state.queue = readQueue(object);
}

MenuStatusCounts readMenuStatusCounts(const QJsonObject &object)
{
    MenuStatusCounts counts;
    counts.unread = integralPartKey(object, QStringLiteral("unread")).value_or(-1);
    counts.jobs = objectArrayKey(object, QStringLiteral("jobs")).value_or(QJsonArray()).size();
    counts.queue = objectArrayKey(object, QStringLiteral("queue")).value_or(QJsonArray()).size();
    return counts;
}

AutosyncSchedule readAutosync(const QJsonObject &object)
{
    return {integralPartKey(object, QStringLiteral("hours")).value_or(0),
            numberKey(object, QStringLiteral("next")).value_or(0)};
}

std::optional<TranscriptionWorker> readTranscriptionWorker(const HTTPReply &reply)
{
    const auto object = reply.json();
    if (!object)
        return std::nullopt;
    return TranscriptionWorker{boolKey(*object, QStringLiteral("enabled")), boolKey(*object, QStringLiteral("ready")),
                               boolKey(*object, QStringLiteral("running"))};
}

} // namespace quenlo
