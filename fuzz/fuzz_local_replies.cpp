// Every reader of a local endpoint's reply and every command message, on one reply: a status
// chosen by the first byte, the hours of an autosync POST by the second, the body the rest.

#include "fuzzcheck.h"

#include "engine/commandmessages.h"
#include "model/text.h"
#include "net/httpcall.h"
#include "net/localapi.h"

#include <QDateTime>
#include <QTimeZone>

using namespace quenlo;
using namespace quenlo::fuzz;

namespace {

constexpr qint64 statuses[] = { 200, -1, 202, 404, 500, 0, 301, 401 };
constexpr qint64 hourChoices[] = { 0, 3, 6, 12, 24, -2, 48, 9000000000000000000LL };

bool hasControlOrFormat(const QString &text)
{
    for (const uint ucs : text.toUcs4()) {
        const auto category = QChar::category(ucs);
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            return true;
    }
    return false;
}

void readers(const HTTPReply &reply)
{
    const std::optional<QJsonObject> object = jsonObject(reply.body);
    check(object.has_value() == reply.json().has_value(), "json() and jsonObject() agree");
    check(readTranscriptionWorker(reply).has_value() == object.has_value(),
        "worker information exactly when the body is an object");
    if (!object) {
        check(!readRunningVersion(reply), "no version without an object");
        return;
    }

    const MenuState state = readMenuStatus(*object);
    check(state.serviceUp, "a menu-status object means the server is up");
    const MenuStatusCounts counts = readMenuStatusCounts(*object);
    check(counts.jobs == qint64(state.jobs.size()), "the self-test counts the jobs the menu shows");
    check(counts.queue == state.queue.size(), "the self-test counts the queue the menu shows");
    if (state.unread)
        check(counts.unread == *state.unread, "an integral unread count reads the same in both");
    if (!state.autosyncKnown)
        check(state.autosyncHours == 0 && state.autosyncNext == 0, "no schedule without an autosync object");
    for (const RunningJob &job : state.jobs) {
        check(!hasControlOrFormat(job.message), "job messages are tidied", job.message);
        check(!job.display().isEmpty(), "a job line is never empty");
    }
    if (state.autosyncKnown) {
        const QDateTime now(QDate(2024, 6, 1), QTime(12, 0), QTimeZone::utc());
        check(!humanTime(state.autosyncNext, now).isEmpty(), "a next-sync line is never empty");
    }

    MenuState fallback;
    readSyncStatus(*object, fallback);
    check(!fallback.serviceUp && !fallback.unread && !fallback.autosyncKnown,
        "the fallback reader only adds jobs and the queue");
    check(fallback.jobs.size() <= 4, "at most one job per known kind");
    check(fallback.queue == state.queue, "both readers take the queue by the same rule");

    const AutosyncSchedule schedule = readAutosync(*object);
    Q_UNUSED(schedule)
    Q_UNUSED(readRunningVersion(reply))
}

/// The reply's string "error" as the commands show it, when there is one.
std::optional<QString> errorText(const HTTPReply &reply, qsizetype limit)
{
    const auto object = jsonObject(reply.body);
    const auto error = object ? stringKey(*object, QStringLiteral("error")) : std::nullopt;
    const QString shown = error ? tidy(*error, limit) : QString();
    return shown.isEmpty() ? std::nullopt : std::optional<QString>(shown);
}

void messages(const HTTPReply &reply, qint64 hours)
{
    // Every command says something, whatever the reply.
    const QString added = clipboardAddMessage(reply);
    if (reply.status == 202)
        check(added == addedMessage, "202 is success");
    else
        check(added == errorText(reply, 50).value_or(QStringLiteral("添加未成功，请稍后重试")),
            "a failed add says the server's error, else its own text", added);
    const QString sync = syncAllMessage(reply);
    if (reply.status != 200)
        check(sync
                == errorText(reply, 30).value_or(
                    reply.status <= 0 ? QStringLiteral("服务未运行") : QStringLiteral("更新请求没有成功")),
            "a failed sync says the server's error, else why", sync);
    else
        check(!sync.isEmpty(), "an accepted sync always says something");
    const QString autosync = autosyncSetMessage(reply, hours);
    if (reply.status == 404)
        check(autosync == QStringLiteral("当前服务版本还没有自动同步"), "404 is an older server");
    else if (reply.status != 200)
        check(autosync == errorText(reply, 30).value_or(QStringLiteral("设置没有保存成功")),
            "a failed autosync says the server's error, else its own text", autosync);
    else
        check(!autosync.isEmpty(), "a saved autosync always says something");
    const bool next = nextTranscriptionSetting(reply);
    const auto worker = readTranscriptionWorker(reply);
    check(next == !(worker && worker->enabled == true), "the switch asks for the opposite of enabled");
    const QString switched = transcriptionSetMessage(reply);
    const auto object = jsonObject(reply.body);
    const auto serverText = [&](const QString &key) {
        const auto text = object ? stringKey(*object, key) : std::nullopt;
        return text && !isBlankText(*text);
    };
    if (!serverText(QStringLiteral("message")) && !serverText(QStringLiteral("error")))
        check(switched == QStringLiteral("本机转写开关设置失败"), "no text from the server: its own", switched);
    for (const QString &message : { added, sync, switched })
        check(!isBlankText(message), "a command never flashes an empty message", message);
    const QString task = nasTaskMessage(jsonObject(reply.body).value_or(QJsonObject()));
    check(!task.isEmpty(), "a NAS task reply always says something");

    const ClipboardText clip = prepareClipboardText(QString::fromUtf8(reply.body));
    if (!clip.message) {
        check(!clip.text.isEmpty() && clip.text == clip.text.trimmed(), "sent text is trimmed and not empty");
        check(clip.text.toUtf8().size() <= clipboardByteLimit, "sent text fits the limit");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input input(data, size);
    const qint64 status = statuses[input.byte() & 7];
    const qint64 hours = hourChoices[input.byte() & 7];
    const HTTPReply reply { status, input.rest() };
    readers(reply);
    messages(reply, hours);
    return 0;
}
