#pragma once

#include <QByteArray>

#include <memory>

namespace quenlo {

/// \brief The one secret item that keeps the NAS session across restarts.
///
/// An implementation is bound to one item identity: the secret-store service name
/// (QUENLO_SECRET_SERVICE) and the account "session". It never deletes the item.
/// "Failed" covers every case where the store could not answer (no secret service, a locked
/// collection, access refused); it is never reported as NotFound, because callers create a new
/// item only on NotFound.
class SecretStore {
public:
    enum class Status { Ok, NotFound, Failed };
    struct Read {
        Status status = Status::Failed;
        QByteArray bytes; ///< the item's data, exactly as stored; only with Ok
    };

    virtual ~SecretStore() = default;

    /// The item's bytes (Ok), NotFound, or Failed.
    virtual Read read() = 0;
    /// Replaces the data of the existing item and nothing else: Ok, NotFound when there is no
    /// item, Failed.
    virtual Status update(const QByteArray &bytes) = 0;
    /// Creates the item with \a bytes: Ok or Failed, never NotFound.
    virtual Status add(const QByteArray &bytes) = 0;
};

/// The account of the session item in every store.
inline constexpr const char secretAccount[] = "session";

/// The OS's own store (Keychain on macOS, the Secret Service on Linux) for the session item.
std::unique_ptr<SecretStore> makeSystemSecretStore();

} // namespace quenlo
