// One executable per fuzz_NAME (QUENLO_FUZZ_TARGET); a failed CHECK aborts, so that libFuzzer keeps the input.

#include "engine/commandmessages.h"
#include "model/text.h"
#include "net/cookielist.h"
#include "net/localapi.h"
#include "net/quenloapi.h"
#include "service/agentplist.h"
#include "service/desktopentry.h"
#include "service/launchagent.h"
#include "service/projectroot.h"

#include <QDir>
#include <QJsonDocument>
#include <QTextBoundaryFinder>
#include <QTimeZone>

#include <curl/curl.h>

#define CHECK(property, ...) check(property, #property __VA_OPT__(, ) __VA_ARGS__)

using namespace quenlo;

static void check(bool holds, const char *property, const QString &detail = {})
{
    if (!holds)
        std::fprintf(stderr, "property violated: %s\n  %s\n", property, qUtf8Printable(detail)), std::abort();
}
struct Input { // selector bytes, then the rest: as bytes, as UTF-16 (lone surrogates too, as JSON's "\ud800" gives)
    const uint8_t *data;
    size_t size, at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    QByteArray rest() const { return QByteArray(reinterpret_cast<const char *>(data + at), qsizetype(size - at)); }
    QString utf16() const { return QString(reinterpret_cast<const QChar *>(data + at), qsizetype(size - at) / 2); }
};
using enum QChar::Category;
const auto dropped = [](uint c) { return QList { Other_Control, Other_Format }.contains(QChar::category(c)); };
const auto trimmed = [](uint c) { return c == '\t' || QChar::category(c) == QChar::Separator_Space; };

// A limit from byte 0 (bit 6: the rest as UTF-16): the menu's 24, the commands' 30 and 50, and around them.
void fuzz_tidy(Input in)
{
    const uint8_t selector = in.byte();
    const int limit = selector & 63;
    const QString text = selector & 64 ? in.utf16() : QString::fromUtf8(in.rest()), out = tidy(text, limit);
    // Qt 6.4's finder puts a boundary inside some surrogate pairs (after Indic letters); those do not count.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, out);
    int count = 0;
    for (qsizetype at = finder.toNextBoundary(); at >= 0; at = finder.toNextBoundary())
        count += at == out.size() || !out.at(at).isLowSurrogate() || !out.at(at - 1).isHighSurrogate();
    const QList<uint> kept = out.toUcs4();
    CHECK(out.isValidUtf16() && tidy(out, limit) == out, out);
    CHECK(count <= limit || (count == limit + 1 && out.endsWith(u'…')), out);
    CHECK(std::ranges::none_of(kept, dropped), out);
    CHECK(kept.isEmpty() || (!trimmed(kept.first()) && !trimmed(kept.last())), out);
    CHECK(!out.isEmpty() || std::ranges::all_of(text.toUcs4(), [](uint c) { return trimmed(c) || dropped(c); }));
}

