// The login agent: its status from the status file, and its property list and launchctl calls
// against the simulator's service manager.
#include "AppleSim.hpp"
#include "Platform/PropertyList.hpp"
#include "Storage.hpp"
#include "Support.hpp"
#include "Worker.hpp"

#include <chrono>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

class AgentStatus : public TestSupport::TemporaryDirectoryTest {
protected:
    void writeStatus(const std::string& text) {
        TestSupport::writeFile(stateDirectory / "agent-status.json", text);
    }
};

double now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A pid that names no process: one of a child that has been reaped.
pid_t deadPid() {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
}

TEST_F(AgentStatus, RunningOnlyWithAFreshStatusOfALiveProcess) {
    struct Case {
        std::string name;
        double pid;
        double age;
        bool running;
    };
    const double self = ::getpid();
    const Case cases[] = {
        {"fresh, alive", self, 1, true},
        {"44 seconds old", self, 44, true},
        {"60 seconds old", self, 60, false},
        {"no such process", static_cast<double>(deadPid()), 10, false},
        {"pid 0", 0, 1, false},
        {"negative pid", -1, 1, false},
        {"pid past the 32-bit range", 4294967296.0 + self, 1, false},
    };
    for (const auto& c : cases) {
        writeStatus(JSON::object({{"pid", c.pid},
                                  {"updated", now() - c.age},
                                  {"device_id", "D-1"},
                                  {"job_id", JSON()},
                                  {"error", "relay down"}})
                        .data());
        JSON status = AgentService::status();
        EXPECT_EQ(status["running"], JSON(c.running)) << c.name;
        // The agent's own members pass through unchanged.
        EXPECT_EQ(status["device_id"].text(), "D-1") << c.name;
        EXPECT_TRUE(status.fields().contains("job_id")) << c.name;
        EXPECT_EQ(status["error"].text(), "relay down") << c.name;
    }
}

TEST_F(AgentStatus, AnUnreadableOrForeignStatusFileIsNoAgent) {
    EXPECT_EQ(AgentService::status(), JSON::object({{"running", false}}));
    writeStatus("{not json");
    EXPECT_EQ(AgentService::status(), JSON::object({{"running", false}}));
    writeStatus("[1, 2]");
    EXPECT_EQ(AgentService::status(), JSON::object({{"running", false}}));
    writeStatus(R"({"pid": "123", "updated": "now", "running": true})");
    EXPECT_EQ(AgentService::status()["running"], JSON(false));
}

} // namespace

namespace {

// The login agent installed through the simulator's service manager on this test's Mac.
class LoginAgent : public TestSupport::TemporaryDirectoryTest {
protected:
    void SetUp() override {
        TemporaryDirectoryTest::SetUp();
        tools.emplace("ZUQ_TOOLS_DIR", TestSupport::appleTools().string());
    }

    void TearDown() override {
        TestSupport::run(TestSupport::binaryDirectory() / "apple-sim", {"stop-all"});
        tools.reset();
        TemporaryDirectoryTest::TearDown();
    }

    // Enrolled with a relay that is not there: the agent runs, and fails its passes.
    static void enrol() {
        CredentialStore::save(Credentials{"http://127.0.0.1:9", "MAC-1", "token", "G-1", "Team",
                                          "Mac", std::string(43, 'A') + "="});
    }

    static JSON loadedAgents() {
        return JSON::decode(TestSupport::appleSim({"status"}))["agents"];
    }

