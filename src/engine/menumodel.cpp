#include "engine/menumodel.h"

#include "model/identity.h"
#include "model/text.h"

#include <algorithm>

namespace quenlo {

namespace {

const QString nasToolTip = QStringLiteral("NAS 模式下请在Quenlo内的任务中心管理采集");

/// The items as they are before any state: static titles, the lines hidden.
MenuModel freshMenu()
{
    MenuModel m;
    auto line = [&m](MenuItem item, const QString &text, bool visible = true) {
        m[item] = {text, {}, false, visible, false};
    };
    m[MenuItem::OpenLibrary].text = QStringLiteral("打开Quenlo");
    m[MenuItem::AddFromClipboard].text = QStringLiteral("从剪贴板添加");
    m[MenuItem::SettingsMenu].text = QStringLiteral("本机设置");
    m[MenuItem::OpenQuenloSettings].text = QStringLiteral("Quenlo设置…");
    m[MenuItem::RemoteLogin].text = QStringLiteral("设置Quenlo登录码…");
    m[MenuItem::Transcription].text = QStringLiteral("使用本机算力转写");
    line(MenuItem::TranscriptionStatus, QStringLiteral("正在检查本机转写环境…"));
    line(MenuItem::StatusLine, QStringLiteral("正在检查服务…"));
    line(MenuItem::Job0, QString(), false);
    line(MenuItem::Job1, QString(), false);
    line(MenuItem::QueueLine, QString(), false);
    m[MenuItem::SyncAll].text = QStringLiteral("立即同步全部");
    m[MenuItem::AutosyncMenu].text = QStringLiteral("自动同步");
    for (const qint64 hours : autosyncChoices)
        m[autosyncItem(hours)].text = autosyncTitle(hours);
    line(MenuItem::NextLine, QString(), false);
    m[MenuItem::Startup].text = QStringLiteral("开机自动启动");
    m[MenuItem::OpenProjectFolder].text = QStringLiteral("打开项目文件夹");
    m[MenuItem::RestartService].text = QStringLiteral("重启服务");
    m[MenuItem::QuitKeepingService].text = QStringLiteral("退出（Quenlo继续在后台运行）");
    m[MenuItem::QuitAndStopService].text = QStringLiteral("退出并停止服务");
    return m;
}

void adjustForMode(MenuModel &m, CompanionMode mode)
{
    m[MenuItem::RemoteLogin].enabled = mode == CompanionMode::NAS;
    if (mode == CompanionMode::Local)
        return;
    for (MenuItem item : {MenuItem::SyncAll, MenuItem::Autosync0, MenuItem::Autosync3, MenuItem::Autosync6,
                          MenuItem::Autosync12, MenuItem::Autosync24}) {
        m[item].enabled = false;
        m[item].toolTip = nasToolTip;
    }
    m[MenuItem::RestartService].text = QStringLiteral("重启本机连接");
    m[MenuItem::QuitAndStopService].text = QStringLiteral("退出并停止本机连接");
    if (mode != CompanionMode::NAS)
        return;
    m[MenuItem::OpenProjectFolder].enabled = false;
    m[MenuItem::QuitAndStopService].enabled = false;
    m[MenuItem::RestartService].text = QStringLiteral("重新检查连接");
}

void renderState(MenuModel &m, const MenuInputs &in)
{
    const MenuState &s = in.state;
    m[MenuItem::StatusLine].text = statusTitle(s, in.serviceBroken, in.flashText);

    for (size_t i = 0; i < 2; ++i) {
        ItemView &job = m[i == 0 ? MenuItem::Job0 : MenuItem::Job1];
        job.visible = i < s.jobs.size();
        if (job.visible)
            job.text = s.jobs[i].display();
    }

    ItemView &queue = m[MenuItem::QueueLine];
    if (s.queue.size() == 1)
        queue.text = QStringLiteral("排队中：") + s.queue.first();
    else if (s.queue.size() > 1)
        queue.text = QStringLiteral("排队中：") + s.queue.first() + QStringLiteral(" 等 ") +
                     QString::number(s.queue.size()) + QStringLiteral(" 个");
    queue.visible = !s.queue.isEmpty();

    for (const qint64 hours : autosyncChoices)
        m[autosyncItem(hours)].checked = s.autosyncKnown && hours == s.autosyncHours;

    ItemView &next = m[MenuItem::NextLine];
    next.visible = s.autosyncKnown && s.autosyncHours > 0 && s.autosyncNext > 0;
    if (next.visible)
        next.text = QStringLiteral("下次：") + humanTime(s.autosyncNext);

    m[MenuItem::Startup].checked = in.launchAgentEnabled;
}

void renderTranscription(MenuModel &m, const std::optional<TranscriptionWorker> &worker)
{
    const bool enabled = worker && worker->enabled == true;
    const bool ready = worker && worker->ready == true;
    m[MenuItem::Transcription].checked = enabled;
    m[MenuItem::Transcription].enabled = ready;
    QString &status = m[MenuItem::TranscriptionStatus].text;
    if (!ready)
        status = QStringLiteral("本机未配置离线转写");
    else if (worker->running == true)
        status = QStringLiteral("本机转写服务运行中");
    else
        status = QStringLiteral("关闭后不再领取转写任务");
}

} // namespace

MenuItem autosyncItem(qint64 hours)
{
    for (size_t i = 0; i < autosyncChoices.size(); ++i) {
        if (autosyncChoices[i] == hours)
            return MenuItem(int(MenuItem::Autosync0) + int(i));
    }
    return MenuItem::Autosync0;
}

QString statusTitle(const MenuState &state, bool serviceBroken, const std::optional<QString> &flashText)
{
    if (flashText)
        return *flashText;
    if (state.serviceUp && !state.unread)
        return QStringLiteral("服务运行中");
    if (state.serviceUp)
        return QStringLiteral("服务运行中 · 未读 ") + QString::number(*state.unread) + QStringLiteral(" 条");
    if (serviceBroken)
        return QStringLiteral("服务启动失败，请查看 server.log");
    return QStringLiteral("服务未运行");
}

QString toolTipText(const QString &statusLine, const QDateTime &lastPoll, const QDateTime &now)
{
    QString tip = appDisplayName + QLatin1Char('\n') + statusLine;
    if (!lastPoll.isValid())
        return tip;
    // A clock set back reads as just now rather than as a negative age.
    const qint64 seconds = std::max<qint64>(0, lastPoll.secsTo(now));
    if (seconds < 10)
        return tip + QStringLiteral("\n刚刚更新");
    if (seconds < 60)
        return tip + QStringLiteral("\n%1 秒前更新").arg(seconds);
    return tip + QStringLiteral("\n%1 分钟前更新").arg(seconds / 60);
}

QString symbolFor(const MenuState &state)
{
    if (!state.serviceUp)
        return symbolWarning;
    if (!state.jobs.empty())
        return symbolBusy;
    return symbolNormal;
}

MenuModel menuModel(const MenuInputs &inputs)
{
    MenuModel m = freshMenu();
    adjustForMode(m, inputs.mode);
    if (inputs.rendered) {
        renderState(m, inputs);
        m.symbol = symbolFor(inputs.state);
    } else {
        m.symbol = symbolNormal;
    }
    if (inputs.worker)
        renderTranscription(m, *inputs.worker);
    return m;
}

} // namespace quenlo
