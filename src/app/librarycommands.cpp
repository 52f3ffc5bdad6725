#include "app/commandmessages.h"
#include "app/controller.h"
#include "app/processvalues.h"
#include "net/quenloapi.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace quenlo {

namespace {

QString clipboardText()
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    if (!data)
        return {};
    if (data->hasText())
        return data->text();
    if (data->hasUrls() && !data->urls().isEmpty())
        return data->urls().first().toString();
    return {};
}

void openIfValid(const std::function<void(const QUrl &)> &open, const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (url.isValid())
        open(url);
}

} // namespace

void Controller::openLibrary()
{
    openIfValid(m_options.openUrl, (m_service ? serviceBase() : quenloOrigin()) + QStringLiteral("/"));
}

void Controller::openQuenloSettings()
{
    openIfValid(m_options.openUrl, quenloOrigin() + QStringLiteral("/?settings=general"));
}

void Controller::addFromClipboard()
{
    const ClipboardText clip = prepareClipboardText(clipboardText());
    if (clip.message) {
        flash(*clip.message, 2);
        return;
    }
    flash(QStringLiteral("正在收入Quenlo…"), 20);
    const std::shared_ptr<Service> service = m_service;
    const std::shared_ptr<RemoteHolder> remote = m_remote;
    const QString text = clip.text;
    submitWork([this, service, remote, text]() -> Continuation {
        if (service) {
            const QString message = clipboardAddMessage(ask(endpoints::clipboardAdd, clipboardAddBody(text)));
            return [this, message] {
                flash(message, 6);
                refresh();
            };
        }
        const QuenloResult result = remote->get().call(QStringLiteral("/api/tasks"), clipboardAddBody(text));
        const QString message = result.ok() ? nasTaskMessage(*result.reply) : result.message;
        return [this, message] { flash(message, 6); };
    });
}

void Controller::syncAll()
{
    flash(QStringLiteral("正在提交更新请求…"), 10);
    submitWork([this]() -> Continuation {
        const QString message = syncAllMessage(ask(endpoints::syncAll, syncAllBody()));
        return [this, message] {
            flash(message, 2);
            refresh();
        };
    });
}

void Controller::chooseAutosync(QAction *item)
{
    const qint64 hours = item->data().toLongLong();
    submitWork([this, hours]() -> Continuation {
        const QString message = autosyncSetMessage(ask(endpoints::autosyncSet, autosyncBody(hours)), hours);
        return [this, message] {
            flash(message, 2);
            refresh();
        };
    });
}

void Controller::toggleLocalTranscription()
{
    submitWork([this]() -> Continuation {
        const bool wanted = nextTranscriptionSetting(ask(endpoints::transcriptionGet));
        const QString message = transcriptionSetMessage(ask(endpoints::transcriptionSet, transcriptionBody(wanted)));
        return [this, message] {
            flash(message, 6);
            refresh();
        };
    });
}

} // namespace quenlo
