#pragma once

#include "platform/secretstore.h"

#include <optional>

namespace quenlo {

/// \brief A SecretStore in memory, for tests: at most one item, counted calls, injectable failures.
class MemorySecretStore final : public SecretStore {
public:
    MemorySecretStore() = default;
    /// Starts with an item holding \a bytes (any bytes, also invalid UTF-8).
    explicit MemorySecretStore(QByteArray bytes);

    Read read() override;
    Status update(const QByteArray &bytes) override;
    /// Failed when an item already exists, as the Keychain refuses a duplicate.
    Status add(const QByteArray &bytes) override;

    /// The stored item, if any.
    std::optional<QByteArray> item() const { return m_item; }
    void setItem(std::optional<QByteArray> bytes) { m_item = std::move(bytes); }

    /// While set, the call reports Failed and changes nothing.
    void setFailReads(bool fail) { m_failReads = fail; }
    void setFailUpdates(bool fail) { m_failUpdates = fail; }
    void setFailAdds(bool fail) { m_failAdds = fail; }

    int reads() const { return m_reads; }
    int updates() const { return m_updates; }
    int adds() const { return m_adds; }
    int calls() const { return m_reads + m_updates + m_adds; }

private:
    std::optional<QByteArray> m_item;
    bool m_failReads = false;
    bool m_failUpdates = false;
    bool m_failAdds = false;
    int m_reads = 0;
    int m_updates = 0;
    int m_adds = 0;
};

} // namespace quenlo
