#include "engine/menumodel.h"

#include <QtTest>

using namespace quenlo;

namespace {

MenuState upState()
{
    MenuState s;
    s.serviceUp = true;
    return s;
}

MenuModel rendered(const MenuState &s, bool broken = false, std::optional<QString> flash = std::nullopt,
                   bool launchAgent = false, CompanionMode mode = CompanionMode::Local)
{
    return menuModel(MenuInputs{mode, s, true, std::nullopt, broken, std::move(flash), launchAgent});
}

} // namespace

class TestMenuModel final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void beforeAnyPoll()
    {
        const MenuState none;
        const MenuModel m = menuModel(MenuInputs{CompanionMode::Local, none, false, std::nullopt, false, std::nullopt, false});
        QCOMPARE(m[MenuItem::StatusLine].text, QStringLiteral("正在检查服务…"));
        QCOMPARE(m[MenuItem::TranscriptionStatus].text, QStringLiteral("正在检查本机转写环境…"));
        QCOMPARE(m.symbol, symbolNormal);
        for (MenuItem line : {MenuItem::StatusLine, MenuItem::TranscriptionStatus, MenuItem::Job0, MenuItem::QueueLine,
                              MenuItem::NextLine})
            QVERIFY(!m[line].enabled);
        for (MenuItem hidden : {MenuItem::Job0, MenuItem::Job1, MenuItem::QueueLine, MenuItem::NextLine})
            QVERIFY(!m[hidden].visible);
        const QStringList autosync{"关闭", "每 3 小时", "每 6 小时", "每 12 小时", "每天"};
        for (int i = 0; i < 5; ++i)
            QCOMPARE(m[autosyncItem(autosyncChoices[size_t(i)])].text, autosync[i]);
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
        const MenuModel m = rendered(upState(), false, std::nullopt, false, CompanionMode(mode));
        const QString tip = syncEnabled ? QString() : QStringLiteral("NAS 模式下请在Quenlo内的任务中心管理采集");
        QCOMPARE(m[MenuItem::RemoteLogin].enabled, loginEnabled);
        for (const qint64 hours : autosyncChoices) {
            QCOMPARE(m[autosyncItem(hours)].enabled, syncEnabled);
            QCOMPARE(m[autosyncItem(hours)].toolTip, tip);
        }
        QCOMPARE(m[MenuItem::SyncAll].enabled, syncEnabled);
        QCOMPARE(m[MenuItem::SyncAll].toolTip, tip);
        QVERIFY(m[MenuItem::AutosyncMenu].enabled); // the submenu still opens
        QCOMPARE(m[MenuItem::RestartService].text, restartTitle);
        QCOMPARE(m[MenuItem::QuitAndStopService].text, quitStopTitle);
        QCOMPARE(m[MenuItem::QuitAndStopService].enabled, quitStopEnabled);
        QCOMPARE(m[MenuItem::OpenProjectFolder].enabled, folderEnabled);
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
        const auto flashText = flash.isEmpty() ? std::nullopt : std::optional<QString>(flash);
        QCOMPARE(rendered(s, broken, flashText)[MenuItem::StatusLine].text, expected);
    }

    void jobsAndIcon()
    {
        MenuState s = upState();
        MenuModel m = rendered(s);
        QCOMPARE(m.symbol, symbolNormal);
        QVERIFY(!m[MenuItem::Job0].visible);

        s.jobs = {{"知识星球同步", 42, ""}};
        m = rendered(s);
        QCOMPARE(m.symbol, symbolBusy);
        QCOMPARE(m[MenuItem::Job0].text, QStringLiteral("知识星球同步 · 42%"));
        QVERIFY(m[MenuItem::Job0].visible);
        QVERIFY(!m[MenuItem::Job1].visible);

        s.jobs = {{"A", std::nullopt, "一"}, {"B", std::nullopt, ""}, {"C", 1, ""}};
        m = rendered(s);
        QCOMPARE(m[MenuItem::Job0].text, QStringLiteral("A · 一"));
        QCOMPARE(m[MenuItem::Job1].text, QStringLiteral("B · 进行中"));
        for (const ItemView &item : m.items)
            QVERIFY(!item.text.startsWith("C ·"));

        MenuState down;
        down.jobs = s.jobs; // the icon follows the server, even with stale jobs
        QCOMPARE(rendered(down, true, QStringLiteral("x")).symbol, symbolWarning);
    }

    void queueLine_data()
    {
        QTest::addColumn<QStringList>("queue");
        QTest::addColumn<QString>("line"); // empty: hidden
        QTest::newRow("one") << QStringList{"A"} << "排队中：A";
        QTest::newRow("three") << QStringList{"A", "B", "C"} << "排队中：A 等 3 个";
        QTest::newRow("none") << QStringList{} << "";
    }
    void queueLine()
    {
        QFETCH(QStringList, queue);
        QFETCH(QString, line);
        MenuState s = upState();
        s.queue = queue;
        const ItemView item = rendered(s)[MenuItem::QueueLine];
        QCOMPARE(item.visible, !line.isEmpty());
        if (item.visible)
            QCOMPARE(item.text, line);
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
        const MenuModel m = rendered(s);
        for (const qint64 choice : autosyncChoices)
            QCOMPARE(m[autosyncItem(choice)].checked, choice == checkedTag);
        QCOMPARE(m[MenuItem::NextLine].visible, nextShown);
        if (nextShown)
            QVERIFY(m[MenuItem::NextLine].text.startsWith(QStringLiteral("下次：")));
        QVERIFY(!m[MenuItem::Startup].checked);
        QVERIFY(rendered(s, false, std::nullopt, true)[MenuItem::Startup].checked);
    }

    void toolTip_data()
    {
        QTest::addColumn<int>("age"); // seconds; -1: never answered
        QTest::addColumn<QString>("tip");
        QTest::newRow("never") << -1 << "本地Quenlo\n服务未运行";
        QTest::newRow("just now") << 9 << "本地Quenlo\n服务未运行\n刚刚更新";
        QTest::newRow("seconds") << 10 << "本地Quenlo\n服务未运行\n10 秒前更新";
        QTest::newRow("last second") << 59 << "本地Quenlo\n服务未运行\n59 秒前更新";
        QTest::newRow("minutes") << 150 << "本地Quenlo\n服务未运行\n2 分钟前更新";
        QTest::newRow("clock set back") << -30 << "本地Quenlo\n服务未运行\n刚刚更新";
    }
    void toolTip()
    {
        QFETCH(int, age);
        QFETCH(QString, tip);
        const QDateTime now = QDateTime::currentDateTime();
        const QDateTime last = age == -1 ? QDateTime() : now.addSecs(-age);
        QCOMPARE(toolTipText(QStringLiteral("服务未运行"), last, now), tip);
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
        const MenuState s = upState();
        const auto worker = readTranscriptionWorker(HTTPReply{body.isEmpty() ? -1 : 200, body});
        const MenuModel m = menuModel(MenuInputs{CompanionMode::Local, s, true, worker, false, std::nullopt, false});
        QCOMPARE(m[MenuItem::Transcription].checked, checked);
        QCOMPARE(m[MenuItem::Transcription].enabled, enabled);
        QCOMPARE(m[MenuItem::TranscriptionStatus].text, status);
    }
};

QTEST_GUILESS_MAIN(TestMenuModel)
#include "tst_menumodel.moc"
