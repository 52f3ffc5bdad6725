#include "engine/localbackend.h"

#include "engine/commandmessages.h"

namespace quenlo {

LocalBackend::LocalBackend(Service service)
    : m_service(std::move(service)), m_mode(m_service.nasClient() ? CompanionMode::NASClient : CompanionMode::Local)
{
}

QString LocalBackend::libraryUrl() const { return m_service.address().base() + QStringLiteral("/"); }

LocalPoll LocalBackend::poll() { return pollLocal(m_service.address()); }

std::optional<ServiceOutcome> LocalBackend::ensureRunning() { return m_service.ensure(true); }

void LocalBackend::prepareTools() { m_service.bootstrapYoutubeToolsIfNeeded(); }

QString LocalBackend::addLink(const QString &text)
{
    return clipboardAddMessage(ask(m_service.address(), endpoints::clipboardAdd, clipboardAddBody(text)));
}

ServiceOutcome LocalBackend::restart() { return m_service.restart(); }

void LocalBackend::stop() { m_service.stop(); }

} // namespace quenlo
