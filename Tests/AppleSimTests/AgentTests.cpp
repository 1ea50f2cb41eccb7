// launchctl and caffeinate as zuq's login agent uses them, and apple-sim stop-all.
#include "SimulatorTest.hpp"

#include <chrono>
#include <csignal>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class AgentTest : public SimulatorTest {
protected:
    void TearDown() override {
        control({"stop-all"});
        SimulatorTest::TearDown();
    }

    std::string domain() const { return "gui/" + std::to_string(::getuid()); }

    // A login-agent property list like the one zuq installs, running `script` with sh.
    fs::path agentPlist(const std::string& label, const std::string& script,
                        const std::string& keepAlive) {
        fs::path path = home / "Library" / "LaunchAgents" / (label + ".plist");
        std::string escaped;
        for (char c : script) {
            escaped += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
        }
        TestSupport::writeFile(
            path,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
            "<key>Label</key><string>" + label + "</string>\n"
            "<key>ProgramArguments</key><array><string>/bin/sh</string><string>-c</string>"
            "<string>" + escaped + "</string></array>\n"
            "<key>RunAtLoad</key><true/>\n<key>KeepAlive</key>" + keepAlive + "\n"
            "<key>ThrottleInterval</key><integer>1</integer>\n"
            "<key>ProcessType</key><string>Background</string>\n"
            "<key>WorkingDirectory</key><string>" + directory.string() + "</string>\n"
            "<key>StandardOutPath</key><string>" + (directory / "agent.log").string() + "</string>\n"
            "<key>StandardErrorPath</key><string>" + (directory / "agent-error.log").string() + "</string>\n"
            "<key>EnvironmentVariables</key><dict><key>PATH</key>"
            "<string>/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin</string>"
            "<key>FROM_PLIST</key><string>yes</string></dict>\n"
            "</dict>\n</plist>\n");
        return path;
    }

    TestSupport::Output launchctl(const std::vector<std::string>& arguments) {
        return tool("launchctl", arguments, {{"ZUQ_TOOLS_DIR", "/tools/of/this/mac"}});
    }

    static std::vector<std::string> lines(const fs::path& path) {
        std::vector<std::string> result;
        std::istringstream text(fs::exists(path) ? TestSupport::readFile(path) : "");
        for (std::string line; std::getline(text, line);) {
            result.push_back(line);
        }
        return result;
    }
};

