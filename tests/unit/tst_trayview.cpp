#include "app/statusicon.h"
#include "app/trayview.h"
#include "enginefixture.h"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QtTest>

using namespace quenlo;
using quenlo::test::EngineFixture;
using quenlo::test::FakeHttpServer;

namespace {

TrayOptions quietTray()
{
    TrayOptions options;
    options.showTray = false;
    options.notifier = nullptr;
    return options;
}

} // namespace

class TestTrayView final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void menuShowsTheEngineMenuInOrder()
    {
        EngineFixture f;
        f.start();
        TrayView view(*f.engine, quietTray());
        const StatusMenu &m = view.statusMenu();
        const QList<QAction *> top = m.menu->actions();
        const QStringList titles{"打开Quenlo", "从剪贴板添加", "本机设置", "", "正在检查服务…", "", "", "",
                                 "立即同步全部", "", "自动同步", "", "开机自动启动", "", "打开项目文件夹",
                                 "重启服务", "", "退出（Quenlo继续在后台运行）", "退出并停止服务"};
        QCOMPARE(top.size(), titles.size());
        for (int i = 0; i < top.size(); ++i) {
            QCOMPARE(top[i]->text(), titles[i]);
            QCOMPARE(top[i]->isSeparator(), QList<int>({3, 9, 13, 16}).contains(i));
        }
        // Every item of the model is one action, rendered as the model says.
        const MenuModel model = f.engine->menu();
        for (int i = 0; i < menuItemCount; ++i) {
            const QAction *action = m.actions[size_t(i)];
            QCOMPARE(action->isEnabled(), model.items[size_t(i)].enabled);
            QCOMPARE(action->isVisible(), model.items[size_t(i)].visible);
        }
        QCOMPARE(m[MenuItem::OpenLibrary]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
        QCOMPARE(m[MenuItem::SettingsMenu]->menu(), m.settingsMenu);
        QCOMPARE(m.settingsMenu->actions(), (QList<QAction *>{m[MenuItem::OpenQuenloSettings], m[MenuItem::RemoteLogin],
                                                              m[MenuItem::Transcription], m[MenuItem::TranscriptionStatus]}));
        QCOMPARE(m.autosyncMenu->actions().size(), 5);
        QCOMPARE(m.autosyncMenu->actions().at(2)->text(), QStringLiteral("每 6 小时"));
        QVERIFY(m[MenuItem::Transcription]->isCheckable() && m[MenuItem::Startup]->isCheckable());

        QVERIFY(f.settle());
        QCOMPARE(m[MenuItem::StatusLine]->text(), QStringLiteral("服务运行中"));
    }

    void clickedCheckmarksFollowTheServerNotTheClick()
    {
        EngineFixture f;
        f.server->route("POST", "/api/transcription-worker", FakeHttpServer::json(200, R"({"message":"好"})"));
        f.start();
        TrayView view(*f.engine, quietTray());
        QVERIFY(f.settle());
        const StatusMenu &m = view.statusMenu();
        QVERIFY(m[MenuItem::Transcription]->isChecked()); // the server says enabled
        m[MenuItem::Transcription]->trigger();
        QVERIFY(m[MenuItem::Transcription]->isChecked()); // until a poll says otherwise
        m[MenuItem::Autosync12]->trigger();
        QVERIFY(!m[MenuItem::Autosync12]->isChecked()); // the fake server keeps no schedule
        QVERIFY(f.settle());
        QVERIFY(!m[MenuItem::Autosync12]->isChecked());
        QCOMPARE(f.server->requestsFor("POST", "/api/autosync").size(), 1);
    }

    void clipboardText_data()
    {
        QTest::addColumn<QString>("text"); // empty: the clipboard holds only the URL
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<QString>("sent");
        QTest::newRow("text wins") << "  链接 " << QUrl("https://example.org/x") << "  链接 ";
        QTest::newRow("only a url") << "" << QUrl("https://example.com/only-url") << "https://example.com/only-url";
        QTest::newRow("escapes kept") << "" << QUrl("https://example.org/a%20b?q=%E4%B8%AD")
                                      << "https://example.org/a%20b?q=%E4%B8%AD";
    }
    void clipboardText()
    {
        QFETCH(QString, text);
        QFETCH(QUrl, url);
        QFETCH(QString, sent);
        auto *data = new QMimeData;
        data->setUrls({url});
        if (!text.isEmpty())
            data->setText(text);
        QGuiApplication::clipboard()->setMimeData(data);
        QCOMPARE(systemClipboardText(), sent);
    }

    void iconFollowsThePalette()
    {
        EngineFixture f;
        f.start();
        TrayOptions options = quietTray();
        options.showTray = true; // no session bus here: the icon is made at once
        TrayView view(*f.engine, std::move(options));
        view.show();
        QTRY_VERIFY(view.trayIcon());
        QVERIFY(f.settle()); // no symbol change is left to redraw the icon by chance
        // The brightest opaque pixel is the ink: the symbol is drawn in the palette's text colour.
        const auto ink = [&view] {
            const QImage image = view.trayIcon()->icon().pixmap(22, 22).toImage().convertToFormat(QImage::Format_ARGB32);
            int best = -1;
            QColor found;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) {
                    const QColor c = QColor::fromRgba(image.pixel(x, y));
                    if (c.alpha() == 255 && c.red() + c.green() > best) {
                        best = c.red() + c.green();
                        found = c;
                    }
                }
            return found;
        };
        QPalette palette = QApplication::palette();
        palette.setColor(QPalette::WindowText, QColor(255, 0, 0));
        QApplication::setPalette(palette);
        QTRY_COMPARE(ink(), QColor(255, 0, 0));
        palette.setColor(QPalette::WindowText, QColor(0, 255, 0));
        QApplication::setPalette(palette);
        QTRY_COMPARE(ink(), QColor(0, 255, 0));
    }

    void icons()
    {
        for (const QString &name : {symbolNormal, symbolBusy, symbolWarning}) {
            QVERIFY2(hasSymbol(name), qPrintable(name));
            const QImage image =
                symbolIcon(name, Qt::white).pixmap(22, 22).toImage().convertToFormat(QImage::Format_ARGB32);
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
};

QTEST_MAIN(TestTrayView)
#include "tst_trayview.moc"
