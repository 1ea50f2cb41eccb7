#include "Storage.hpp"

#include "Platform/File.hpp"
#include "Platform/Host.hpp"
#include "Platform/Keychain.hpp"

#include <array>
#include <cstdlib>

namespace fs = std::filesystem;

// MARK: Paths

fs::path Paths::root() {
    const char* state = std::getenv("ZUQ_STATE_DIR");
    if (state != nullptr && *state != '\0') {
        return fs::absolute(state);
    }
    return Platform::userDataDirectory() / "ZUQ";
}

fs::path Paths::directory(std::string_view name) {
    fs::path target = name.empty() ? root() : root() / name;
    Platform::createDirectories(target, 0700);
    return target;
}

void Paths::atomicWrite(std::string_view data, const fs::path& to) {
    Platform::atomicWrite(to, data, 0600);
}

// MARK: Credentials

namespace {

// The seven fields in their stored order, by member name.
constexpr std::array<std::pair<std::string_view, std::string Credentials::*>, 7> storedFields = {{
    {"server", &Credentials::server},
    {"deviceID", &Credentials::deviceID},
    {"token", &Credentials::token},
    {"groupID", &Credentials::groupID},
    {"groupName", &Credentials::groupName},
    {"deviceName", &Credentials::deviceName},
    {"encryptionKey", &Credentials::encryptionKey},
}};

} // namespace

Credentials Credentials::fromResponse(std::string server, const JSON& response, std::string name,
                                      std::string key) {
    return Credentials{
        std::move(server),
        response["device_id"].text(),
        response["token"].text(),
        response["group_id"].text(),
        response["group_name"].text(),
        std::move(name),
        std::move(key),
    };
}

std::string Credentials::authorization() const {
    return "Bearer " + deviceID + "." + token;
}

std::string Credentials::encode() const {
    JSON::Object members;
    for (const auto& [key, field] : storedFields) {
        members.emplace(key, this->*field);
    }
    return JSON(std::move(members)).data();
}

Credentials Credentials::decode(std::string_view data) {
    JSON stored = JSON::decode(data);
    Credentials credentials;
    for (const auto& [key, field] : storedFields) {
        auto value = stored[key].string();
        if (!value) {
            throw JSON::ParseError("Stored ZUQ credentials are damaged: " + std::string(key) +
                                   " is missing or not text");
        }
        credentials.*field = std::move(*value);
    }
    return credentials;
}

// MARK: CredentialStore

namespace {

Platform::Keychain::Query itemQuery() {
    return {std::string(CredentialStore::service), std::string(CredentialStore::account)};
}

// The access list for a new item, when the program runs from <bundle>/Contents/MacOS: the
// command-line tool beside it and the bundle itself.
std::optional<Platform::Keychain::AccessRequest> bundleAccess() {
    std::string program = Platform::programPath();
    if (program.empty()) {
        return std::nullopt;
    }
    std::error_code error;
    fs::path executable = fs::weakly_canonical(fs::absolute(program), error);
    if (error) {
        return std::nullopt;
    }
    fs::path macOS = executable.parent_path();
    fs::path contents = macOS.parent_path();
    if (macOS.filename() != "MacOS" || contents.filename() != "Contents") {
        return std::nullopt;
    }
    return Platform::Keychain::AccessRequest{std::string(CredentialStore::accessDescriptor),
                                             {macOS / "zuq", contents.parent_path()}};
}

} // namespace

std::optional<Credentials> CredentialStore::load() {
    std::optional<std::string> data;
    int status = Platform::Keychain::copyData(itemQuery(), data);
    if (status == Platform::Keychain::itemNotFound) {
        return std::nullopt;
    }
    if (status != Platform::Keychain::success || !data) {
        throw ZUQError("Cannot read ZUQ credentials from Keychain (" + std::to_string(status) +
                       "). Unlock your login keychain.");
    }
    return Credentials::decode(*data);
}

Credentials CredentialStore::require() {
    if (auto credentials = load()) {
        return *credentials;
    }
    throw ZUQError("This Mac is not enrolled. Use group create or group join first.");
}

void CredentialStore::save(const Credentials& credentials) {
    std::string data = credentials.encode();
    int status = Platform::Keychain::updateData(itemQuery(), data);
    if (status == Platform::Keychain::success) {
        return;
    }
    if (status != Platform::Keychain::itemNotFound) {
        throw ZUQError("Cannot update ZUQ credentials (" + std::to_string(status) + ").");
    }
    status = Platform::Keychain::add(itemQuery(), data, bundleAccess());
    if (status != Platform::Keychain::success) {
        throw ZUQError("Cannot save ZUQ credentials in Keychain (" + std::to_string(status) + ").");
    }
}
