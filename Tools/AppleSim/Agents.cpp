#include "Agents.hpp"

#include "Files.hpp"
#include "Processes.hpp"
#include "PropertyList.hpp"
#include "World.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace AppleSim::Agents {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

fs::path directory() {
    return World::directory() / "agents";
}

fs::path recordPath(const std::string& label) {
    return directory() / (label + ".json");
}

Agent fromJSON(const json& value) {
    Agent agent;
    agent.label = value.value("label", "");
    agent.plist = value.value("plist", "");
    agent.executable = value.value("executable", "");
    agent.program = value.value("program", std::vector<std::string>{});
    agent.workingDirectory = value.value("working_directory", "");
    agent.standardOut = value.value("stdout", "");
    agent.standardError = value.value("stderr", "");
    agent.environment = value.value("environment", std::map<std::string, std::string>{});
    agent.keepAlive = value.value("keep_alive", "none");
    agent.throttle = value.value("throttle", 10.0);
    agent.exitTimeout = value.value("exit_timeout", 5.0);
    agent.runAtLoad = value.value("run_at_load", false);
    agent.supervisor = value.value("supervisor_pid", 0);
    agent.supervisorStarted = value.value("supervisor_started", std::uint64_t{0});
    agent.pid = value.value("pid", 0);
    agent.started = value.value("started", std::uint64_t{0});
    agent.runs = value.value("runs", 0);
    if (value.contains("last_exit_status") && value["last_exit_status"].is_number()) {
        agent.lastExitStatus = value["last_exit_status"].get<int>();
    }
    agent.bootingOut = value.value("booting_out", false);
    agent.bootedOutAt = value.value("booted_out_at", 0.0);
    return agent;
}

json record(const Agent& agent) {
    return {{"label", agent.label},
            {"plist", agent.plist},
            {"executable", agent.executable},
            {"program", agent.program},
            {"working_directory", agent.workingDirectory},
            {"stdout", agent.standardOut},
            {"stderr", agent.standardError},
            {"environment", agent.environment},
            {"keep_alive", agent.keepAlive},
            {"throttle", agent.throttle},
            {"exit_timeout", agent.exitTimeout},
            {"run_at_load", agent.runAtLoad},
            {"supervisor_pid", agent.supervisor},
            {"supervisor_started", agent.supervisorStarted},
            {"pid", agent.pid},
            {"started", agent.started},
            {"runs", agent.runs},
            {"last_exit_status", agent.lastExitStatus ? json(*agent.lastExitStatus) : json(nullptr)},
            {"booting_out", agent.bootingOut},
            {"booted_out_at", agent.bootedOutAt}};
}

