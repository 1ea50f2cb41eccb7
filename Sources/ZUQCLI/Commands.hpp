// The commands of the dispatch table. Each takes the invocation and returns its result, or
// nothing for a command that prints nothing.
#pragma once

#include "API.hpp"
#include "Arguments.hpp"
#include "JSON.hpp"
#include "Storage.hpp"

#include <optional>
#include <string>

/// What a command may read: the arguments, the program's own path, the device name computed
/// before dispatch, and, for commands that need enrolment, the stored credential and the
/// relay client built from it.
struct Invocation {
    const Arguments& arguments;
    std::string program;
    std::string deviceName;
    std::optional<Credentials> credentials;
    std::optional<API> api;

    /// The credential and client of an enrolled command; they are always loaded for those.
    const Credentials& enrolled() const { return *credentials; }
    const API& relay() const { return *api; }
};

namespace Commands {

using Result = std::optional<JSON>;

Result doctor(Invocation&);
Result groupCreate(Invocation&);
Result groupJoin(Invocation&);
Result groupInvite(Invocation&);
Result groupStatus(Invocation&);
Result groupRevoke(Invocation&);
Result projectsAdd(Invocation&);
Result projectsRemove(Invocation&);
Result projectsListLocal(Invocation&);
Result projectsList(Invocation&);
Result devicesLocal(Invocation&);
Result devices(Invocation&);
Result agentStatus(Invocation&);
Result agentUninstall(Invocation&);
Result agentInstall(Invocation&);
Result agentRun(Invocation&);
Result run(Invocation&);
Result jobs(Invocation&);
Result job(Invocation&);
Result logs(Invocation&);
Result cancel(Invocation&);

} // namespace Commands