// Every reader of a local reply and every command message: the status from byte 0, autosync hours from byte 1.
void fuzz_local_replies(Input in)
{
    const qint64 status = std::array<qint64, 8> { 200, -1, 202, 404, 500, 0, 301, 401 }[in.byte() & 7];
    const qint64 hours = std::array<qint64, 8> { 0, 3, 6, 12, 24, -2, 48, 9000000000000000000 }[in.byte() & 7];
    const HTTPReply reply { status, in.rest() };
    const std::optional<QJsonObject> object = jsonObject(reply.body);
    const std::optional<TranscriptionWorker> worker = readTranscriptionWorker(reply);
    CHECK(object.has_value() == reply.json().has_value() && worker.has_value() == object.has_value());
    CHECK(object || !readRunningVersion(reply));
    // The commands show the server's text, tidied to their limit, unless blank; else their own.
    const auto str = [&](const char *key) { return object ? stringKey(*object, key).value_or("") : QString(); };
    const auto error = [&](int n, QString own) { return isBlankText(str("error")) ? own : tidy(str("error"), n); };
    const QString added = clipboardAddMessage(reply), sync = syncAllMessage(reply);
    const QString set = autosyncSetMessage(reply, hours), switched = transcriptionSetMessage(reply);
    CHECK(added == (status == 202 ? addedMessage : error(50, "添加未成功，请稍后重试")));
    CHECK(status == 200 || sync == error(30, status <= 0 ? "服务未运行" : "更新请求没有成功"));
    CHECK(status == 200 || set == (status == 404 ? "当前服务版本还没有自动同步" : error(30, "设置没有保存成功")));
    CHECK(nextTranscriptionSetting(reply) == !(worker && worker->enabled == true));
    CHECK(!isBlankText(str("message")) || !isBlankText(str("error")) || switched == "本机转写开关设置失败");
    for (const QString &said : { added, sync, set, switched, nasTaskMessage(object.value_or(QJsonObject())) })
        CHECK(!isBlankText(said), said);
    const ClipboardText c = prepareClipboardText(QString::fromUtf8(reply.body));
    CHECK(
        c.message || (c.text == c.text.trimmed() && !c.text.isEmpty() && c.text.toUtf8().size() <= clipboardByteLimit));
    if (!object)
        return;
    const MenuState state = readMenuStatus(*object);
    const MenuStatusCounts counts = readMenuStatusCounts(*object);
    CHECK(state.serviceUp && counts.jobs == qint64(state.jobs.size()) && counts.queue == state.queue.size());
    CHECK(!state.unread || counts.unread == *state.unread);
    CHECK(state.autosyncKnown || (state.autosyncHours == 0 && state.autosyncNext == 0));
    for (const RunningJob &job : state.jobs) // its message tidied
        CHECK(std::ranges::none_of(job.message.toUcs4(), dropped) && !job.display().isEmpty(), job.message);
    CHECK(!humanTime(state.autosyncNext, QDateTime(QDate(2024, 6, 1), QTime(12, 0), QTimeZone::utc())).isEmpty());
    MenuState f; // the fallback reader: jobs, at most one per known kind, and the queue alone
    readSyncStatus(*object, f);
    CHECK(!f.serviceUp && !f.unread && !f.autosyncKnown && f.jobs.size() <= 4 && f.queue == state.queue);
    readAutosync(*object);
}

// NAS input, odd byte 0: a path (bit 1: UTF-16) for call() to a closed port; even: bits 1-4 a status, then a body.
void fuzz_nas(Input in)
{
    using Domain = QuenloResult::Domain;
    static QuenloAPI api(QStringLiteral("https://127.0.0.1:1"), QString(), nullptr, false);
    const uint8_t mode = in.byte();
    const long statuses[] = { 200, 0, 201, 204, 299, 300, 199, 301, 400, 401, 403, 404, 500, 503, -1, 100 };
    const long status = statuses[mode / 2 % 16];
    const QString path = mode & 2 ? in.utf16() : QString::fromUtf8(in.rest());
    const QuenloResult result = mode & 1 ? api.call(path, std::nullopt) : readNasReply(status, in.rest());
    const std::optional<QJsonObject> object = jsonObject(in.rest());
    if (mode & 1) {
        const bool refused = result.domain == Domain::Quenlo && result.code == 1 && result.message == "请求地址无效";
        // RFC 3986 has no place for these anywhere in a URL; the client promises to send none.
        const auto foreign = [](QChar c) { return c < u'!' || c > u'~' || QStringView(u"\"<>\\^`{|}").contains(c); };
        CHECK(!result.ok() && (refused || (path.startsWith(u'/') && std::ranges::none_of(path, foreign))));
        CHECK(refused || (result.domain == Domain::Curl && result.code == CURLE_COULDNT_CONNECT), result.message);
        // libcurl's own parser finds the origin's host and port in origin + path.
        CURLU *url = curl_url();
        char *host = nullptr, *port = nullptr;
        curl_url_set(url, CURLUPART_URL, ("https://127.0.0.1:1" + path).toUtf8().constData(), 0);
        curl_url_get(url, CURLUPART_HOST, &host, 0), curl_url_get(url, CURLUPART_PORT, &port, 0);
        CHECK(refused || (host && port && QByteArray(host) + ':' + port == "127.0.0.1:1"), path);
        return curl_free(host), curl_free(port), curl_url_cleanup(url);
    }
    if (status < 200 || status > 299) { // no status, 401, the body's "error" unless blank, or the own text
        const QString error = object ? object->value("error").toString() : QString();
        const QString said = status <= 0 ? "NAS 暂不可达" : status == 401 ? "请先设置Quenlo登录码" : error;
        return CHECK(!result.ok() && result.domain == Domain::Quenlo && result.code == (status == 401 ? 401 : 1)
            && result.message == (isBlankText(said) ? "操作未成功" : said));
    }
    CHECK(result.ok() && result.domain == Domain::None && *result.reply == object.value_or(QJsonObject()));
    const bool receipt = result.reply->value("ok") == QJsonValue(true) && result.reply->contains("id");
    CHECK(nasTaskMessage(*result.reply) == (receipt ? addedMessage : "未取得投递回执，请查看任务中心"));
}

