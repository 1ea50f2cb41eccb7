// The one way the relay's rules say no.
#pragma once

#include <stdexcept>
#include <string>

namespace ZUQRelay {

/// A request the relay will not carry out: why, in the relay's own terms, and the sentence
/// the user reads. How a reason travels (an HTTP status) is the HTTP layer's business.
class Refusal : public std::runtime_error {
public:
    enum class Reason {
        invalid,         // the request itself is wrong: a member, a parameter, a checksum
        unauthenticated, // no valid device credential
        forbidden,       // a credential that does not allow this, such as a wrong secret
        notFound,        // nothing of that name, or not the caller's to see
        notAllowed,      // a known path asked with another method
        conflict,        // does not fit the current state: a lease, a job's state
        lengthRequired,  // a build without its length announced
        tooLarge,        // a body over its limit
        unsupported,     // a body in a form the relay does not take
        tooMany,         // a limit on how many was reached
        busy,            // the relay is at capacity for now; try again shortly
    };

    Refusal(Reason reason, const std::string& message)
        : std::runtime_error(message), reason_(reason) {}
    Reason reason() const { return reason_; }

private:
    Reason reason_;
};

} // namespace ZUQRelay
