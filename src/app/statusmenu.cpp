#include "app/statusmenu.h"

#include "model/text.h"

#include <QKeySequence>

namespace quenlo {

namespace {

const QString nasToolTip = QStringLiteral("NAS 模式下请在Quenlo内的任务中心管理采集");

QAction *addLine(QMenu *menu, const QString &title)
{
    QAction *action = menu->addAction(title);
    action->setEnabled(false);
    return action;
}

} // namespace

StatusMenu buildStatusMenu(QWidget *parent)
{
    StatusMenu m;
    m.menu = new QMenu(parent);
    m.menu->setToolTipsVisible(true);

    m.openLibrary = m.menu->addAction(QStringLiteral("打开Quenlo"));
    m.openLibrary->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    m.addFromClipboard = m.menu->addAction(QStringLiteral("从剪贴板添加"));

    m.settingsMenu = new QMenu(QStringLiteral("本机设置"), m.menu);
    m.settingsMenu->setToolTipsVisible(true);
    m.settingsEntry = m.menu->addMenu(m.settingsMenu);
    m.openQuenloSettings = m.settingsMenu->addAction(QStringLiteral("Quenlo设置…"));
    m.remoteLoginItem = m.settingsMenu->addAction(QStringLiteral("设置Quenlo登录码…"));
    m.transcriptionItem = m.settingsMenu->addAction(QStringLiteral("使用本机算力转写"));
    m.transcriptionItem->setCheckable(true);
    m.transcriptionStatus = addLine(m.settingsMenu, QStringLiteral("正在检查本机转写环境…"));

    m.menu->addSeparator();
    m.statusLine = addLine(m.menu, QStringLiteral("正在检查服务…"));
    m.jobLines[0] = addLine(m.menu, QString());
    m.jobLines[1] = addLine(m.menu, QString());
    m.queueLine = addLine(m.menu, QString());
    m.syncAll = m.menu->addAction(QStringLiteral("立即同步全部"));
    m.menu->addSeparator();

    m.autosyncMenu = new QMenu(QStringLiteral("自动同步"), m.menu);
    m.autosyncMenu->setToolTipsVisible(true);
    m.autosyncEntry = m.menu->addMenu(m.autosyncMenu);
    for (int hours : {0, 3, 6, 12, 24}) {
        QAction *item = m.autosyncMenu->addAction(autosyncTitle(hours));
        item->setData(hours);
        item->setCheckable(true);
        m.autosyncItems.append(item);
    }
    m.nextLine = addLine(m.menu, QString());
    m.startupItem = m.menu->addAction(QStringLiteral("开机自动启动"));
    m.startupItem->setCheckable(true);
    m.menu->addSeparator();

    m.openProjectFolder = m.menu->addAction(QStringLiteral("打开项目文件夹"));
    m.restartService = m.menu->addAction(QStringLiteral("重启服务"));
    m.menu->addSeparator();
    m.quitKeepingService = m.menu->addAction(QStringLiteral("退出（Quenlo继续在后台运行）"));
    m.quitAndStopService = m.menu->addAction(QStringLiteral("退出并停止服务"));

    for (QAction *line : {m.jobLines[0], m.jobLines[1], m.queueLine, m.nextLine})
        line->setVisible(false);
    return m;
}

void adjustMenuForMode(StatusMenu &m, CompanionMode mode)
{
    m.remoteLoginItem->setEnabled(mode == CompanionMode::NAS);
    if (mode == CompanionMode::Local)
        return;
    m.syncAll->setEnabled(false);
    m.syncAll->setToolTip(nasToolTip);
    for (QAction *item : std::as_const(m.autosyncItems)) {
        item->setEnabled(false);
        item->setToolTip(nasToolTip);
    }
    m.restartService->setText(QStringLiteral("重启本机连接"));
    m.quitAndStopService->setText(QStringLiteral("退出并停止本机连接"));
    if (mode != CompanionMode::NAS)
        return;
    m.openProjectFolder->setEnabled(false);
    m.quitAndStopService->setEnabled(false);
    m.restartService->setText(QStringLiteral("重新检查连接"));
}

QString symbolFor(const MenuState &state)
{
    if (!state.serviceUp)
        return QStringLiteral("exclamationmark.triangle");
    if (!state.jobs.empty())
        return QStringLiteral("arrow.triangle.2.circlepath");
    return QStringLiteral("books.vertical");
}

namespace {

QString statusTitle(const MenuRendering &r)
{
    if (r.flashText)
        return *r.flashText;
    if (r.state.serviceUp && !r.state.unread)
        return QStringLiteral("服务运行中");
    if (r.state.serviceUp)
        return QStringLiteral("服务运行中 · 未读 ") + QString::number(*r.state.unread) + QStringLiteral(" 条");
    if (r.serviceBroken)
        return QStringLiteral("服务启动失败，请查看 server.log");
    return QStringLiteral("服务未运行");
}

} // namespace

QString renderMenu(StatusMenu &m, const MenuRendering &r)
{
    const MenuState &s = r.state;
    m.statusLine->setText(statusTitle(r));

    for (size_t i = 0; i < 2; ++i) {
        if (i < s.jobs.size())
            m.jobLines[i]->setText(s.jobs[i].display());
        m.jobLines[i]->setVisible(i < s.jobs.size());
    }

    if (s.queue.size() == 1)
        m.queueLine->setText(QStringLiteral("排队中：") + s.queue.first());
    else if (s.queue.size() > 1)
        m.queueLine->setText(QStringLiteral("排队中：") + s.queue.first() + QStringLiteral(" 等 ") +
                             QString::number(s.queue.size()) + QStringLiteral(" 个"));
    m.queueLine->setVisible(!s.queue.isEmpty());

    for (QAction *item : std::as_const(m.autosyncItems))
        item->setChecked(s.autosyncKnown && item->data().toLongLong() == s.autosyncHours);

    const bool showNext = s.autosyncKnown && s.autosyncHours > 0 && s.autosyncNext > 0;
    if (showNext)
        m.nextLine->setText(QStringLiteral("下次：") + humanTime(s.autosyncNext));
    m.nextLine->setVisible(showNext);

    m.startupItem->setChecked(r.launchAgentEnabled);
    return symbolFor(s);
}

void renderTranscription(StatusMenu &m, const std::optional<TranscriptionWorker> &worker)
{
    const bool enabled = worker && worker->enabled == true;
    const bool ready = worker && worker->ready == true;
    m.transcriptionItem->setChecked(enabled);
    m.transcriptionItem->setEnabled(ready);
    if (!ready)
        m.transcriptionStatus->setText(QStringLiteral("本机未配置离线转写"));
    else if (worker->running == true)
        m.transcriptionStatus->setText(QStringLiteral("本机转写服务运行中"));
    else
        m.transcriptionStatus->setText(QStringLiteral("关闭后不再领取转写任务"));
}

} // namespace quenlo
