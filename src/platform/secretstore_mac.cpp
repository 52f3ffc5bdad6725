#include "platform/keychainstore.h"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <memory>
#include <type_traits>

namespace quenlo {

namespace {

struct CFReleaser {
    void operator()(CFTypeRef ref) const
    {
        if (ref)
            CFRelease(ref);
    }
};
template <typename T> using CFPtr = std::unique_ptr<std::remove_pointer_t<T>, CFReleaser>;

CFPtr<CFMutableDictionaryRef> newDictionary()
{
    return CFPtr<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

/// The query that is also the item's identity: class, service, account.
CFPtr<CFMutableDictionaryRef> itemKey(const QString &service)
{
    auto key = newDictionary();
    const CFPtr<CFStringRef> serviceName(service.toCFString());
    const CFPtr<CFStringRef> account(QString::fromLatin1(secretAccount).toCFString());
    CFDictionarySetValue(key.get(), kSecClass, kSecClassGenericPassword);
    CFDictionarySetValue(key.get(), kSecAttrService, serviceName.get());
    CFDictionarySetValue(key.get(), kSecAttrAccount, account.get());
    return key;
}

CFPtr<CFMutableDictionaryRef> copyOf(CFDictionaryRef dictionary)
{
    return CFPtr<CFMutableDictionaryRef>(CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, dictionary));
}

} // namespace

KeychainStore::KeychainStore(const QString &service)
    : m_service(service)
{
}

SecretStore::Read KeychainStore::read()
{
    const auto query = copyOf(itemKey(m_service).get());
    // No kSecMatchLimit: the default limit is one item.
    CFDictionarySetValue(query.get(), kSecReturnData, kCFBooleanTrue);
    CFTypeRef result = nullptr;
    const OSStatus status = SecItemCopyMatching(query.get(), &result);
    const CFPtr<CFTypeRef> owned(result);
    if (status == errSecItemNotFound)
        return { Status::NotFound, {} };
    if (status != errSecSuccess || !result || CFGetTypeID(result) != CFDataGetTypeID())
        return { Status::Failed, {} };
    return { Status::Ok, QByteArray::fromCFData(static_cast<CFDataRef>(result)) };
}

SecretStore::Status KeychainStore::update(const QByteArray &bytes)
{
    const auto key = itemKey(m_service);
    auto changes = newDictionary();
    const CFPtr<CFDataRef> data(bytes.toCFData());
    CFDictionarySetValue(changes.get(), kSecValueData, data.get());
    const OSStatus status = SecItemUpdate(key.get(), changes.get());
    if (status == errSecSuccess)
        return Status::Ok;
    if (status == errSecItemNotFound)
        return Status::NotFound;
    return Status::Failed;
}

SecretStore::Status KeychainStore::add(const QByteArray &bytes)
{
    const auto item = copyOf(itemKey(m_service).get());
    const CFPtr<CFDataRef> data(bytes.toCFData());
    CFDictionarySetValue(item.get(), kSecValueData, data.get());
    CFDictionarySetValue(item.get(), kSecAttrAccessible, kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);
    return SecItemAdd(item.get(), nullptr) == errSecSuccess ? Status::Ok : Status::Failed;
}

std::unique_ptr<SecretStore> makeSystemSecretStore()
{
    return std::make_unique<KeychainStore>();
}

} // namespace quenlo
