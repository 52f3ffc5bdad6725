#pragma once

#include "engine/backend.h"

#include <functional>
#include <memory>

namespace quenlo {

class QuenloAPI;

/// \brief The library on a NAS, reached over HTTPS with the stored session; nothing runs here.
class NasBackend final : public Backend {
public:
    using ClientFactory = std::function<std::unique_ptr<QuenloAPI>()>;
    /// \a makeClient runs on the work queue at the first request (reading the stored session
    /// may block on the secret service).
    explicit NasBackend(ClientFactory makeClient);
    ~NasBackend() override;

    CompanionMode mode() const override { return CompanionMode::NAS; }
    QString libraryUrl() const override;
    std::optional<QString> projectFolder() const override { return std::nullopt; }
    bool supervises() const override { return false; }

    LocalPoll poll() override;
    std::optional<ServiceOutcome> ensureRunning() override { return std::nullopt; }
    void prepareTools() override {}
    QString addLink(const QString &text) override;
    ServiceOutcome restart() override { return ServiceOutcome::reused(); }
    void stop() override {}
    std::optional<QString> logIn(const QString &code) override;

private:
    QuenloAPI &client();

    ClientFactory m_makeClient;
    std::unique_ptr<QuenloAPI> m_client;
};

} // namespace quenlo
