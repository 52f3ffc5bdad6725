#include "platform/libsecretstore.h"

#include <libsecret/secret.h>

#include <memory>

namespace quenlo {

namespace {

// The generic-password schema name that secret-tool and Seahorse use too, so the item is found
// by the same attributes from outside the program.
const SecretSchema *sessionSchema()
{
    static const SecretSchema schema = [] {
        SecretSchema s {};
        s.name = "org.freedesktop.Secret.Generic";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = SecretSchemaAttribute { "service", SECRET_SCHEMA_ATTRIBUTE_STRING };
        s.attributes[1] = SecretSchemaAttribute { "account", SECRET_SCHEMA_ATTRIBUTE_STRING };
        return s;
    }();
    return &schema;
}

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct HashUnref {
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};
struct ValueUnref {
    void operator()(SecretValue *value) const { secret_value_unref(value); }
};
struct ItemListFree {
    void operator()(GList *items) const { g_list_free_full(items, g_object_unref); }
};

/// Collects a GError and frees it; the store reports only its three outcomes.
class Error final {
public:
    Error() = default;
    Error(const Error &) = delete;
    Error &operator=(const Error &) = delete;
    ~Error()
    {
        if (m_error)
            g_error_free(m_error);
    }
    GError **out() { return &m_error; }
    explicit operator bool() const { return m_error != nullptr; }

private:
    GError *m_error = nullptr;
};

using ServicePtr = std::unique_ptr<SecretService, ObjectUnref>;
using ItemList = std::unique_ptr<GList, ItemListFree>;

// A fresh proxy per call rather than secret_service_get()'s process-wide one: the shared proxy
// keeps the transfer session of a keyring daemon that may since have been restarted.
ServicePtr openService()
{
    Error error;
    ServicePtr service(
        secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, nullptr, error.out()));
    if (error)
        return nullptr;
    return service;
}

std::unique_ptr<GHashTable, HashUnref> sessionAttributes(const QByteArray &service)
{
    return std::unique_ptr<GHashTable, HashUnref>(
        secret_attributes_build(sessionSchema(), "service", service.constData(), "account", secretAccount, nullptr));
}

struct Search {
    bool ok = false;
    ItemList items;
};

Search search(SecretService *service, const QByteArray &serviceName, SecretSearchFlags flags)
{
    Error error;
    const auto attributes = sessionAttributes(serviceName);
    ItemList items(secret_service_search_sync(service, sessionSchema(), attributes.get(), flags, nullptr, error.out()));
    if (error)
        return {};
    return { true, std::move(items) };
}

bool anyLocked(GList *items)
{
    for (GList *i = items; i; i = i->next) {
        if (secret_item_get_locked(SECRET_ITEM(i->data)))
            return true;
    }
    return false;
}

std::unique_ptr<SecretValue, ValueUnref> secretValue(const QByteArray &bytes)
{
    // The bytes are copied; "text/plain" because the session is the UTF-8 text of a cookie.
    return std::unique_ptr<SecretValue, ValueUnref>(secret_value_new(bytes.constData(), bytes.size(), "text/plain"));
}

} // namespace

LibsecretStore::LibsecretStore(const QString &service)
    : m_service(service.toUtf8())
{
}

SecretStore::Read LibsecretStore::read()
{
    const ServicePtr service = openService();
    if (!service)
        return { Status::Failed, {} };
    // Without SECRET_SEARCH_ALL the search yields one item, preferring an unlocked one.
    const Search found
        = search(service.get(), m_service, SecretSearchFlags(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS));
    if (!found.ok)
        return { Status::Failed, {} };
    if (!found.items)
        return { Status::NotFound, {} };
    // A locked item is still listed with its attributes; its secret is not. That is a failure
    // to read, not an absent item (secret_password_lookup would report it as absent).
    auto *item = SECRET_ITEM(found.items->data);
    if (secret_item_get_locked(item))
        return { Status::Failed, {} };
    const std::unique_ptr<SecretValue, ValueUnref> value(secret_item_get_secret(item));
    if (!value)
        return { Status::Failed, {} };
    gsize length = 0;
    const gchar *data = secret_value_get(value.get(), &length);
    return { Status::Ok, QByteArray(data, qsizetype(length)) };
}

SecretStore::Status LibsecretStore::update(const QByteArray &bytes)
{
    const ServicePtr service = openService();
    if (!service)
        return Status::Failed;
    const Search found = search(service.get(), m_service, SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK));
    if (!found.ok)
        return Status::Failed;
    if (!found.items)
        return Status::NotFound;
    // Refuse before writing anything, so no matching item is left behind with the old session.
    if (anyLocked(found.items.get()))
        return Status::Failed;
    const auto value = secretValue(bytes);
    for (GList *i = found.items.get(); i; i = i->next) {
        Error error;
        if (!secret_item_set_secret_sync(SECRET_ITEM(i->data), value.get(), nullptr, error.out()) || error)
            return Status::Failed;
    }
    return Status::Ok;
}

SecretStore::Status LibsecretStore::add(const QByteArray &bytes)
{
    const ServicePtr service = openService();
    if (!service)
        return Status::Failed;
    const auto attributes = sessionAttributes(m_service);
    const auto value = secretValue(bytes);
    Error error;
    // The label is what keyring managers list; the service name says whose item it is.
    const gboolean stored = secret_service_store_sync(service.get(), sessionSchema(), attributes.get(),
        SECRET_COLLECTION_DEFAULT, m_service.constData(), value.get(), nullptr, error.out());
    return stored && !error ? Status::Ok : Status::Failed;
}

std::unique_ptr<SecretStore> makeSystemSecretStore()
{
    return std::make_unique<LibsecretStore>();
}

} // namespace quenlo
