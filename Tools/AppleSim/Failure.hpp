// How a simulated tool fails: the text the real tool would print on standard error and the
// exit status it would end with. Each tool's entry point lets these propagate to main, which
// prints the text and exits; nothing else in the simulator prints errors.
#pragma once

#include <stdexcept>
#include <string>

namespace AppleSim {

/// A tool's failure, printed verbatim on standard error (a line feed is added when missing).
class ToolFailure : public std::runtime_error {
public:
    explicit ToolFailure(const std::string& message, int status = 1)
        : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

/// A mistake in how the control command was called: exit status 2 instead of 1.
class UsageFailure : public ToolFailure {
public:
    explicit UsageFailure(const std::string& message) : ToolFailure(message, 2) {}
};

} // namespace AppleSim