std::optional<Agent> readRecord(const std::string& label) {
    try {
        return fromJSON(json::parse(readFile(recordPath(label))));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool waitUntil(const std::function<bool()>& done, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace

std::optional<Agent> find(const std::string& label) {
    return readRecord(label);
}

std::vector<Agent> all() {
    std::vector<Agent> agents;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory(), error)) {
        if (entry.path().extension() == ".json") {
            if (std::optional<Agent> agent = readRecord(entry.path().stem().string())) {
                agents.push_back(*agent);
            }
        }
    }
    return agents;
}

void save(const Agent& agent) {
    makeDirectories(World::ensureDirectory() / "agents", 0700);
    FileLock lock(World::lockPath(), FileLock::Mode::exclusive);
    writeFileAtomically(recordPath(agent.label), record(agent).dump(1), 0600);
}

bool update(const std::string& label, const std::function<void(Agent&)>& change) {
    FileLock lock(World::lockPath(), FileLock::Mode::exclusive);
    std::optional<Agent> agent = readRecord(label);
    if (!agent) {
        return false;
    }
    change(*agent);
    writeFileAtomically(recordPath(label), record(*agent).dump(1), 0600);
    return true;
}

void remove(const std::string& label) {
    FileLock lock(World::lockPath(), FileLock::Mode::exclusive);
    std::error_code ignored;
    fs::remove(recordPath(label), ignored);
}

Agent fromPropertyList(const json& plist, const std::string& path,
                       const std::map<std::string, std::string>& session) {
    if (!plist.is_object()) {
        throw std::runtime_error(path + " does not hold a dictionary");
    }
    Agent agent;
    agent.plist = path;
    agent.label = PropertyList::text(plist, "Label");
    if (agent.label.empty() || agent.label.find('/') != std::string::npos) {
        throw std::runtime_error(path + " has no usable Label");
    }
    for (const json& word : plist.value("ProgramArguments", json::array())) {
        if (!word.is_string()) {
            throw std::runtime_error(path + ": ProgramArguments must be strings");
        }
        agent.program.push_back(word.get<std::string>());
    }
    agent.executable = PropertyList::text(plist, "Program");
    if (agent.executable.empty() && !agent.program.empty()) {
        agent.executable = agent.program.front();
    }
    if (agent.program.empty()) {
        agent.program.push_back(agent.executable);
    }
    if (agent.executable.empty()) {
        throw std::runtime_error(path + " names no program (Program or ProgramArguments)");
    }
    agent.workingDirectory = PropertyList::text(plist, "WorkingDirectory");
    agent.standardOut = PropertyList::text(plist, "StandardOutPath");
    agent.standardError = PropertyList::text(plist, "StandardErrorPath");
    agent.environment = session;
    json variables = plist.value("EnvironmentVariables", json::object());
    for (const auto& [name, value] : variables.items()) {
        if (value.is_string()) {
            agent.environment[name] = value.get<std::string>();
        }
    }
    json keepAlive = plist.value("KeepAlive", json(false));
    if (keepAlive.is_boolean()) {
        agent.keepAlive = keepAlive.get<bool>() ? "always" : "none";
    } else if (keepAlive.is_object() && keepAlive.contains("SuccessfulExit") &&
               keepAlive["SuccessfulExit"].is_boolean()) {
        agent.keepAlive = keepAlive["SuccessfulExit"].get<bool>() ? "successful" : "unsuccessful";
    }
    if (plist.contains("ThrottleInterval") && plist["ThrottleInterval"].is_number()) {
        agent.throttle = plist["ThrottleInterval"].get<double>();
    }
    if (plist.contains("ExitTimeOut") && plist["ExitTimeOut"].is_number()) {
        agent.exitTimeout = plist["ExitTimeOut"].get<double>();
    }
    agent.runAtLoad = plist.value("RunAtLoad", false);
    return agent;
}

void start(const std::string& label) {
    pid_t child = ::fork();
    if (child < 0) {
        throwErrno("Cannot start the supervisor of", label);
    }
    if (child == 0) {
        // Detach twice so the supervisor belongs to no caller's session or process group and
        // holds none of its descriptors.
        ::setsid();
        if (::fork() != 0) {
            ::_exit(0);
        }
        int null = ::open("/dev/null", O_RDWR);
        std::string log = (directory() / (label + ".supervisor.log")).string();
        int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(null, 0);
        ::dup2(output >= 0 ? output : null, 1);
        ::dup2(output >= 0 ? output : null, 2);
        ::close_range(3, ~0u, 0);
        const char* argv[] = {"apple-sim-launchd", label.c_str(), nullptr};
        ::execv("/proc/self/exe", const_cast<char**>(argv));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    bool ready = waitUntil(
        [&] {
            std::optional<Agent> agent = readRecord(label);
            return agent && agent->supervisor != 0;
        },
        10);
    if (!ready) {
        throw std::runtime_error("the supervisor of " + label + " did not start");
    }
}

pid_t stop(const std::string& label) {
    std::optional<Agent> agent = readRecord(label);
    if (!agent) {
        return 0;
    }
    Processes::Record supervisor{agent->supervisor, agent->supervisorStarted, "launchd"};
    if (agent->bootingOut) {
        remove(label); // the supervisor need not wait out the bootout any more
    }
    if (Processes::signal(supervisor, SIGTERM)) {
        waitUntil([&] { return !Processes::alive(supervisor); }, agent->exitTimeout + 5);
    }
    // The supervisor stops the program; if it could not (it was killed), stop it here.
    agent = readRecord(label).value_or(*agent);
    Processes::Record program{agent->pid, agent->started, "agent"};
    if (Processes::signal(program, SIGTERM) &&
        !waitUntil([&] { return !Processes::alive(program); }, agent->exitTimeout)) {
        ::kill(-program.pid, SIGKILL);
        ::kill(program.pid, SIGKILL);
    }
    Processes::signal(supervisor, SIGKILL);
    remove(label);
    return agent->pid;
}

bool bootOut(const std::string& label, double linger, double wait) {
    std::optional<Agent> booted;
    update(label, [&](Agent& agent) {
        agent.bootingOut = true;
        agent.bootedOutAt = realNow() + linger;
        booted = agent;
    });
    if (!booted) {
        return true;
    }
    Processes::Record supervisor{booted->supervisor, booted->supervisorStarted, "launchd"};
    Processes::Record program{booted->pid, booted->started, "agent"};
    if (!Processes::signal(supervisor, SIGTERM)) {
        // Nothing is left to finish the bootout: do it here.
        stop(label);
        return true;
    }
    return waitUntil([&] { return !Processes::alive(program); }, wait);
}

bool stillBootingOut(const Agent& agent) {
    Processes::Record supervisor{agent.supervisor, agent.supervisorStarted, "launchd"};
    if (Processes::alive(supervisor)) {
        return true;
    }
    remove(agent.label);
    return false;
}

json toJSON(const Agent& agent) {
    Processes::Record program{agent.pid, agent.started, "agent"};
    Processes::Record supervisor{agent.supervisor, agent.supervisorStarted, "launchd"};
    return {{"label", agent.label},
            {"pid", Processes::alive(program) ? agent.pid : 0},
            {"supervisor_pid", Processes::alive(supervisor) ? agent.supervisor : 0},
            {"runs", agent.runs},
            {"last_exit_status", agent.lastExitStatus ? json(*agent.lastExitStatus) : json(nullptr)},
            {"program", agent.program},
            {"plist", agent.plist},
            {"booting_out", agent.bootingOut}};
}

} // namespace AppleSim::Agents
