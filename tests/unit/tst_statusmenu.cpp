#include "app/statusicon.h"
#include "app/statusmenu.h"

#include <QApplication>
#include <QtTest>

using namespace quenlo;

namespace {

struct Row {
    QString title;
    bool separator;
    bool enabled;
    bool visible;
};

QList<Row> rows(QMenu *menu)
{
    QList<Row> out;
    for (QAction *a : menu->actions())
        out.append({a->text(), a->isSeparator(), a->isEnabled(), a->isVisible()});
    return out;
}

MenuState upState()
{
    MenuState s;
    s.serviceUp = true;
    return s;
}

MenuRendering plain(const MenuState &s) { return MenuRendering{s, false, std::nullopt, false}; }

} // namespace

class TestStatusMenu final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { m_menu = buildStatusMenu(); }
    void cleanup() { delete m_menu.menu; }

    void builtMenuHasNineteenItemsInOrder()
    {
        const QList<Row> r = rows(m_menu.menu);
        QCOMPARE(r.size(), 19);
        const QStringList titles{"打开Quenlo", "从剪贴板添加", "本机设置", "", "正在检查服务…", "", "", "",
                                 "立即同步全部", "", "自动同步", "", "开机自动启动", "", "打开项目文件夹",
                                 "重启服务", "", "退出（Quenlo继续在后台运行）", "退出并停止服务"};
        for (int i = 0; i < 19; ++i)
            QCOMPARE(r[i].title, titles[i]);
        for (int i : {3, 9, 13, 16})
            QVERIFY2(r[i].separator, qPrintable(QString::number(i)));
        // Lines that only show state are disabled; the hidden ones wait for a poll.
        for (int i : {4, 5, 6, 7, 11})
            QVERIFY(!r[i].enabled);
        for (int i : {5, 6, 7, 11})
            QVERIFY(!r[i].visible);
        QVERIFY(r[4].visible);
        for (int i : {0, 1, 2, 8, 10, 12, 14, 15, 17, 18})
            QVERIFY2(r[i].enabled && r[i].visible, qPrintable(r[i].title));
        QCOMPARE(m_menu.openLibrary->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
        QCOMPARE(m_menu.settingsEntry->menu(), m_menu.settingsMenu);
        QCOMPARE(m_menu.autosyncEntry->menu(), m_menu.autosyncMenu);
    }

    void submenus()
    {
        const QList<Row> s = rows(m_menu.settingsMenu);
        QCOMPARE(s.size(), 4);
        QCOMPARE(s[0].title, QStringLiteral("Quenlo设置…"));
        QCOMPARE(s[1].title, QStringLiteral("设置Quenlo登录码…"));
        QCOMPARE(s[2].title, QStringLiteral("使用本机算力转写"));
        QCOMPARE(s[3].title, QStringLiteral("正在检查本机转写环境…"));
        QVERIFY(!s[3].enabled);
        QVERIFY(m_menu.transcriptionItem->isCheckable());

        const QList<Row> a = rows(m_menu.autosyncMenu);
        const QList<QPair<int, QString>> expected{{0, "关闭"}, {3, "每 3 小时"}, {6, "每 6 小时"}, {12, "每 12 小时"},
                                                  {24, "每天"}};
        QCOMPARE(m_menu.autosyncItems.size(), 5);
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(m_menu.autosyncItems[i]->data().toInt(), expected[i].first);
            QCOMPARE(m_menu.autosyncItems[i]->text(), expected[i].second);
            QCOMPARE(m_menu.autosyncMenu->actions().at(i), m_menu.autosyncItems[i]);
        }
    }

    void modes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("loginEnabled");
        QTest::addColumn<bool>("syncEnabled");
        QTest::addColumn<QString>("restartTitle");
        QTest::addColumn<QString>("quitStopTitle");
        QTest::addColumn<bool>("quitStopEnabled");
        QTest::addColumn<bool>("folderEnabled");
        QTest::newRow("local") << int(CompanionMode::Local) << false << true << "重启服务" << "退出并停止服务" << true
                               << true;
        QTest::newRow("nas client") << int(CompanionMode::NASClient) << false << false << "重启本机连接"
                                    << "退出并停止本机连接" << true << true;
        QTest::newRow("nas") << int(CompanionMode::NAS) << true << false << "重新检查连接" << "退出并停止本机连接"
                             << false << false;
    }
    void modes()
    {
        QFETCH(int, mode);
        QFETCH(bool, loginEnabled);
        QFETCH(bool, syncEnabled);
        QFETCH(QString, restartTitle);
        QFETCH(QString, quitStopTitle);
        QFETCH(bool, quitStopEnabled);
        QFETCH(bool, folderEnabled);
        adjustMenuForMode(m_menu, CompanionMode(mode));
        const QString tip = syncEnabled ? QString() : QStringLiteral("NAS 模式下请在Quenlo内的任务中心管理采集");
        QCOMPARE(m_menu.remoteLoginItem->isEnabled(), loginEnabled);
        QCOMPARE(m_menu.syncAll->isEnabled(), syncEnabled);
        QCOMPARE(m_menu.syncAll->toolTip() == tip, !syncEnabled);
        for (QAction *item : m_menu.autosyncItems) {
            QCOMPARE(item->isEnabled(), syncEnabled);
            if (!syncEnabled)
                QCOMPARE(item->toolTip(), tip);
        }
        QVERIFY(m_menu.autosyncEntry->isEnabled()); // the submenu still opens
        QCOMPARE(m_menu.restartService->text(), restartTitle);
        QCOMPARE(m_menu.quitAndStopService->text(), quitStopTitle);
        QCOMPARE(m_menu.quitAndStopService->isEnabled(), quitStopEnabled);
        QCOMPARE(m_menu.openProjectFolder->isEnabled(), folderEnabled);
        QCOMPARE(rows(m_menu.menu).size(), 19);
    }

    void statusLine_data()
    {
        QTest::addColumn<bool>("up");
        QTest::addColumn<int>("unread"); // -1 absent
        QTest::addColumn<bool>("broken");
        QTest::addColumn<QString>("flash");
        QTest::addColumn<QString>("expected");
        QTest::newRow("up, unread unknown") << true << -1 << false << "" << "服务运行中";
        QTest::newRow("up, three unread") << true << 3 << false << "" << "服务运行中 · 未读 3 条";
        QTest::newRow("up, zero unread") << true << 0 << false << "" << "服务运行中 · 未读 0 条";
        QTest::newRow("up beats broken") << true << -1 << true << "" << "服务运行中";
        QTest::newRow("down and broken") << false << -1 << true << "" << "服务启动失败，请查看 server.log";
        QTest::newRow("down") << false << 5 << false << "" << "服务未运行";
        QTest::newRow("flash wins") << true << 3 << false << "已开始更新知识星球" << "已开始更新知识星球";
    }
    void statusLine()
    {
        QFETCH(bool, up);
        QFETCH(int, unread);
        QFETCH(bool, broken);
        QFETCH(QString, flash);
        QFETCH(QString, expected);
        MenuState s;
        s.serviceUp = up;
        if (unread >= 0)
            s.unread = unread;
        renderMenu(m_menu, {s, broken, flash.isEmpty() ? std::nullopt : std::optional<QString>(flash), false});
        QCOMPARE(m_menu.statusLine->text(), expected);
    }

    void jobsAndIcon()
    {
        MenuState s = upState();
        QCOMPARE(renderMenu(m_menu, plain(s)), symbolNormal);
        QVERIFY(!m_menu.jobLines[0]->isVisible());
        QVERIFY(!m_menu.jobLines[1]->isVisible());

        s.jobs = {{"知识星球同步", 42, ""}};
        QCOMPARE(renderMenu(m_menu, plain(s)), symbolBusy);
        QCOMPARE(m_menu.jobLines[0]->text(), QStringLiteral("知识星球同步 · 42%"));
        QVERIFY(m_menu.jobLines[0]->isVisible());
        QVERIFY(!m_menu.jobLines[1]->isVisible());

        s.jobs = {{"A", std::nullopt, "一"}, {"B", std::nullopt, ""}, {"C", 1, ""}};
        renderMenu(m_menu, plain(s));
        QCOMPARE(m_menu.jobLines[0]->text(), QStringLiteral("A · 一"));
        QCOMPARE(m_menu.jobLines[1]->text(), QStringLiteral("B · 进行中"));
        QVERIFY(m_menu.jobLines[1]->isVisible());
        for (QAction *a : m_menu.menu->actions())
            QVERIFY(!a->text().startsWith("C ·"));

        MenuState down;
        down.jobs = s.jobs; // the icon follows the server, even with stale jobs
        QCOMPARE(renderMenu(m_menu, {down, true, QStringLiteral("x"), false}), symbolWarning);
    }

    void queueLine()
    {
        MenuState s = upState();
        s.queue = {"A"};
        renderMenu(m_menu, plain(s));
        QCOMPARE(m_menu.queueLine->text(), QStringLiteral("排队中：A"));
        QVERIFY(m_menu.queueLine->isVisible());
        s.queue = {"A", "B", "C"};
        renderMenu(m_menu, plain(s));
        QCOMPARE(m_menu.queueLine->text(), QStringLiteral("排队中：A 等 3 个"));
        s.queue.clear();
        renderMenu(m_menu, plain(s));
        QVERIFY(!m_menu.queueLine->isVisible());
    }

    void autosync_data()
    {
        QTest::addColumn<bool>("known");
        QTest::addColumn<qint64>("hours");
        QTest::addColumn<double>("next");
        QTest::addColumn<int>("checkedTag"); // -1 none
        QTest::addColumn<bool>("nextShown");
        QTest::newRow("six hours, no next") << true << qint64(6) << 0.0 << 6 << false;
        QTest::newRow("off with a next") << true << qint64(0) << 1.0e9 << 0 << false;
        QTest::newRow("unknown") << false << qint64(6) << 1.0e9 << -1 << false;
        QTest::newRow("daily with next in the past") << true << qint64(24) << 1.0e9 << 24 << true;
        QTest::newRow("interval not offered") << true << qint64(5) << 1.0e9 << -1 << true;
    }
    void autosync()
    {
        QFETCH(bool, known);
        QFETCH(qint64, hours);
        QFETCH(double, next);
        QFETCH(int, checkedTag);
        QFETCH(bool, nextShown);
        MenuState s = upState();
        s.autosyncKnown = known;
        s.autosyncHours = hours;
        s.autosyncNext = next;
        renderMenu(m_menu, plain(s));
        for (QAction *item : m_menu.autosyncItems)
            QCOMPARE(item->isChecked(), item->data().toInt() == checkedTag);
        QCOMPARE(m_menu.nextLine->isVisible(), nextShown);
        if (nextShown)
            QVERIFY(m_menu.nextLine->text().startsWith(QStringLiteral("下次：")));
    }

    void launchAgentMark()
    {
        MenuState s = upState();
        renderMenu(m_menu, {s, false, std::nullopt, true});
        QVERIFY(m_menu.startupItem->isChecked());
        renderMenu(m_menu, {s, false, std::nullopt, false});
        QVERIFY(!m_menu.startupItem->isChecked());
    }

    void transcription_data()
    {
        QTest::addColumn<QByteArray>("body"); // empty: no information
        QTest::addColumn<bool>("checked");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("status");
        QTest::newRow("ready and running") << QByteArray(R"({"ready":true,"running":true,"enabled":true})") << true
                                           << true << "本机转写服务运行中";
        QTest::newRow("ready, not running") << QByteArray(R"({"ready":true,"running":false,"enabled":false})")
                                            << false << true << "关闭后不再领取转写任务";
        QTest::newRow("ready, running not a bool") << QByteArray(R"({"ready":true,"running":"yes","enabled":true})")
                                                   << true << true << "关闭后不再领取转写任务";
        QTest::newRow("not ready but enabled") << QByteArray(R"({"ready":false,"enabled":true})") << true << false
                                               << "本机未配置离线转写";
        QTest::newRow("ready not a bool") << QByteArray(R"({"ready":1,"enabled":true})") << true << false
                                          << "本机未配置离线转写";
        QTest::newRow("no information") << QByteArray() << false << false << "本机未配置离线转写";
    }
    void transcription()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, checked);
        QFETCH(bool, enabled);
        QFETCH(QString, status);
        renderTranscription(m_menu, readTranscriptionWorker(HTTPReply{body.isEmpty() ? -1 : 200, body}));
        QCOMPARE(m_menu.transcriptionItem->isChecked(), checked);
        QCOMPARE(m_menu.transcriptionItem->isEnabled(), enabled);
        QCOMPARE(m_menu.transcriptionStatus->text(), status);
    }

    void icons()
    {
        for (const QString &name : {symbolNormal, symbolBusy, symbolWarning}) {
            QVERIFY2(hasSymbol(name), qPrintable(name));
            const QImage image =
                symbolIcon(name, Qt::white).pixmap(22, 22).toImage().convertToFormat(QImage::Format_ARGB32);
            QVERIFY(!image.isNull());
            int ink = 0;
            int halo = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) {
                    const QColor c = QColor::fromRgba(image.pixel(x, y));
                    if (c.alpha() > 200 && c.lightness() > 240)
                        ++ink;
                    else if (c.alpha() > 60 && c.lightness() < 40)
                        ++halo;
                }
            // The symbol in the wanted colour, ringed by the opposite one for any panel.
            QVERIFY2(ink > 20, qPrintable(name));
            QVERIFY2(halo > 10, qPrintable(name));
        }
        QVERIFY(!hasSymbol(QStringLiteral("no.such.symbol")));
        QVERIFY(!symbolIcon(QStringLiteral("no.such.symbol"), Qt::black).pixmap(22, 22).isNull());
    }

private:
    StatusMenu m_menu;
};

QTEST_MAIN(TestStatusMenu)
#include "tst_statusmenu.moc"
