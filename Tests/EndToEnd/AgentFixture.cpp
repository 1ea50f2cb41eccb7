#include "AgentFixture.hpp"

#include "API.hpp"
#include "AppleSim.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>


namespace fs = std::filesystem;

namespace TestSupport {

// MARK: AgentProcess

AgentProcess::AgentProcess(const fs::path& logs, std::map<std::string, std::string> environment)
    : out_(logs.string() + ".out"), err_(logs.string() + ".err") {
    fs::create_directories(logs.parent_path());
    Invocation invocation(binaryDirectory() / "zuq", {"agent", "run"}, environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    int error = ::posix_spawn(&pid_, (binaryDirectory() / "zuq").c_str(), &actions, nullptr,
                              invocation.argv(), invocation.envp());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), "posix_spawn zuq agent run");
    }
}

AgentProcess::~AgentProcess() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

std::string AgentProcess::out() const {
    return fs::exists(out_) ? readFile(out_) : std::string();
}

std::string AgentProcess::err() const {
    return fs::exists(err_) ? readFile(err_) : std::string();
}

void AgentProcess::signal(int number) const {
    if (!status_) {
        ::kill(pid_, number);
    }
}

std::optional<int> AgentProcess::waitForExit(std::chrono::seconds limit) {
    waitFor(
        [this] {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            return status_.has_value();
        },
        limit);
    return status_;
}

// MARK: AgentTest

void AgentTest::SetUp() {
    TemporaryDirectoryTest::SetUp();
    relay = std::make_unique<RelayProcess>(directory / "relay");
    appleSim("a", {"setup"});
    appleSim("a", {"register-device", udid});
    appleSim("b", {"attach-phone", "--udid", udid, "--name", "Test iPhone", "--os", "18.1"});

    writeFile(directory / "bootstrap", relay->bootstrapSecret() + "\n");
    ok("a", {"group", "create", "--server", relay->url(), "--bootstrap-file",
             (directory / "bootstrap").string(), "--name", "Team", "--device-name", "Mac A"});
    fs::path invite = directory / "invite.json";
    writeFile(invite, zuq("a", {"group", "invite"}).out);
    ok("b", {"group", "join", "--invite-file", invite.string(), "--device-name", "Mac B"});
    projectID =
        ok("a", {"projects", "add", (sampleApp() / "SampleApp.xcworkspace").string()})["id"].text();
}

void AgentTest::TearDown() {
    for (auto& [mac, agent] : agents) {
        agent->signal(SIGTERM);
        agent->waitForExit(std::chrono::seconds(15));
    }
    agents.clear();
    // Whatever a test left hanging (a build whose agent was killed) ends with its Mac.
    for (const char* mac : {"a", "b"}) {
        run(binaryDirectory() / "apple-sim", {"stop-all"}, environment(mac));
    }
    relay.reset();
    TemporaryDirectoryTest::TearDown();
}

std::map<std::string, std::string> AgentTest::environment(const std::string& mac) const {
    return {{"HOME", (directory / mac).string()},
            {"ZUQ_STATE_DIR", state(mac).string()},
            {"ZUQ_TOOLS_DIR", appleTools().string()}};
}

fs::path AgentTest::state(const std::string& mac) const {
    return directory / mac / "state";
}

Output AgentTest::zuq(const std::string& mac, const std::vector<std::string>& arguments) {
    return run(binaryDirectory() / "zuq", arguments, environment(mac));
}

JSON AgentTest::ok(const std::string& mac, const std::vector<std::string>& arguments) {
    Output output = zuq(mac, arguments);
    EXPECT_EQ(output.status, 0) << mac << " zuq " << arguments[0] << ": " << output.err;
    return output.status == 0 ? JSON::decode(output.out) : JSON();
}

JSON AgentTest::appleSim(const std::string& mac, const std::vector<std::string>& arguments) {
    Output output = run(binaryDirectory() / "apple-sim", arguments, environment(mac));
    EXPECT_EQ(output.status, 0) << mac << " apple-sim " << arguments[0] << ": " << output.err;
    return output.status == 0 ? JSON::decode(output.out) : JSON();
}

Credentials AgentTest::credentials(const std::string& mac) {
    ScopedEnvironment macHome("HOME", (directory / mac).string());
    return CredentialStore::require();
}

AgentProcess& AgentTest::startAgent(const std::string& mac) {
    auto& agent = agents[mac];
    agent.reset();
    agent = std::make_unique<AgentProcess>(directory / "logs" / mac, environment(mac));
    return *agent;
}

std::string AgentTest::submit(const std::vector<std::string>& extra) {
    std::vector<std::string> arguments{"run",      "--project", projectID,
                                       "--scheme", "SampleApp", "--receiver",
                                       credentials("b").deviceID, "--device", udid};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return ok("a", arguments)["id"].text();
}

JSON AgentTest::job(const std::string& id) {
    return API(credentials("a")).job(id);
}

void AgentTest::waitForState(const std::string& id, const std::string& wanted,
                             std::chrono::seconds limit) {
    JSON record;
    bool reached = waitFor(
        [&] {
            record = job(id);
            return record["state"].text() == wanted;
        },
        limit);
    EXPECT_TRUE(reached) << "job " << id << " is " << record["state"].text() << ": "
                         << record["error"].text() << agentLogs();
}

std::string AgentTest::agentLogs() const {
    std::string logs;
    for (const auto& [mac, agent] : agents) {
        logs += "\nagent " + mac + ":\n" + agent->out() + agent->err();
    }
    return logs;
}

std::vector<std::string> AgentTest::events(const std::string& id) {
    std::vector<std::string> texts;
    JSON page = API(credentials("a")).events(id);
    for (const JSON& event : page["events"].items()) {
        texts.push_back(event["message"].text());
    }
    return texts;
}

bool AgentTest::waitForEvent(const std::string& id, const std::string& prefix,
                             std::chrono::seconds limit) {
    return waitFor(
        [&] {
            for (const std::string& text : events(id)) {
                if (text.starts_with(prefix)) {
                    return true;
                }
            }
            return false;
        },
        limit);
}

} // namespace TestSupport
