#include "engine/commandmessages.h"

#include <QtTest>

using namespace quenlo;

namespace {
const QString eighty = QString(80, QChar(u'错'));
QByteArray errorBody(const QString &text)
{
    return QJsonDocument(QJsonObject{{"error", text}}).toJson(QJsonDocument::Compact);
}
} // namespace

class TestCommandMessages final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void clipboard_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("blanks and line breaks only") << " \n\t\r\n \u3000" << "" << "剪贴板中没有可添加的链接";
        QTest::newRow("trimmed link") << "\n  https://example.com/x  \n" << "https://example.com/x" << "";
        QTest::newRow("exactly 16384 bytes") << QString(16384, 'a') << QString(16384, 'a') << "";
        QTest::newRow("16385 bytes") << QString(16385, 'a') << "" << "剪贴板内容过长，请复制单个链接";
        QTest::newRow("5461 Chinese characters = 16383 bytes") << QString(5461, QChar(u'链')) << QString(5461, QChar(u'链'))
                                                               << "";
        QTest::newRow("5462 Chinese characters = 16386 bytes") << QString(5462, QChar(u'链')) << ""
                                                               << "剪贴板内容过长，请复制单个链接";
        QTest::newRow("blanks do not count toward the limit") << "   " + QString(16384, 'b') + "\n\n"
                                                              << QString(16384, 'b') << "";
    }
    void clipboard()
    {
        QFETCH(QString, raw);
        QFETCH(QString, text);
        QFETCH(QString, message);
        const ClipboardText clip = prepareClipboardText(raw);
        QCOMPARE(clip.message.value_or(QString()), message);
        if (message.isEmpty())
            QCOMPARE(clip.text, text);
    }

    void clipboardAdd_data()
    {
        QTest::addColumn<qint64>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("202 accepted, body ignored") << qint64(202) << errorBody("x") << "已收入Quenlo，等待后台处理";
        QTest::newRow("200 is not success") << qint64(200) << QByteArray("{}") << "添加未成功，请稍后重试";
        QTest::newRow("no answer") << qint64(-1) << QByteArray() << "添加未成功，请稍后重试";
        QTest::newRow("error text of 80 cut at 50") << qint64(400) << errorBody(eighty) << eighty.left(50) + "…";
        QTest::newRow("error text of exactly 50 whole") << qint64(400) << errorBody(eighty.left(50)) << eighty.left(50);
        QTest::newRow("error on a 200") << qint64(200) << errorBody("重复链接") << "重复链接";
        QTest::newRow("error not a string") << qint64(500) << QByteArray(R"({"error":5})") << "添加未成功，请稍后重试";
        QTest::newRow("empty error") << qint64(404) << errorBody("") << "添加未成功，请稍后重试";
        QTest::newRow("error of blanks and controls") << qint64(400) << errorBody(" \t\u200b\n\u3000")
                                                      << "添加未成功，请稍后重试";
    }
    void clipboardAdd()
    {
        QFETCH(qint64, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QCOMPARE(clipboardAddMessage(HTTPReply{status, body}), expected);
    }

    void nasTask_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ok with id") << QByteArray(R"({"ok":true,"id":17})") << "已收入Quenlo，等待后台处理";
        QTest::newRow("ok with null id") << QByteArray(R"({"ok":true,"id":null})") << "已收入Quenlo，等待后台处理";
        QTest::newRow("ok without id") << QByteArray(R"({"ok":true})") << "未取得投递回执，请查看任务中心";
        QTest::newRow("ok false") << QByteArray(R"({"ok":false,"id":1})") << "未取得投递回执，请查看任务中心";
        QTest::newRow("ok as string") << QByteArray(R"({"ok":"true","id":1})") << "未取得投递回执，请查看任务中心";
    }
    void nasTask()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QCOMPARE(nasTaskMessage(QJsonDocument::fromJson(body).object()), expected);
    }

    void syncAll_data()
    {
        QTest::addColumn<qint64>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("started") << qint64(200) << QByteArray(R"({"state":"started"})") << "已开始更新知识星球";
        QTest::newRow("queued") << qint64(200) << QByteArray(R"({"state":"queued"})") << "已排队，等前面的任务结束";
        QTest::newRow("running") << qint64(200) << QByteArray(R"({"state":"running"})") << "知识星球更新正在进行中";
        QTest::newRow("other state") << qint64(200) << QByteArray(R"({"state":"done"})") << "更新请求已提交";
        QTest::newRow("empty body") << qint64(200) << QByteArray() << "更新请求已提交";
        QTest::newRow("500 empty") << qint64(500) << QByteArray() << "更新请求没有成功";
        QTest::newRow("no server") << qint64(-1) << QByteArray() << "服务未运行";
        QTest::newRow("error cut at 30") << qint64(409) << errorBody(eighty) << eighty.left(30) + "…";
        QTest::newRow("empty error, no server") << qint64(-1) << errorBody("") << "服务未运行";
        QTest::newRow("blank error") << qint64(500) << errorBody("  ") << "更新请求没有成功";
    }
    void syncAll()
    {
        QFETCH(qint64, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QCOMPARE(syncAllMessage(HTTPReply{status, body}), expected);
    }

    void autosync_data()
    {
        QTest::addColumn<qint64>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<qint64>("hours");
        QTest::addColumn<QString>("expected");
        QTest::newRow("404 even with an error text") << qint64(404) << errorBody("nope") << qint64(6)
                                                     << "当前服务版本还没有自动同步";
        QTest::newRow("200 off") << qint64(200) << QByteArray() << qint64(0) << "已关闭自动同步";
        QTest::newRow("200 six") << qint64(200) << QByteArray() << qint64(6) << "自动同步已设为每 6 小时";
        QTest::newRow("200 daily") << qint64(200) << errorBody("ignored") << qint64(24) << "自动同步已设为每天";
        QTest::newRow("error cut at 30") << qint64(500) << errorBody(eighty) << qint64(3) << eighty.left(30) + "…";
        QTest::newRow("no server") << qint64(-1) << QByteArray() << qint64(3) << "设置没有保存成功";
        QTest::newRow("empty error") << qint64(500) << errorBody("") << qint64(3) << "设置没有保存成功";
    }
    void autosync()
    {
        QFETCH(qint64, status);
        QFETCH(QByteArray, body);
        QFETCH(qint64, hours);
        QFETCH(QString, expected);
        QCOMPARE(autosyncSetMessage(HTTPReply{status, body}, hours), expected);
    }

    void transcription_data()
    {
        QTest::addColumn<QByteArray>("current");
        QTest::addColumn<bool>("wanted");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("expected");
        QTest::newRow("on becomes off") << QByteArray(R"({"enabled":true})") << false
                                        << QByteArray(R"({"message":"已关闭"})") << "已关闭";
        QTest::newRow("off becomes on") << QByteArray(R"({"enabled":false})") << true
                                        << QByteArray(R"({"error":"未就绪"})") << "未就绪";
        QTest::newRow("unknown asks for on") << QByteArray() << true << QByteArray() << "本机转写开关设置失败";
        QTest::newRow("enabled not a bool") << QByteArray(R"({"enabled":"yes"})") << true
                                            << QByteArray(R"({"message":1,"error":"坏了"})") << "坏了";
        QTest::newRow("message wins over error") << QByteArray(R"({"enabled":true})") << false
                                                 << QByteArray(R"({"message":"好","error":"坏"})") << "好";
        QTest::newRow("blank message gives way to error") << QByteArray(R"({"enabled":true})") << false
                                                          << QByteArray(R"({"message":" ","error":"坏"})") << "坏";
        QTest::newRow("both empty: own text") << QByteArray(R"({"enabled":true})") << false
                                              << QByteArray(R"({"message":"","error":""})") << "本机转写开关设置失败";
    }
    void transcription()
    {
        QFETCH(QByteArray, current);
        QFETCH(bool, wanted);
        QFETCH(QByteArray, reply);
        QFETCH(QString, expected);
        QCOMPARE(nextTranscriptionSetting(HTTPReply{current.isEmpty() ? -1 : 200, current}), wanted);
        QCOMPARE(transcriptionSetMessage(HTTPReply{500, reply}), expected);
    }
};

QTEST_GUILESS_MAIN(TestCommandMessages)
#include "tst_commandmessages.moc"