// The desktop client's registration file: a path only from text holding strings alone, project_path among them.
void fuzz_registration(Input in)
{
    const QByteArray bytes = in.rest();
    const std::optional<QString> project = projectFromRegistration(bytes);
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();
    const QString path = QDir::cleanPath(object.value("project_path").toString());
    if (!project)
        return;
    CHECK(std::ranges::none_of(bytes, [](uchar c) { return c < 32 && c != '\t' && c != '\n' && c != '\r'; }));
    CHECK(std::ranges::all_of(object, [](auto v) { return v.isString(); }));
    CHECK(*project == path && path.startsWith(u'/') && !path.contains(QChar(0)) && path.isValidUtf16(), path);
}

// libcurl's cookie list: each line to parseCookieLine(), all of them to parseCookieList().
void fuzz_cookie_list(Input in)
{
    const QList<QByteArray> lines = in.rest().split('\n');
    QList<NetscapeCookie> parsed;
    for (const QByteArray &line : lines) {
        const std::optional<NetscapeCookie> c = parseCookieLine(line);
        if (!c)
            continue;
        const QByteArray flag[2] = { "FALSE", "TRUE" }, tab = "\t";
        const QByteArray back = (c->httpOnly ? "#HttpOnly_" : "") + c->domain + tab + flag[c->includeSubdomains] + tab
            + c->path + tab + flag[c->secure] + tab + QByteArray::number(c->expires) + tab + c->name + tab + c->value;
        CHECK(!(c->domain + c->name + c->path).contains('\t') && !c->value.endsWith('\n') && !c->value.endsWith('\r'));
        CHECK(parseCookieLine(back) == c, back.toPercentEncoding()); // written back, it reads the same
        parsed << *c;
    }
    CHECK(parseCookieList(lines) == parsed); // every parsable line, in order, and nothing else
    (void)parseCookieLine(lines.join('\n')); // the whole input as one line
}

// The launch-at-login file read back, macOS's agent and Linux's entry: the bytes as the file and as the program.
void fuzz_agent_plist(Input in)
{
    static const PlatformTable mac = macPlatform("/nonexistent-home");
    const std::optional<QByteArray> ours = launchAgentContent(QString::fromUtf8(in.rest()), mac);
    CHECK(checkAgentPlist(in.rest(), launchAgentFileLimit).value_or(corruptPlistText) == corruptPlistText);
    CHECK(!ours || !checkAgentPlist(*ours, launchAgentFileLimit));
}
void fuzz_autostart_entry(Input in)
{
    static const PlatformTable linuxTable = linuxPlatform("/nonexistent-config");
    const QString path = QString::fromUtf8(in.rest());
    const std::optional<QString> verdict = checkAutostartEntry(in.rest(), "/opt/quenlo/quenlo-menubar");
    const auto keys = desktopEntryKeys(in.rest());
    const std::optional<QByteArray> ours = launchAgentContent(path, linuxTable);
    CHECK(verdict ? *verdict == corruptAutostartText : keys && keys->contains("Exec"));
    (void)(keys && parseExecValue(keys->value("Exec"))); // any Exec value is read without harm
    CHECK(parseExecValue(execArgument(path)) == QStringList { path } && (!ours || !checkAutostartEntry(*ours, path)));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return QUENLO_FUZZ_TARGET({ data, size }), 0;
}
