#include "Commands.hpp"

// Commands whose areas are not part of this build yet. Each fails with a sentence naming
// itself, so a user learns which command is missing rather than seeing a generic error.

namespace Commands {

namespace {

[[noreturn]] void unavailable(std::string_view words) {
    throw ZUQError("zuq " + std::string(words) + " is not available in this build.");
}

} // namespace

Result doctor(Invocation&) {
    unavailable("doctor");
}
Result agentStatus(Invocation&) {
    unavailable("agent status");
}
Result agentUninstall(Invocation&) {
    unavailable("agent uninstall");
}
Result agentInstall(Invocation&) {
    unavailable("agent install");
}
Result agentRun(Invocation&) {
    unavailable("agent run");
}

} // namespace Commands
