// The one way the relay's rules say no.
#pragma once

#include <stdexcept>
#include <string>

namespace ZUQRelay {

/// A request the relay will not carry out: the HTTP status to answer with and the sentence the
/// user reads, sent as {"error": sentence}.
class Refusal : public std::runtime_error {
public:
    Refusal(int status, const std::string& message)
        : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

} // namespace ZUQRelay
