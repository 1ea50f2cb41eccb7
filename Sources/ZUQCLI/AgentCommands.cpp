// doctor and the agent commands.
#include "Commands.hpp"
#include "Devices.hpp"
#include "ProcessRunner.hpp"
#include "Worker.hpp"

namespace Commands {

namespace {

constexpr double doctorToolTimeout = 30;

ProcessResult report(const std::string& tool, const std::vector<std::string>& arguments) {
    return ProcessRunner::run(tool, arguments, std::nullopt, std::nullopt, doctorToolTimeout,
                              std::nullopt, ProcessRunner::Failure::allowed);
}

} // namespace

Result doctor(Invocation&) {
    ProcessResult xcode = report("/usr/bin/xcodebuild", {"-version"});
    ProcessResult identities =
        report("/usr/bin/security", {"find-identity", "-v", "-p", "codesigning"});
    // A Mac with only the Command Line Tools has no device tool either: that is part of the
    // diagnosis, not a reason to give none.
    std::vector<JSON> phones;
    std::optional<std::string> listingError;
    try {
        phones = Devices::list();
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        listingError = error.what();
    }
    JSON::Object diagnosis{
        {"version", JSON(ZUQ::version)},
        {"xcode", xcode.output + xcode.error},
        {"signing_identities", identities.output},
        {"devices", JSON(JSON::Array(std::move(phones)))},
        {"agent", AgentService::status()},
    };
    if (listingError) {
        diagnosis.emplace("devices_error", std::move(*listingError));
    }
    return JSON::object(std::move(diagnosis));
}

Result agentStatus(Invocation&) {
    return AgentService::status();
}

Result agentUninstall(Invocation&) {
    AgentService::uninstall();
    return JSON::object({{"ok", true}});
}

Result agentInstall(Invocation& invocation) {
    AgentService::install(invocation.program);
    return JSON::object({{"ok", true}, {"label", JSON(AgentService::label)}});
}

Result agentRun(Invocation& invocation) {
    Worker worker(invocation.enrolled());
    // SIGINT and SIGTERM (Ctrl-C, or the service manager unloading the agent) stop the worker,
    // which ends its loop at once and reports a running job as failed before the process ends.
    ProcessRunner::TerminationHandler onSignal([&worker] { worker.stop(); });
    worker.run();
    return std::nullopt;
}

} // namespace Commands
