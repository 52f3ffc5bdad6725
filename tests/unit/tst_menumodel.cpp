#include "engine/commandmessages.h"
#include "engine/menumodel.h"
#include "model/text.h"

#include <QtTest>

using namespace quenlo;

namespace {

// An item as one string: its text, then "!" when disabled, "-" when hidden, "✓" when checked, "?" with a tool tip.
QString shown(const ItemView &v)
{
    return v.text + (v.enabled ? "" : "!") + (v.visible ? "" : "-") + (v.checked ? "✓" : "")
        + (v.toolTip.isEmpty() ? "" : "?");
}

// The local menu before any poll, item by item.
const QStringList fresh { "打开Quenlo", "从剪贴板添加", "本机设置", "Quenlo设置…", "设置Quenlo登录码…!",
    "使用本机算力转写", "正在检查本机转写环境…!", "正在检查服务…!", "!-", "!-", "!-", "立即同步全部", "自动同步",
    "关闭", "每 3 小时", "每 6 小时", "每 12 小时", "每天", "!-", "开机自动启动", "打开项目文件夹", "重启服务",
    "退出（Quenlo继续在后台运行）", "退出并停止服务" };

// The menu for a /api/menu-status object ("" before any poll) or, with "worker", a worker reply, with what the other
// \a flags say: the items that differ from the fresh menu, and the symbol unless it is the normal one.
QString menuChanges(const QString &flags, const QByteArray &body)
{
    const bool worker = flags.contains("worker");
    MenuState s = readMenuStatus(QJsonDocument::fromJson(worker ? "{}" : body).object());
    s.serviceUp = !flags.contains("down");
    const CompanionMode mode = flags.contains("nas") ? CompanionMode::NAS
        : flags.contains("client")                   ? CompanionMode::NASClient
                                                     : CompanionMode::Local;
    const auto w = worker ? std::make_optional(readTranscriptionWorker(HTTPReply { 200, body })) : std::nullopt;
    const MenuModel m
        = menuModel({ mode, s, !worker && !body.isEmpty(), w, flags.contains("broken"), std::nullopt, false });
    QStringList out;
    for (int i = 0; i < menuItemCount; ++i)
        if (shown(m.items[size_t(i)]) != fresh[i])
            out << shown(m.items[size_t(i)]);
    return (m.symbol == symbolNormal ? out : out << m.symbol).join(" | ");
}

const QString noSync = "立即同步全部!? | 关闭!? | 每 3 小时!? | 每 6 小时!? | 每 12 小时!? | 每天!?";
const QByteArray errorOf80 = R"({"error":")" + QString(80, u'错').toUtf8() + "\"}";
const auto cut = [](int n) { return QString(n, u'错') + "…"; };

} // namespace

