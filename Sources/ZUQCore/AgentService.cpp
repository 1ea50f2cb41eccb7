#include "Worker.hpp"

#include "Platform/File.hpp"
#include "Platform/Host.hpp"
#include "Platform/PropertyList.hpp"
#include "Platform/Text.hpp"

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr double launchctlTimeout = 15;

// The login session's domain of the service manager: "gui/<uid>".
std::string domain() {
    return "gui/" + std::to_string(::getuid());
}

// "gui/<uid>/<label>": the agent in the service manager.
std::string service() {
    return domain() + "/" + std::string(AgentService::label);
}

ProcessResult launchctl(std::vector<std::string> arguments) {
    return ProcessRunner::run("/bin/launchctl", arguments, std::nullopt, std::nullopt,
                              launchctlTimeout, std::nullopt, ProcessRunner::Failure::allowed);
}

void bootout() {
    launchctl({"bootout", service()});
}

// A bootout finishes after launchctl has returned: for some seconds the label stays loaded and
// a bootstrap answers "Bootstrap failed: 5: Input/output error". So a bootstrap refused with
// status 5 waits until the service manager no longer finds the label and is tried again, until
// `bootstrapPatience` has passed; any other failure, or the last, is reported with launchctl's
// words.
void bootstrap(const fs::path& plist) {
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::seconds bootstrapPatience{15};
    constexpr std::chrono::milliseconds poll{100};
    Clock::time_point deadline = Clock::now() + bootstrapPatience;
    for (;;) {
        ProcessResult result = launchctl({"bootstrap", domain(), plist.string()});
        if (result.status == 0) {
            return;
        }
        if (result.status != 5 || Clock::now() + poll >= deadline) {
            throw ZUQError("launchctl failed (" + std::to_string(result.status) + "): " +
                           Platform::lastCharacters(result.error.empty() ? result.output
                                                                         : result.error,
                                                    ProcessRunner::messageCharacters));
        }
        do {
            std::this_thread::sleep_for(poll);
        } while (Clock::now() + poll < deadline && launchctl({"print", service()}).status == 0);
    }
}

// The executable as an absolute path without "." or ".." and with symbolic links resolved,
// or nothing when that is not an executable file.
std::optional<fs::path> resolvedExecutable(const std::string& executable) {
    std::error_code error;
    fs::path path = fs::canonical(fs::absolute(executable, error).lexically_normal(), error);
    if (error || !fs::is_regular_file(path, error) || ::access(path.c_str(), X_OK) != 0) {
        return std::nullopt;
    }
    return path;
}

Platform::PropertyList agentPropertyList(const fs::path& executable,
                                         const std::vector<std::string>& options,
                                         const fs::path& logs) {
    using List = Platform::PropertyList;
    List::Array arguments{List(executable.string()), "agent", "run"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return List(List::Dictionary{
        {"Label", List(AgentService::label)},
        {"ProgramArguments", List(std::move(arguments))},
        {"RunAtLoad", List(true)},
        {"KeepAlive", List(List::Dictionary{{"SuccessfulExit", List(false)}})},
        {"ThrottleInterval", List(15)},
        {"ProcessType", List("Background")},
        {"StandardOutPath", List((logs / "agent.log").string())},
        {"StandardErrorPath", List((logs / "agent-error.log").string())},
        {"EnvironmentVariables",
         List(List::Dictionary{
             {"PATH", List("/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin")}})},
    });
}

} // namespace

fs::path AgentService::plistURL() {
    return Platform::homeDirectory() / "Library" / "LaunchAgents" /
           (std::string(label) + ".plist");
}

void AgentService::install(const std::string& executable,
                           const std::vector<std::string>& options) {
    std::optional<fs::path> program = resolvedExecutable(executable);
    if (!program) {
        throw ZUQError("ZUQ CLI executable not found");
    }
    CredentialStore::require();
    fs::path logs = Paths::directory("Logs");
    Platform::PropertyList plist = agentPropertyList(*program, options, logs);
    fs::path url = plistURL();
    fs::create_directories(url.parent_path());
    bootout();
    Paths::atomicWrite(plist.xml(), url);
    bootstrap(url);
}

void AgentService::uninstall() {
    bootout();
    fs::path url = plistURL();
    if (::unlink(url.c_str()) != 0 && errno != ENOENT) {
        Platform::throwErrno("Cannot remove", url);
    }
}

JSON AgentService::status() {
    JSON decoded;
    try {
        decoded = JSON::decode(Platform::readFile(Paths::root() / "agent-status.json"));
    } catch (...) {
        return JSON::object({{"running", false}});
    }
    JSON::Object members = decoded.fields();
    const JSON& pidMember = decoded["pid"];
    // Only ordinary process identifiers are probed; anything else is no agent at all.
    double pidValue = pidMember.number();
    pid_t pid = pidValue >= 1 && pidValue <= 2147483647.0 ? static_cast<pid_t>(pidValue) : 0;
    double updated = decoded["updated"].number();
    double now = std::chrono::duration<double>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    bool running = pid > 0 && now - updated < 45 && ::kill(pid, 0) == 0;
    members.insert_or_assign("running", running);
    return JSON(std::move(members));
}
