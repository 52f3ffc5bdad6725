#pragma once

#include "platform/secretstore.h"

#include <optional>

namespace quenlo {

/// \brief A SecretStore in memory for tests: at most one item, counted calls, failures to inject
/// (a failing call changes nothing).
struct MemorySecretStore final : SecretStore {
    explicit MemorySecretStore(std::optional<QByteArray> bytes = {}) { item = bytes; }
    std::optional<QByteArray> item;
    bool failRead = false, failUpdate = false, failAdd = false;
    int reads = 0, updates = 0, adds = 0;

    Read read() override
    {
        ++reads;
        return failRead ? Read {} : item ? Read { Status::Ok, *item } : Read { Status::NotFound, {} };
    }
    Status update(const QByteArray &bytes) override
    {
        ++updates;
        return failUpdate ? Status::Failed : item ? keep(bytes) : Status::NotFound;
    }
    /// Failed when an item already exists, as the Keychain refuses a duplicate.
    Status add(const QByteArray &bytes) override
    {
        ++adds;
        return failAdd || item ? Status::Failed : keep(bytes);
    }
    Status keep(const QByteArray &bytes) { return item = bytes, Status::Ok; }
};

} // namespace quenlo