class TestMenuModel final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // What the user reads for each input: the menu, the tool tip, the message of each command's reply.
    void texts_data()
    {
        QTest::addColumn<QString>("reader");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("text");
        const auto row = [](const char *reader, int status, const QByteArray &body, const QString &text) {
            QTest::addRow("%s %d %s", reader, status, qPrintable(QString::fromUtf8(body).left(30)))
                << QString(reader) << status << body << text;
        };
        row("menu", 0, "", "");
        row("menu client", 0, "", noSync + " | 重启本机连接 | 退出并停止本机连接");
        row("menu nas", 0, "",
            "设置Quenlo登录码… | " + noSync + " | 打开项目文件夹! | 重新检查连接 | 退出并停止本机连接!");
        row("menu", 0, R"({"unread":3,"jobs":[{"label":"A","progress":42}],"queue":[{"label":"Q"}]})",
            "服务运行中 · 未读 3 条! | A · 42%! | 排队中：Q! | " + symbolBusy);
        row("menu", 0, R"({"unread":0,"jobs":[{"label":"A","message":"一"},{"label":"B"},{"label":"C"}],
                "queue":[{"label":"P"},{"label":"Q"}]})",
            "服务运行中 · 未读 0 条! | A · 一! | B · 进行中! | 排队中：P 等 2 个! | " + symbolBusy);
        row("menu down broken", 0, R"({"jobs":[{"label":"A"}]})",
            "服务启动失败，请查看 server.log! | A · 进行中! | " + symbolWarning);
        row("menu down", 0, R"({"unread":5})", "服务未运行! | " + symbolWarning);
        row("menu", 0, R"({"autosync":{"hours":6,"next":0}})", "服务运行中! | 每 6 小时✓");
        row("menu", 0, R"({"autosync":{"hours":0,"next":1e9}})", "服务运行中! | 关闭✓");
        row("menu", 0, R"({"autosync":{"hours":24,"next":1e9}})",
            "服务运行中! | 每天✓ | 下次：" + humanTime(1e9) + "!");
        row("menu worker", 0, R"({"ready":true,"running":true,"enabled":true})",
            "使用本机算力转写✓ | 本机转写服务运行中!");
        row("menu worker", 0, R"({"ready":false,"enabled":true})", "使用本机算力转写!✓ | 本机未配置离线转写!");
        row("menu worker", 0, R"({"ready":1,"enabled":1})", "使用本机算力转写! | 本机未配置离线转写!");
        row("tool tip", -1, "", "本地Quenlo\n服务未运行"); // the status is the age in seconds; -1: never polled
        row("tool tip", 9, "", "本地Quenlo\n服务未运行\n刚刚更新");
        row("tool tip", 10, "", "本地Quenlo\n服务未运行\n10 秒前更新");
        row("tool tip", 60, "", "本地Quenlo\n服务未运行\n1 分钟前更新");
        row("tool tip", 120, "", "本地Quenlo\n服务未运行\n2 分钟前更新");
        row("clipboard", 0, " " + QByteArray(16384, 'a'), QString(16384, 'a'));
        row("clipboard", 0, QString(5462, u'链').toUtf8(), "剪贴板内容过长，请复制单个链接"); // 16386 bytes
        row("add", 202, R"({"error":"x"})", "已收入Quenlo，等待后台处理");
        row("add", 200, "{}", "添加未成功，请稍后重试");
        row("add", 400, errorOf80, cut(50));
        row("nas", 200, R"({"ok":true,"id":null})", "已收入Quenlo，等待后台处理");
        row("nas", 200, R"({"ok":true})", "未取得投递回执，请查看任务中心");
        row("sync", 200, R"({"state":"started"})", "已开始更新知识星球");
        row("sync", 200, R"({"state":"queued"})", "已排队，等前面的任务结束");
        row("sync", 200, R"({"state":"running"})", "知识星球更新正在进行中");
        row("sync", 200, R"({"state":"done"})", "更新请求已提交");
        row("sync", 409, errorOf80, cut(30));
        row("sync", 0, R"({"error":""})", "服务未运行");
        row("sync", 500, "", "更新请求没有成功");
        row("autosync 6", 404, R"({"error":"x"})", "当前服务版本还没有自动同步");
        row("autosync 0", 200, "", "已关闭自动同步");
        row("autosync 6", 200, "", "自动同步已设为每 6 小时");
        row("autosync 6", 500, errorOf80, cut(30));
        row("autosync 6", -1, "", "设置没有保存成功");
        row("switch", 500, R"({"message":"好","error":"坏"})", "好");
        row("switch", 200, R"({"message":" ","error":"坏"})", "坏");
        row("switch", 200, R"({"message":1})", "本机转写开关设置失败");
        row("next switch", 200, R"({"enabled":true})", "false");
        row("next switch", 200, R"({"enabled":false})", "true");
        row("next switch", -1, "", "true");
    }
    void texts()
    {
        QFETCH(QString, reader);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        const HTTPReply r { status, body };
        const ClipboardText clip = prepareClipboardText(QString::fromUtf8(body));
        const QDateTime now = QDateTime::currentDateTime();
        const QDateTime polled = status == -1 ? QDateTime() : now.addSecs(-status);
        QTEST(reader.startsWith("menu")         ? menuChanges(reader, body)
                : reader == "tool tip"          ? toolTipText("服务未运行", polled, now)
                : reader == "clipboard"         ? clip.message.value_or(clip.text)
                : reader == "add"               ? clipboardAddMessage(r)
                : reader == "nas"               ? nasTaskMessage(QJsonDocument::fromJson(body).object())
                : reader == "sync"              ? syncAllMessage(r)
                : reader.startsWith("autosync") ? autosyncSetMessage(r, reader.mid(9).toLongLong())
                : reader == "switch"            ? transcriptionSetMessage(r)
                                                : QVariant(nextTranscriptionSetting(r)).toString(),
            "text");
    }
};

QTEST_GUILESS_MAIN(TestMenuModel)
#include "tst_menumodel.moc"
