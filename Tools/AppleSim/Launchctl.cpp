// launchctl: loads, unloads and shows the simulated Mac's per-user login agents.
#include "Tools.hpp"

#include "Agents.hpp"
#include "Failure.hpp"
#include "Options.hpp"
#include "Processes.hpp"
#include "PropertyList.hpp"
#include "World.hpp"

#include <iostream>
#include <unistd.h>

extern char** environ;

namespace AppleSim {

using nlohmann::json;

namespace {

// "gui/<uid>" for this user; the service manager of another user is out of reach.
std::string domain(const std::string& text, const std::string& action) {
    std::string mine = "gui/" + std::to_string(::getuid());
    if (text != mine) {
        throw ToolFailure(action + " failed: 125: Domain does not support specified action\n"
                          "apple-sim: only " + mine + ", this user's login session, is simulated",
                          125);
    }
    return mine;
}

std::map<std::string, std::string> session() {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        std::size_t equals = text.find('=');
        if (equals != std::string::npos) {
            variables[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    return variables;
}

// What launchctl says when the label is loaded already, or still leaving after a bootout.
const char* bootstrapRefusal =
    "Bootstrap failed: 5: Input/output error\nTry re-running the command as root for richer errors.";

int bootstrap(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) {
        throw ToolFailure("Usage: launchctl bootstrap <domain-target> [service-path ...]", 64);
    }
    domain(arguments[0], "Bootstrap");
    for (std::size_t index = 1; index < arguments.size(); ++index) {
        const std::string& path = arguments[index];
        json plist;
        try {
            plist = PropertyList::read(path);
        } catch (const PropertyList::Error& error) {
            bool missing = ::access(path.c_str(), F_OK) != 0;
            throw ToolFailure(missing ? "Bootstrap failed: 2: No such file or directory"
                                      : std::string(bootstrapRefusal) + "\napple-sim: " + error.what(),
                              missing ? 2 : 5);
        }
        Agents::Agent agent;
        try {
            agent = Agents::fromPropertyList(plist, path, session());
        } catch (const std::runtime_error& error) {
            throw ToolFailure(std::string(bootstrapRefusal) + "\napple-sim: " + error.what(), 5);
        }
        if (std::optional<Agents::Agent> loaded = Agents::find(agent.label)) {
            bool leaving = loaded->bootingOut;
            if (!leaving || Agents::stillBootingOut(*loaded)) {
                throw ToolFailure(std::string(bootstrapRefusal) + "\napple-sim: " + agent.label +
                                      (leaving ? " is still being booted out of "
                                               : " is already loaded in ") +
                                      arguments[0] + (leaving ? "" : "; boot it out first"),
                                  5);
            }
        }
        Agents::save(agent);
        try {
            Agents::start(agent.label);
        } catch (const std::exception& error) {
            Agents::remove(agent.label);
            throw ToolFailure(std::string(bootstrapRefusal) + "\napple-sim: " + error.what(), 5);
        }
    }
    return 0;
}

// "gui/<uid>/<label>", or the domain and a property list naming the label.
std::string serviceLabel(const std::vector<std::string>& arguments, const std::string& action) {
    const std::string& target = arguments[0];
    std::size_t slash = target.find('/', target.find('/') + 1);
    if (slash != std::string::npos) {
        domain(target.substr(0, slash), action);
        return target.substr(slash + 1);
    }
    domain(target, action);
    if (arguments.size() != 2) {
        throw ToolFailure("Usage: launchctl " + std::string(action == "Boot-out" ? "bootout" : "print") +
                              " <service-target> | <domain-target> <service-path>",
                          64);
    }
    try {
        return PropertyList::text(PropertyList::read(arguments[1]), "Label");
    } catch (const PropertyList::Error&) {
        throw ToolFailure(action + " failed: 2: No such file or directory", 2);
    }
}

int bootout(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        throw ToolFailure("Usage: launchctl bootout <service-target> | <domain-target> <service-path>", 64);
    }
    std::string label = serviceLabel(arguments, "Boot-out");
    std::optional<Agents::Agent> agent = Agents::find(label);
    if (!agent || (agent->bootingOut && !Agents::stillBootingOut(*agent))) {
        throw ToolFailure("Boot-out failed: 3: No such process", 3);
    }
    // launchd tears the service down after launchctl has returned: for a while the label stays
    // loaded, and a bootstrap of it fails with status 5.
    const char* inProgress = "Boot-out failed: 36: Operation now in progress";
    if (agent->bootingOut) {
        throw ToolFailure(inProgress, 36);
    }
    double linger = World::read().realistic() ? 3.0 : 1.0;
    if (!Agents::bootOut(label, linger, 1.0)) {
        throw ToolFailure(inProgress, 36);
    }
    return 0;
}

int print(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        throw ToolFailure("Usage: launchctl print <service-target>", 64);
    }
    std::string label = serviceLabel(arguments, "Print");
    std::optional<Agents::Agent> agent = Agents::find(label);
    std::string domainText = "gui/" + std::to_string(::getuid());
    if (!agent) {
        throw ToolFailure("Could not find service \"" + label + "\" in domain for user gui: " +
                              std::to_string(::getuid()),
                          113);
    }
    bool running = Processes::alive({agent->pid, agent->started, "agent"});
    std::cout << domainText << "/" << label << " = {\n\tactive count = " << (running ? 1 : 0)
              << "\n\tpath = " << agent->plist << "\n\ttype = LaunchAgent\n\tstate = "
              << (running ? "running" : "not running") << "\n\n\tprogram = " << agent->executable
              << "\n\targuments = {\n";
    for (const std::string& word : agent->program) {
        std::cout << "\t\t" << word << "\n";
    }
    std::cout << "\t}\n\n\tworking directory = "
              << (agent->workingDirectory.empty() ? "/" : agent->workingDirectory)
              << "\n\tstdout path = " << agent->standardOut << "\n\tstderr path = "
              << agent->standardError << "\n\n\truns = " << agent->runs << "\n";
    if (running) {
        std::cout << "\tpid = " << agent->pid << "\n";
    }
    std::cout << "\tlast exit code = "
              << (agent->lastExitStatus ? std::to_string(*agent->lastExitStatus) : "(never exited)")
              << "\n}\n";
    return 0;
}

int list(const std::vector<std::string>& arguments) {
    if (!arguments.empty()) {
        throw ToolFailure("apple-sim: `launchctl list " + joinWords(arguments) +
                              "` is not simulated; use launchctl print gui/UID/LABEL",
                          64);
    }
    std::cout << "PID\tStatus\tLabel\n";
    for (const Agents::Agent& agent : Agents::all()) {
        bool running = Processes::alive({agent.pid, agent.started, "agent"});
        std::cout << (running ? std::to_string(agent.pid) : "-") << "\t"
                  << agent.lastExitStatus.value_or(0) << "\t" << agent.label << "\n";
    }
    return 0;
}

} // namespace

int launchctl(const std::vector<std::string>& arguments) {
    std::vector<std::string> rest(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end());
    std::string command = arguments.empty() ? "" : arguments[0];
    if (command == "bootstrap") {
        return bootstrap(rest);
    }
    if (command == "bootout") {
        return bootout(rest);
    }
    if (command == "print") {
        return print(rest);
    }
    if (command == "list") {
        return list(rest);
    }
    throw ToolFailure("Unrecognized subcommand: " + command + "\napple-sim: `launchctl " +
                          joinWords(arguments) +
                          "` is not simulated; launchctl knows bootstrap, bootout, print and list",
                      64);
}

int launchdSupervisor(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) {
        throw ToolFailure("apple-sim-launchd is started by launchctl bootstrap", 64);
    }
    return Agents::supervise(arguments[0]);
}

} // namespace AppleSim
