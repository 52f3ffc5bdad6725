#include "app/controller.h"
#include "service/launchagent.h"
#include "service/service.h"

namespace quenlo {

void Controller::toggleLaunchAgent()
{
    const PlatformTable &table = m_options.platform;
    const std::optional<QString> failure = launchAgentEnabled(table)
                                               ? disableLaunchAgent(table)
                                               : enableLaunchAgent(m_options.applicationPath, table);
    if (failure) {
        flash(*failure, 2);
        return;
    }
    flash(launchAgentEnabled(table) ? QStringLiteral("已设为开机自动启动") : QStringLiteral("已取消开机自动启动"), 2);
}

void Controller::openProjectFolder()
{
    if (!m_service)
        return;
    m_options.openUrl(QUrl::fromLocalFile(m_service->root()));
}

void Controller::restartService()
{
    if (!m_service) {
        refresh();
        return;
    }
    flash(QStringLiteral("正在重启服务…"), 20);
    const std::shared_ptr<Service> service = m_service;
    submitWork([this, service]() -> Continuation {
        const ServiceOutcome outcome = service->restart();
        return [this, outcome] {
            const bool failed = outcome.kind == ServiceOutcome::Kind::Failed;
            if (failed)
                m_serviceBroken = true;
            flash(failed ? outcome.message : QStringLiteral("服务已重启"), 2);
            refresh();
        };
    });
}

void Controller::quitKeepingService() { m_options.terminate(); }

void Controller::quitAndStopService()
{
    if (!m_service) {
        m_options.terminate();
        return;
    }
    flash(QStringLiteral("正在停止服务…"), 20);
    const std::shared_ptr<Service> service = m_service;
    submitWork([this, service]() -> Continuation {
        service->stop();
        return [this] { m_options.terminate(); };
    });
}

} // namespace quenlo
