// The team's signing identities on disk: team/<kind>.key.pem and team/<kind>.cert.pem in the
// world directory, for the kinds "development" (Apple Development) and "distribution"
// (Apple Distribution).
#pragma once

#include "Crypto.hpp"
#include "World.hpp"

#include <string>

namespace AppleSim {

/// A loaded identity: what signs.
struct SigningIdentity {
    Identity identity;
    Crypto::Key key;
    Crypto::Certificate certificate;
};

namespace Identities {

/// Makes a new key and certificate of `kind` for `team`, valid 365 days from `now`, writes
/// them (0600) and returns the record to keep in the world.
Identity create(const Team& team, const std::string& kind, double now);

/// Loads the identity of `kind`. Throws ToolFailure with `missingMessage` when the team has
/// none, or when it is not valid at `now` (expired).
SigningIdentity load(const WorldState& world, const std::string& kind, double now,
                     const std::string& missingMessage);

/// Ten characters of A-Z and 0-9, as Apple's team and member identifiers.
std::string randomIdentifier();

} // namespace Identities

} // namespace AppleSim
