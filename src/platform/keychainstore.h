#pragma once

#include "platform/secretstore.h"

#include <QString>

namespace quenlo {

/// \brief The session item in the user's Keychain: a generic password with the service name and
/// the account "session".
///
/// The three attributes class, service and account are both the search query and the item's
/// identity; no label, comment or access group is set.
class KeychainStore final : public SecretStore {
public:
    explicit KeychainStore(const QString &service = QStringLiteral(QUENLO_SECRET_SERVICE));

    Read read() override;
    /// Sets only the item's data; its accessibility and other attributes stay as created.
    Status update(const QByteArray &bytes) override;
    /// Creates the item, readable after the first unlock and never migrated to another device.
    Status add(const QByteArray &bytes) override;

private:
    QString m_service;
};

} // namespace quenlo