TEST_F(AgentTest, RunsInTheSessionRestartsAfterFailureAndBootsOut) {
    fs::path plist = agentPlist(
        "dev.zuq.test.agent",
        "echo \"$(date +%s.%N) $PWD $HOME $ZUQ_TOOLS_DIR $FROM_PLIST\"; echo oops >&2; exit 3",
        "<dict><key>SuccessfulExit</key><false/></dict>");
    TestSupport::Output loaded = launchctl({"bootstrap", domain(), plist.string()});
    ASSERT_EQ(loaded.status, 0) << loaded.err;

    // It exits unsuccessfully, so it is started again, no sooner than its throttle interval.
    ASSERT_TRUE(eventually([&] { return lines(directory / "agent.log").size() >= 2; }));
    std::vector<std::string> runs = lines(directory / "agent.log");
    std::istringstream first(runs[0]);
    std::istringstream second(runs[1]);
    double firstStart = 0;
    double secondStart = 0;
    std::string cwd, homeSeen, tools, fromPlist;
    first >> firstStart >> cwd >> homeSeen >> tools >> fromPlist;
    second >> secondStart;
    EXPECT_GE(secondStart - firstStart, 0.95);
    EXPECT_EQ(cwd, directory.string());
    EXPECT_EQ(homeSeen, home.string());
    EXPECT_EQ(tools, "/tools/of/this/mac");
    EXPECT_EQ(fromPlist, "yes");
    EXPECT_EQ(lines(directory / "agent-error.log").front(), "oops");

    TestSupport::Output again = launchctl({"bootstrap", domain(), plist.string()});
    EXPECT_EQ(again.status, 5);
    EXPECT_NE(again.err.find("already loaded"), std::string::npos) << again.err;
    json agents = control({"status"})["agents"];
    ASSERT_EQ(agents.size(), 1u);
    EXPECT_EQ(agents[0]["label"], "dev.zuq.test.agent");
    EXPECT_EQ(agents[0]["last_exit_status"], 3);

    EXPECT_EQ(launchctl({"bootout", domain() + "/dev.zuq.test.agent"}).status, 0);
    EXPECT_TRUE(eventually([&] { return control({"status"})["agents"].empty(); }));
    TestSupport::Output missing = launchctl({"bootout", domain() + "/dev.zuq.test.agent"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err, "Boot-out failed: 3: No such process\n");
}

// launchd finishes a bootout after launchctl has returned: for a while the label is still
// loaded, a bootstrap of it fails with status 5 and another bootout says it is under way.
TEST_F(AgentTest, BootoutFinishesAfterLaunchctlReturns) {
    fs::path plist = agentPlist("dev.zuq.test.slow", "exec sleep 300", "<true/>");
    ASSERT_EQ(launchctl({"bootstrap", domain(), plist.string()}).status, 0);
    ASSERT_TRUE(eventually([&] { return control({"status"})["agents"][0]["pid"] != 0; }));
    auto bootedOut = std::chrono::steady_clock::now();
    EXPECT_EQ(launchctl({"bootout", domain() + "/dev.zuq.test.slow"}).status, 0);

    TestSupport::Output early = launchctl({"bootstrap", domain(), plist.string()});
    EXPECT_EQ(early.status, 5);
    EXPECT_EQ(early.err.rfind("Bootstrap failed: 5: Input/output error\nTry re-running the "
                              "command as root for richer errors.\n",
                              0),
              0u)
        << early.err;
    EXPECT_NE(early.err.find("still being booted out"), std::string::npos) << early.err;
    TestSupport::Output again = launchctl({"bootout", domain() + "/dev.zuq.test.slow"});
    EXPECT_EQ(again.status, 36);
    EXPECT_EQ(again.err, "Boot-out failed: 36: Operation now in progress\n");
    EXPECT_EQ(launchctl({"print", domain() + "/dev.zuq.test.slow"}).status, 0)
        << "still found while it leaves";

    ASSERT_TRUE(eventually([&] {
        return launchctl({"print", domain() + "/dev.zuq.test.slow"}).status != 0;
    }));
    EXPECT_GE(std::chrono::steady_clock::now() - bootedOut, std::chrono::milliseconds(900));
    EXPECT_EQ(launchctl({"bootstrap", domain(), plist.string()}).status, 0);
    EXPECT_TRUE(eventually([&] { return control({"status"})["agents"][0]["pid"] != 0; }));
}

TEST_F(AgentTest, StopAllEndsAgentsTheirChildrenAndCaffeinate) {
    fs::path plist = agentPlist("dev.zuq.test.sleeper", "sleep 300 & echo $!; wait", "<true/>");
    ASSERT_EQ(launchctl({"bootstrap", domain(), plist.string()}).status, 0);
    int agentPID = 0;
    ASSERT_TRUE(eventually([&] {
        agentPID = control({"status"})["agents"][0]["pid"].get<int>();
        return agentPID != 0 && !lines(directory / "agent.log").empty();
    }));
    pid_t child = std::stoi(lines(directory / "agent.log").front());
    TestSupport::Output printed = launchctl({"print", domain() + "/dev.zuq.test.sleeper"});
    EXPECT_NE(printed.out.find("state = running"), std::string::npos) << printed.out;
    EXPECT_NE(printed.out.find("pid = " + std::to_string(agentPID)), std::string::npos);

    pid_t awake = start({(TestSupport::binaryDirectory() / "apple-tools" / "caffeinate").string(),
                         "-i", "-w", std::to_string(agentPID)},
                        directory / "caffeinate.log");
    ASSERT_TRUE(eventually([&] {
        json processes = control({"status"})["processes"];
        return processes.size() == 1 && processes[0]["role"] == "caffeinate";
    }));

    json stopped = control({"stop-all"})["stopped"];
    ASSERT_GE(stopped.size(), 1u);
    EXPECT_EQ(stopped[0]["label"], "dev.zuq.test.sleeper");
    EXPECT_TRUE(eventually([&] { return gone(agentPID) && gone(child); }));
    int status = 0;
    ASSERT_EQ(::waitpid(awake, &status, 0), awake);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "caffeinate ends with its process";
    EXPECT_TRUE(control({"status"})["agents"].empty());
    EXPECT_TRUE(control({"status"})["processes"].empty());
}

// A supervisor never outlives its simulated Mac: deleting the world ends it and its agent.
TEST_F(AgentTest, EndsWithItsWorld) {
    fs::path plist = agentPlist("dev.zuq.test.orphan", "exec sleep 300", "<true/>");
    ASSERT_EQ(launchctl({"bootstrap", domain(), plist.string()}).status, 0);
    json agent = control({"status"})["agents"][0];
    ASSERT_TRUE(eventually([&] {
        agent = control({"status"})["agents"][0];
        return agent["pid"] != 0;
    }));
    fs::remove_all(home / ".apple-sim");
    EXPECT_TRUE(eventually([&] {
        return gone(agent["pid"].get<int>()) && gone(agent["supervisor_pid"].get<int>());
    }));
}

} // namespace
