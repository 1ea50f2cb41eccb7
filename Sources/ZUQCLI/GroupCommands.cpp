// group create, join, invite, status and revoke, and the group-wide projects and devices lists.
#include "Commands.hpp"
#include "Platform/File.hpp"
#include "Platform/Text.hpp"

namespace Commands {

namespace {

// What create and join print: never the token or the key.
JSON enrolment(const Credentials& credentials) {
    return JSON::object({
        {"group_id", credentials.groupID},
        {"device_id", credentials.deviceID},
        {"group_name", credentials.groupName},
    });
}

// One entry per Mac that is not revoked, with one member of its last reported inventory.
JSON groupWide(const Invocation& invocation, const char* inventoryMember) {
    JSON group = invocation.relay().group();
    JSON::Array entries;
    for (const JSON& device : group["devices"].items()) {
        const JSON& revoked = device["revoked"];
        if (revoked.flag() || revoked.integer() != 0) {
            continue;
        }
        entries.push_back(JSON::object({
            {"mac_id", device["id"]},
            {"mac_name", device["name"]},
            {"online", device["online"]},
            {inventoryMember, device["inventory"][inventoryMember]},
        }));
    }
    return JSON(std::move(entries));
}

} // namespace

Result groupCreate(Invocation& invocation) {
    const Arguments& arguments = invocation.arguments;
    const std::string& bootstrapFile = arguments.require("--bootstrap-file");
    std::string secret(Platform::trimWhitespace(Platform::readFile(bootstrapFile)));
    std::string server = arguments.value("--server").value_or(std::string(ZUQ::server));
    std::string name = arguments.value("--name").value_or("My Macs");
    return enrolment(Enrollment::create(server, name, invocation.deviceName, secret));
}

Result groupJoin(Invocation& invocation) {
    const Arguments& arguments = invocation.arguments;
    std::string invite;
    if (auto file = arguments.value("--invite-file")) {
        invite = Platform::readFile(*file);
    } else {
        invite = arguments.require("--invite");
    }
    return enrolment(Enrollment::join(invite, invocation.deviceName));
}

Result groupInvite(Invocation& invocation) {
    return JSON::object({
        {"invite", Enrollment::invite(invocation.enrolled())},
        {"expires_in_seconds", Enrollment::inviteLifetimeSeconds},
    });
}

Result groupStatus(Invocation& invocation) {
    return invocation.relay().group();
}

Result groupRevoke(Invocation& invocation) {
    const auto& words = invocation.arguments.positional;
    if (words.size() != 3) {
        throw ZUQError("Provide a Mac ID");
    }
    return invocation.relay().revoke(words[2]);
}

Result projectsList(Invocation& invocation) {
    return groupWide(invocation, "projects");
}

Result devices(Invocation& invocation) {
    return groupWide(invocation, "phones");
}

} // namespace Commands