    std::optional<TestSupport::ScopedEnvironment> tools;
};

TEST_F(LoginAgent, InstallRefusesAMissingProgramAndAnUnenrolledMac) {
    fs::path notExecutable = directory / "zuq.txt";
    TestSupport::writeFile(notExecutable, "text");
    enrol();
    for (const fs::path& program : {directory / "missing", notExecutable, directory}) {
        EXPECT_EQ(TestSupport::failure([&] { AgentService::install(program.string()); }),
                  "ZUQ CLI executable not found")
            << program;
    }
    EXPECT_FALSE(fs::exists(AgentService::plistURL()));

    TestSupport::ScopedEnvironment otherMac("HOME", (directory / "other").string());
    EXPECT_EQ(TestSupport::failure([&] {
                  AgentService::install((TestSupport::binaryDirectory() / "zuq").string());
              }),
              "This Mac is not enrolled. Use group create or group join first.");
    EXPECT_FALSE(fs::exists(AgentService::plistURL()));
}

TEST_F(LoginAgent, InstalledAgentRunsUntilUninstalled) {
    enrol();
    fs::path zuq = fs::canonical(TestSupport::binaryDirectory() / "zuq");
    fs::path link = directory / "bin" / "zuq";
    fs::create_directories(link.parent_path());
    fs::create_symlink(zuq, link);
    AgentService::install(link.string());

    EXPECT_EQ(AgentService::plistURL(),
              home / "Library" / "LaunchAgents" / "dev.zuq.agent.plist");
    auto plist = Platform::PropertyList::read(AgentService::plistURL());
    using List = Platform::PropertyList;
    EXPECT_EQ(plist, List(List::Dictionary{
                         {"Label", "dev.zuq.agent"},
                         {"ProgramArguments", List(List::Array{zuq.string(), "agent", "run"})},
                         {"RunAtLoad", true},
                         {"KeepAlive", List(List::Dictionary{{"SuccessfulExit", false}})},
                         {"ThrottleInterval", 15},
                         {"ProcessType", "Background"},
                         {"StandardOutPath", (stateDirectory / "Logs" / "agent.log").string()},
                         {"StandardErrorPath",
                          (stateDirectory / "Logs" / "agent-error.log").string()},
                         {"EnvironmentVariables",
                          List(List::Dictionary{{"PATH", "/opt/homebrew/bin:/usr/local/bin:"
                                                         "/usr/bin:/bin:/usr/sbin:/sbin"}})},
                     }));

    // The service manager started it; it reports itself alive, with its failing relay.
    JSON status;
    ASSERT_TRUE(TestSupport::waitFor(
        [&] {
            status = AgentService::status();
            return status["running"].flag();
        },
        std::chrono::seconds(30)))
        << status.pretty();
    EXPECT_EQ(status["device_id"].text(), "MAC-1");
    EXPECT_NE(status["error"].text().find("127.0.0.1:9"), std::string::npos) << status.pretty();

    // Installing again from another program replaces the one property list and the agent.
    fs::path copy = directory / "other" / "zuq";
    fs::create_directories(copy.parent_path());
    fs::copy_file(zuq, copy);
    fs::permissions(copy, fs::perms::owner_all);
    AgentService::install(copy.string());
    EXPECT_EQ(Platform::PropertyList::read(AgentService::plistURL())["ProgramArguments"],
              List(List::Array{copy.string(), "agent", "run"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(AgentService::plistURL().parent_path()),
                            fs::directory_iterator()),
              1);
    JSON agents = loadedAgents();
    ASSERT_EQ(agents.items().size(), 1u) << agents.pretty();

    AgentService::uninstall();
    EXPECT_FALSE(fs::exists(AgentService::plistURL()));
    // The service manager finishes the bootout on its own time.
    EXPECT_TRUE(TestSupport::waitFor([] { return loadedAgents().items().empty(); },
                                     std::chrono::seconds(10)));
    pid_t pid = static_cast<pid_t>(AgentService::status()["pid"].integer());
    EXPECT_TRUE(TestSupport::waitFor([&] { return ::kill(pid, 0) != 0; },
                                     std::chrono::seconds(10)));
    EXPECT_EQ(AgentService::status()["running"], JSON(false));
    // Nothing installed any more: uninstalling again is still fine.
    AgentService::uninstall();
}

// launchctl bootout returns before launchd has let go of the agent; a bootstrap meanwhile is
// refused with status 5 ("Bootstrap failed: 5: Input/output error") for some seconds.
TEST_F(LoginAgent, ReinstallingWaitsWhileTheOldAgentIsStillBeingBootedOut) {
    enrol();
    TestSupport::appleSim({"timing", "realistic"}); // the simulated bootout lingers 3 seconds
    fs::path zuq = fs::canonical(TestSupport::binaryDirectory() / "zuq");
    AgentService::install(zuq.string());
    JSON first = loadedAgents();
    ASSERT_EQ(first.items().size(), 1u);

    auto started = std::chrono::steady_clock::now();
    AgentService::install(zuq.string());
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::seconds(2)) << "it did wait for the old agent to go";
    EXPECT_LT(took, std::chrono::seconds(15));
    JSON agents = loadedAgents();
    ASSERT_EQ(agents.items().size(), 1u) << agents.pretty();
    EXPECT_FALSE(agents.items()[0]["booting_out"].flag());
    EXPECT_NE(agents.items()[0]["supervisor_pid"], first.items()[0]["supervisor_pid"])
        << "a new agent, loaded from the new property list";
    JSON status;
    EXPECT_TRUE(TestSupport::waitFor(
        [&] {
            status = AgentService::status();
            return status["running"].flag();
        },
        std::chrono::seconds(30)))
        << status.pretty();
}

} // namespace
