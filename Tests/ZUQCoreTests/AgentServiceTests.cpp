// The login agent: its status from the status file, and its property list and launchctl calls
// against the simulator's service manager.
#include "Support.hpp"
#include "Worker.hpp"

#include <chrono>
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
