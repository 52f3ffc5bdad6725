#include "engine/nasbackend.h"

#include "engine/commandmessages.h"
#include "net/quenloapi.h"

namespace quenlo {

NasBackend::NasBackend(ClientFactory makeClient) : m_makeClient(std::move(makeClient)) {}

NasBackend::~NasBackend() = default;

QuenloAPI &NasBackend::client()
{
    if (!m_client)
        m_client = m_makeClient();
    return *m_client;
}

QString NasBackend::libraryUrl() const { return quenloOrigin() + QStringLiteral("/"); }

LocalPoll NasBackend::poll()
{
    LocalPoll poll;
    poll.state.serviceUp = client().call(QStringLiteral("/healthz"), std::nullopt).ok();
    return poll;
}

QString NasBackend::addLink(const QString &text)
{
    const QuenloResult result = client().call(QStringLiteral("/api/tasks"), clipboardAddBody(text));
    return result.ok() ? nasTaskMessage(*result.reply) : result.message;
}

std::optional<QString> NasBackend::logIn(const QString &code)
{
    const QuenloResult result = client().call(QStringLiteral("/api/session"), QJsonObject{{QStringLiteral("token"), code}});
    return result.ok() ? QStringLiteral("已连接Quenlo") : result.message;
}

} // namespace quenlo
