#include "app/controller.h"
#include "net/quenloapi.h"

namespace quenlo {

void Controller::configureRemoteLogin()
{
    const std::optional<QString> code = m_options.askLoginCode();
    if (!code)
        return;
    const std::shared_ptr<RemoteHolder> remote = m_remote;
    const QString token = *code;
    submitWork([this, remote, token]() -> Continuation {
        const QuenloResult result =
            remote->get().call(QStringLiteral("/api/session"), QJsonObject{{QStringLiteral("token"), token}});
        const QString message = result.ok() ? QStringLiteral("已连接Quenlo") : result.message;
        return [this, message] { flash(message, 2); };
    });
}

} // namespace quenlo
