#pragma once

#include "engine/backend.h"

namespace quenlo {

/// \brief The project's own server on this machine, supervised; NAS-client mode when that
/// server is itself a client of a NAS.
class LocalBackend final : public Backend {
public:
    explicit LocalBackend(Service service);

    CompanionMode mode() const override { return m_mode; }
    QString libraryUrl() const override;
    std::optional<QString> projectFolder() const override { return m_service.root(); }
    bool supervises() const override { return true; }

    LocalPoll poll() override;
    std::optional<ServiceOutcome> ensureRunning() override;
    void prepareTools() override;
    QString addLink(const QString &text) override;
    ServiceOutcome restart() override;
    void stop() override;
    /// The login item is offered only in NAS mode; nothing is sent from here.
    std::optional<QString> logIn(const QString &) override { return std::nullopt; }

private:
    Service m_service;
    CompanionMode m_mode;
};

} // namespace quenlo
