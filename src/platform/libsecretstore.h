#pragma once

#include "platform/secretstore.h"

#include <QByteArray>
#include <QString>

namespace quenlo {

/// \brief The session item in the Secret Service (GNOME Keyring, KWallet) through libsecret.
///
/// The item is a generic-schema secret with the string attributes "service" and "account"
/// ("session"), stored in the default collection. Every call is blocking and opens its own
/// proxy of the service, so a keyring daemon that restarted meanwhile is found again. A locked
/// item is unlocked through the service's own prompt; when that is refused or no prompt can
/// be shown the call reports Failed.
class LibsecretStore final : public SecretStore {
public:
    explicit LibsecretStore(const QString &service = QStringLiteral(QUENLO_SECRET_SERVICE));

    Read read() override;
    /// Sets the data of every matching item (after unlocking them); their other attributes stay.
    Status update(const QByteArray &bytes) override;
    Status add(const QByteArray &bytes) override;

    QString service() const { return QString::fromUtf8(m_service); }

private:
    QByteArray m_service;
};

} // namespace quenlo
