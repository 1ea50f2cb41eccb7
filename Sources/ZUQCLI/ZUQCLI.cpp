#include "ZUQCLI.hpp"

#include "Commands.hpp"
#include "Platform/File.hpp"
#include "Platform/Host.hpp"
#include "ProcessRunner.hpp"
#include "Storage.hpp"

#include <cctype>
#include <cstdlib>
#include <system_error>
#include <unistd.h>

namespace ZUQCLI {

namespace {

// The dispatch table, tried in order; the first row that matches runs. A row with an empty
// subcommand matches on the command word alone. Rows before the first enrolled row run
// without a credential; the credential is loaded once, before the first enrolled row is even
// looked at, so an unenrolled Mac hears about enrolment before it hears "Unknown command".
struct Row {
    std::string_view command;
    std::string_view subcommand;
    std::string_view flag; // a flag the row also requires, such as --local
    bool enrolled;
    std::optional<JSON> (*run)(Invocation&);
};

constexpr Row table[] = {
    {"doctor", "", "", false, Commands::doctor},
    {"group", "create", "", false, Commands::groupCreate},
    {"group", "join", "", false, Commands::groupJoin},
    {"projects", "add", "", false, Commands::projectsAdd},
    {"projects", "remove", "", false, Commands::projectsRemove},
    {"projects", "list", "--local", false, Commands::projectsListLocal},
    {"devices", "", "--local", false, Commands::devicesLocal},
    {"agent", "status", "", false, Commands::agentStatus},
    {"agent", "uninstall", "", false, Commands::agentUninstall},
    {"agent", "install", "", true, Commands::agentInstall},
    {"agent", "run", "", true, Commands::agentRun},
    {"group", "invite", "", true, Commands::groupInvite},
    {"group", "status", "", true, Commands::groupStatus},
    {"group", "revoke", "", true, Commands::groupRevoke},
    {"projects", "list", "", true, Commands::projectsList},
    {"devices", "", "", true, Commands::devices},
    {"run", "", "", true, Commands::run},
    {"jobs", "", "", true, Commands::jobs},
    {"job", "", "", true, Commands::job},
    {"logs", "", "", true, Commands::logs},
    {"cancel", "", "", true, Commands::cancel},
};

bool matches(const Row& row, const Arguments& arguments) {
    const auto& words = arguments.positional;
    if (words.empty() || words[0] != row.command) {
        return false;
    }
    if (!row.subcommand.empty() && (words.size() < 2 || words[1] != row.subcommand)) {
        return false;
    }
    return row.flag.empty() || arguments.flag(row.flag);
}

// --device-name even when empty, else the computer's name, else "My Mac".
std::string deviceName(const Arguments& arguments) {
    if (auto name = arguments.value("--device-name")) {
        return *name;
    }
    return Platform::computerName().value_or("My Mac");
}

const std::string& helpText() {
    static const std::string text = [] {
        std::string help = "ZUQ ";
        help += ZUQ::version;
        help += R"( — build on any Mac in your group, run on a nearby iPhone.

zuq doctor
zuq group create --name "My Macs" --bootstrap-file PATH [--device-name NAME]
zuq group join --invite-file PATH [--device-name NAME]
zuq group invite                         # secret; single use, expires in 15 minutes
zuq group status
zuq group revoke MAC_ID
zuq projects add /path/App.xcworkspace [--name NAME] [--team TEAM_ID]
                 [--manual --export-options /path/ExportOptions.plist]
zuq projects list [--local]
zuq projects remove PROJECT_ID
zuq devices [--local]
zuq agent install                        # start at login and keep running
zuq agent run                            # foreground worker
zuq agent install|run [--max-build-bytes N] [--max-app-bytes N]
                                         # largest build downloaded (4 GiB), app unpacked (8 GiB)
zuq agent status
zuq agent uninstall
zuq run --project ID --scheme NAME --receiver MAC_ID --device UDID
        [--builder MAC_ID] [--mode adhoc|debug] [--configuration NAME]
        [--wait --timeout 7200]
zuq jobs
zuq job JOB_ID
zuq logs JOB_ID [--follow --timeout 7200]
zuq cancel JOB_ID

JSON output is the default for machine use. Worker logs go to stdout/stderr.
--server URL is used only during group creation (default )";
        help += ZUQ::server;
        help += R"().
Join takes the server and encryption key from the invite. Keep invites private.
Default mode is adhoc / Release. Debug defaults to Debug configuration.
All Macs must run an agent; each builds only its explicitly registered projects.)";
        return help;
    }();
    return text;
}

// Writes all of `text` to a descriptor directly, bypassing stdio buffers. An output that is
// gone cannot be told so.
void writeOut(int fd, const std::string& text) {
    try {
        Platform::writeAll(fd, text, fd == STDOUT_FILENO ? "standard output" : "standard error");
    } catch (const std::system_error&) {
    }
}

// Other members' texts (device names, job errors) reach every document; on a terminal the
// controls it would act on are escaped, while files and pipes get the exact bytes scripts rely
// on.
JSON::Controls controlsFor(int fd) {
    return ::isatty(fd) == 1 ? JSON::Controls::escaped : JSON::Controls::kept;
}

int fail(const std::string& message) {
    writeOut(STDERR_FILENO,
             JSON::object({{"error", message}}).pretty(controlsFor(STDERR_FILENO)) + "\n");
    return 1;
}

} // namespace

const std::string& help() {
    return helpText();
}

double timeout(const Arguments& arguments) {
    std::string text = arguments.value("--timeout").value_or("7200");
    // strtod accepts decimal and hexadecimal notation, inf and nan, but skips leading white
    // space, which the whole-text rule does not allow.
    if (!text.empty() && !std::isspace(static_cast<unsigned char>(text.front()))) {
        char* end = nullptr;
        double seconds = std::strtod(text.c_str(), &end);
        if (end == text.c_str() + text.size() && seconds >= 1 && seconds <= 86400) {
            return seconds;
        }
    }
    throw ZUQError("Timeout must be between 1 and 86400 seconds");
}

std::optional<JSON> execute(const Arguments& arguments, const std::string& program) {
    Invocation invocation{arguments, program, deviceName(arguments), std::nullopt, std::nullopt};
    for (const Row& row : table) {
        if (row.enrolled && !invocation.credentials) {
            invocation.credentials = CredentialStore::require();
            invocation.api.emplace(*invocation.credentials);
        }
        if (matches(row, arguments)) {
            return row.run(invocation);
        }
    }
    throw ZUQError("Unknown command. Run zuq --help.");
}

int main(const std::vector<std::string>& arguments) {
    try {
        // Tools run in process groups of their own, out of reach of a terminal's Ctrl-C.
        ProcessRunner::forwardTerminationSignals();
        std::vector<std::string> words(arguments.begin() + (arguments.empty() ? 0 : 1),
                                       arguments.end());
        Arguments parsed(words);
        if (parsed.flag("--version")) {
            writeOut(STDOUT_FILENO, std::string(ZUQ::version) + "\n");
            return 0;
        }
        if (parsed.flag("--help") || parsed.positional.empty()) {
            writeOut(STDOUT_FILENO, help() + "\n");
            return 0;
        }
        std::string program = arguments.empty() ? std::string("zuq") : arguments.front();
        Platform::setProgramPath(program);
        if (auto result = execute(parsed, program)) {
            writeOut(STDOUT_FILENO, result->pretty(controlsFor(STDOUT_FILENO)) + "\n");
        }
        return 0;
    } catch (const std::exception& error) {
        return fail(error.what());
    } catch (...) {
        return fail("Unknown error");
    }
}

} // namespace ZUQCLI
