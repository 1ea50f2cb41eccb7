#include "Platform/Keychain.hpp"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

// Trusted applications and access objects belong to the legacy file-based keychain API, which
// is deprecated but remains the only way to give an item an access list.
#pragma clang diagnostic ignored "-Wdeprecated-declarations"

namespace Platform::Keychain {

namespace {

// Owns one Core Foundation reference.
template <typename T>
class CF {
public:
    explicit CF(T value = nullptr) : value_(value) {}
    CF(const CF&) = delete;
    CF& operator=(const CF&) = delete;
    ~CF() {
        if (value_) {
            CFRelease(value_);
        }
    }
    T get() const { return value_; }
    T* out() { return &value_; }

private:
    T value_;
};

CF<CFStringRef> string(std::string_view text) {
    return CF<CFStringRef>(
        CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
}

CF<CFDataRef> bytes(std::string_view data) {
    return CF<CFDataRef>(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(data.data()),
                                      static_cast<CFIndex>(data.size())));
}

// A fresh mutable dictionary holding class, service and account.
CF<CFMutableDictionaryRef> baseQuery(const CF<CFStringRef>& service,
                                     const CF<CFStringRef>& account) {
    CF<CFMutableDictionaryRef> dictionary(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(dictionary.get(), kSecClass, kSecClassGenericPassword);
    CFDictionarySetValue(dictionary.get(), kSecAttrService, service.get());
    CFDictionarySetValue(dictionary.get(), kSecAttrAccount, account.get());
    return dictionary;
}

} // namespace

int copyData(const Query& query, std::optional<std::string>& data) {
    auto service = string(query.service);
    auto account = string(query.account);
    auto attributes = baseQuery(service, account);
    CFDictionarySetValue(attributes.get(), kSecReturnData, kCFBooleanTrue);
    CFDictionarySetValue(attributes.get(), kSecMatchLimit, kSecMatchLimitOne);
    CF<CFTypeRef> result;
    OSStatus status = SecItemCopyMatching(attributes.get(), result.out());
    if (status == errSecSuccess && result.get() && CFGetTypeID(result.get()) == CFDataGetTypeID()) {
        auto item = static_cast<CFDataRef>(result.get());
        data = std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(item)),
                           static_cast<std::size_t>(CFDataGetLength(item)));
    }
    return status;
}

int updateData(const Query& query, std::string_view data) {
    auto service = string(query.service);
    auto account = string(query.account);
    auto attributes = baseQuery(service, account);
    auto value = bytes(data);
    CF<CFMutableDictionaryRef> changes(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(changes.get(), kSecValueData, value.get());
    return SecItemUpdate(attributes.get(), changes.get());
}

int add(const Query& query, std::string_view data, const std::optional<AccessRequest>& access) {
    auto service = string(query.service);
    auto account = string(query.account);
    auto attributes = baseQuery(service, account);
    auto value = bytes(data);
    CFDictionarySetValue(attributes.get(), kSecValueData, value.get());
    CFDictionarySetValue(attributes.get(), kSecAttrAccessible,
                         kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);
    CF<SecAccessRef> accessObject;
    if (access) {
        CF<CFMutableArrayRef> trusted(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        for (const auto& path : access->applications) {
            CF<SecTrustedApplicationRef> application;
            if (SecTrustedApplicationCreateFromPath(path.c_str(), application.out()) ==
                    errSecSuccess &&
                application.get()) {
                CFArrayAppendValue(trusted.get(), application.get());
            }
        }
        auto descriptor = string(access->descriptor);
        if (SecAccessCreate(descriptor.get(), trusted.get(), accessObject.out()) == errSecSuccess &&
            accessObject.get()) {
            CFDictionarySetValue(attributes.get(), kSecAttrAccess, accessObject.get());
        }
    }
    return SecItemAdd(attributes.get(), nullptr);
}

} // namespace Platform::Keychain
