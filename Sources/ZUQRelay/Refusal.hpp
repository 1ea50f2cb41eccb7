// The one way the relay's rules say no.
#pragma once

#include "Protocol.hpp"

#include <stdexcept>
#include <string>

namespace ZUQRelay {

/// A request the relay will not carry out: why, in the relay's own terms, and the sentence
/// the user reads.
class Refusal : public std::runtime_error {
public:
    /// Why, as the protocol names it: its text travels beside the sentence, and it decides
    /// the HTTP status.
    using Reason = Protocol::Reason;

    Refusal(Reason reason, const std::string& message)
        : std::runtime_error(message), reason_(reason) {}
    Reason reason() const { return reason_; }

private:
    Reason reason_;
};

} // namespace ZUQRelay
