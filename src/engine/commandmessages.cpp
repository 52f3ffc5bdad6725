#include "engine/commandmessages.h"

#include "model/text.h"
#include "net/localapi.h"

namespace quenlo {

namespace {

std::optional<QString> errorText(const HTTPReply &reply, qsizetype limit)
{
    const auto object = reply.json();
    if (!object)
        return std::nullopt;
    const auto error = stringKey(*object, QStringLiteral("error"));
    // A blank "error" says nothing; the command's own text is shown instead of an empty line.
    if (!error || isBlankText(*error))
        return std::nullopt;
    return tidy(*error, limit);
}

} // namespace

ClipboardText prepareClipboardText(const QString &raw)
{
    ClipboardText result{raw.trimmed(), std::nullopt};
    if (result.text.isEmpty())
        result.message = QStringLiteral("剪贴板中没有可添加的链接");
    else if (result.text.toUtf8().size() > clipboardByteLimit)
        result.message = QStringLiteral("剪贴板内容过长，请复制单个链接");
    return result;
}

QString clipboardAddMessage(const HTTPReply &reply)
{
    if (reply.status == 202)
        return addedMessage;
    return errorText(reply, 50).value_or(QStringLiteral("添加未成功，请稍后重试"));
}

QString nasTaskMessage(const QJsonObject &reply)
{
    if (boolKey(reply, QStringLiteral("ok")) == true && reply.contains(QStringLiteral("id")))
        return addedMessage;
    return QStringLiteral("未取得投递回执，请查看任务中心");
}

QString syncAllMessage(const HTTPReply &reply)
{
    if (reply.status == 200) {
        const QString state = reply.json() ? stringKey(*reply.json(), QStringLiteral("state")).value_or(QString())
                                           : QString();
        if (state == QStringLiteral("started"))
            return QStringLiteral("已开始更新知识星球");
        if (state == QStringLiteral("queued"))
            return QStringLiteral("已排队，等前面的任务结束");
        if (state == QStringLiteral("running"))
            return QStringLiteral("知识星球更新正在进行中");
        return QStringLiteral("更新请求已提交");
    }
    if (const auto error = errorText(reply, 30))
        return *error;
    if (reply.status <= 0)
        return QStringLiteral("服务未运行");
    return QStringLiteral("更新请求没有成功");
}

QString autosyncSetMessage(const HTTPReply &reply, qint64 hours)
{
    if (reply.status == 404)
        return QStringLiteral("当前服务版本还没有自动同步");
    if (reply.status == 200)
        return hours == 0 ? QStringLiteral("已关闭自动同步") : QStringLiteral("自动同步已设为") + autosyncTitle(hours);
    return errorText(reply, 30).value_or(QStringLiteral("设置没有保存成功"));
}

bool nextTranscriptionSetting(const HTTPReply &current)
{
    const auto object = current.json();
    if (!object)
        return true;
    const auto enabled = boolKey(*object, QStringLiteral("enabled"));
    return enabled ? !*enabled : true;
}

QString transcriptionSetMessage(const HTTPReply &reply)
{
    const auto object = reply.json();
    if (object) {
        for (const QString &key : { QStringLiteral("message"), QStringLiteral("error") }) {
            if (const auto text = stringKey(*object, key); text && !isBlankText(*text))
                return *text;
        }
    }
    return QStringLiteral("本机转写开关设置失败");
}

} // namespace quenlo
