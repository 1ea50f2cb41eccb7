// The invite text: what carries a group's relay, a one-time code and the group key from one
// Mac to another, by whatever channel their users choose.
#pragma once

#include "JSON.hpp"

#include <string>

namespace Enrollment {

/// What an invite carries. The key is the group key's Base64 text exactly as it travels.
struct Invite {
    std::string server;
    JSON code;
    std::string key;

    friend bool operator==(const Invite&, const Invite&) = default;
};

/// Reads an invite text as pasted: surrounding white space is dropped, and the JSON the
/// invite command prints is unwrapped to its "invite" member. Throws ZUQError "Invalid ZUQ
/// invite" without the "zuq1." prefix or for a body that is not strict Base64, the JSON
/// decoder's ParseError for a body that is not JSON, and ZUQError "Invalid group encryption
/// key" unless "key" is Base64 of exactly 32 bytes. "server" and "code" are read leniently
/// (empty text, null); the caller checks the server as an origin.
Invite readInvite(const std::string& pasted);

/// The text of `invite`: "zuq1." followed by the standard Base64 of the compact JSON object
/// {"server", "code", "key"}.
std::string inviteText(const Invite& invite);

} // namespace Enrollment
