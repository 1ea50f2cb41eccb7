#include "API.hpp"
#include "ArtifactCrypto.hpp"
#include "Invite.hpp"
#include "Platform/Encoding.hpp"
#include "Platform/Text.hpp"

namespace Enrollment {

namespace {

constexpr std::string_view invitePrefix = "zuq1.";
constexpr std::size_t keyBytes = 32;

void refuseWhenEnrolled() {
    if (CredentialStore::load()) {
        throw ZUQError("This Mac is already enrolled.");
    }
}

// The invite text inside what the user pasted: trimmed, and unwrapped from the JSON the
// invite command prints when it is that.
std::string unwrap(const std::string& pasted) {
    std::string text(Platform::trimWhitespace(pasted));
    if (text.starts_with("{")) {
        try {
            if (auto invite = JSON::decode(text)["invite"].string()) {
                return *invite;
            }
        } catch (const JSON::ParseError&) {
        }
    }
    return text;
}

} // namespace

Credentials create(const std::string& server, const std::string& group, const std::string& device,
                   const std::string& bootstrap) {
    refuseWhenEnrolled();
    API api(server, std::nullopt);
    JSON answer = api.createGroup(group, device, bootstrap);
    Credentials credentials =
        Credentials::fromResponse(server, answer, device, ArtifactCrypto::newKey());
    CredentialStore::save(credentials);
    return credentials;
}

Invite readInvite(const std::string& pasted) {
    std::string text = unwrap(pasted);
    if (!text.starts_with(invitePrefix)) {
        throw ZUQError("Invalid ZUQ invite");
    }
    auto body = Platform::base64Decode(std::string_view(text).substr(invitePrefix.size()));
    if (!body) {
        throw ZUQError("Invalid ZUQ invite");
    }
    JSON payload = JSON::decode(*body);
    std::string key = payload["key"].text();
    auto keyData = Platform::base64Decode(key);
    if (!keyData || keyData->size() != keyBytes) {
        throw ZUQError("Invalid group encryption key");
    }
    return {payload["server"].text(), payload["code"], key};
}

std::string inviteText(const Invite& invite) {
    JSON payload = JSON::object({
        {"server", invite.server},
        {"code", invite.code},
        {"key", invite.key},
    });
    return std::string(invitePrefix) + Platform::base64Encode(payload.data());
}

std::string invite(const Credentials& credentials) {
    API api(credentials.server, credentials);
    JSON answer = api.createInvite();
    return inviteText({credentials.server, answer["code"], credentials.encryptionKey});
}

Credentials join(const std::string& invite, const std::string& device) {
    refuseWhenEnrolled();
    Invite read = readInvite(invite);
    API api(read.server, std::nullopt);
    JSON answer = api.join(read.code, device);
    Credentials credentials = Credentials::fromResponse(read.server, answer, device, read.key);
    CredentialStore::save(credentials);
    return credentials;
}

} // namespace Enrollment
