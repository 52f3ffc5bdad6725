#include "memorysecretstore.h"

namespace quenlo {

MemorySecretStore::MemorySecretStore(QByteArray bytes)
    : m_item(std::move(bytes))
{
}

SecretStore::Read MemorySecretStore::read()
{
    ++m_reads;
    if (m_failReads)
        return { Status::Failed, {} };
    if (!m_item)
        return { Status::NotFound, {} };
    return { Status::Ok, *m_item };
}

SecretStore::Status MemorySecretStore::update(const QByteArray &bytes)
{
    ++m_updates;
    if (m_failUpdates)
        return Status::Failed;
    if (!m_item)
        return Status::NotFound;
    m_item = bytes;
    return Status::Ok;
}

SecretStore::Status MemorySecretStore::add(const QByteArray &bytes)
{
    ++m_adds;
    if (m_failAdds || m_item)
        return Status::Failed;
    m_item = bytes;
    return Status::Ok;
}

} // namespace quenlo
