// doctor and the agent commands.
#include "Commands.hpp"
#include "Devices.hpp"
#include "ProcessRunner.hpp"
#include "Worker.hpp"

#include <charconv>
#include <cstdint>

namespace Commands {

namespace {

constexpr double doctorToolTimeout = 30;

ProcessResult report(const std::string& tool, const std::vector<std::string>& arguments) {
    return ProcessRunner::run(tool, arguments, std::nullopt, std::nullopt, doctorToolTimeout,
                              std::nullopt, ProcessRunner::Failure::allowed);
}

// The value of option `name`, a whole number of bytes above 0, or `fallback` without it.
std::uint64_t bytesOption(const Arguments& arguments, std::string_view name,
                          std::uint64_t fallback) {
    std::optional<std::string> text = arguments.value(name);
    if (!text) {
        return fallback;
    }
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size() || value == 0) {
        throw ZUQError(std::string(name) + " must be a whole number of bytes above 0");
    }
    return value;
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
    // The limits given here are the installed agent's; each is checked before anything changes.
    std::vector<std::string> options;
    for (std::string_view name : {"--max-build-bytes", "--max-app-bytes"}) {
        if (invocation.arguments.value(name)) {
            options.emplace_back(name);
            options.push_back(std::to_string(bytesOption(invocation.arguments, name, 0)));
        }
    }
    AgentService::install(invocation.program, options);
    return JSON::object({{"ok", true}, {"label", JSON(AgentService::label)}});
}

Result agentRun(Invocation& invocation) {
    Worker::Limits limits;
    limits.largestBuild =
        bytesOption(invocation.arguments, "--max-build-bytes", limits.largestBuild);
    limits.largestApp = bytesOption(invocation.arguments, "--max-app-bytes", limits.largestApp);
    Worker worker(invocation.enrolled(), limits);
    // SIGINT and SIGTERM (Ctrl-C, or the service manager unloading the agent) stop the worker,
    // which ends its loop at once and reports a running job as failed before the process ends.
    ProcessRunner::TerminationHandler onSignal([&worker] { worker.stop(); });
    worker.run();
    return std::nullopt;
}

} // namespace Commands
