// The main job told with real processes only: a relay, two simulated Macs with their agents,
// the Apple tool simulator. A job built on Mac a is installed and launched on the phone of Mac
// b, and the agents hold up when jobs are cancelled, agents die, Macs are revoked and the relay
// goes away.
#include "API.hpp"
#include "AgentFixture.hpp"

#include <algorithm>
#include <csignal>
#include <set>
#include <sys/stat.h>
#include <utime.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TestSupport::waitFor;

namespace {

class Agents : public TestSupport::AgentTest {
protected:
    // Pids of the tools the simulator on `mac` keeps running (a hung build and its helpers).
    std::vector<pid_t> simulatedProcesses(const std::string& mac) {
        std::vector<pid_t> pids;
        JSON world = appleSim(mac, {"status"});
        for (const JSON& process : world["processes"].items()) {
            pids.push_back(static_cast<pid_t>(process["pid"].integer()));
        }
        return pids;
    }

    static bool alive(pid_t pid) { return ::kill(pid, 0) == 0; }

    // Alive and not a zombie waiting for whatever reaps orphans here.
    static bool running(pid_t pid) {
        if (!alive(pid)) {
            return false;
        }
        std::string stat;
        try {
            stat = TestSupport::readFile("/proc/" + std::to_string(pid) + "/stat");
        } catch (const std::exception&) {
            return false;
        }
        std::size_t end = stat.rfind(')');
        return end == std::string::npos || stat.compare(end + 2, 1, "Z") != 0;
    }

    // When the relay recorded the job's first event that begins with `prefix`.
    double eventTime(const std::string& id, const std::string& prefix) {
        JSON page = API(credentials("a")).events(id);
        for (const JSON& event : page["events"].items()) {
            if (event["message"].text().starts_with(prefix)) {
                return event["created_at"].number();
            }
        }
        ADD_FAILURE() << "no event " << prefix << " in job " << id;
        return 0;
    }

    JSON status(const std::string& mac) {
        fs::path file = state(mac) / "agent-status.json";
        return fs::exists(file) ? JSON::decode(TestSupport::readFile(file)) : JSON();
    }
};

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

TEST_F(Agents, JobsBuiltOnOneMacAreLaunchedOnTheOthersPhoneOneAfterTheOther) {
    startAgent("a");
    startAgent("b");
    std::string first = submit();
    std::string second = submit({"--mode", "debug"});
    waitForState(first, "succeeded", 180s);
    waitForState(second, "succeeded", 180s);

    EXPECT_EQ(events(first), (std::vector<std::string>{
                                 "Archiving SampleApp \u00B7 Release",
                                 "Exporting Ad Hoc build",
                                 "Checking signature, device provisioning, and APNs environment",
                                 "Encrypting build for your group",
                                 "Uploading encrypted build",
                                 "Downloading and decrypting build",
                                 "Installing on Test iPhone. Keep the device unlocked.",
                                 "Launching dev.zuq.SampleApp",
                             }));
    EXPECT_EQ(events(second)[1], "Exporting Debug build");

    // One builder runs one job at a time: the second was archived after the first was built.
    EXPECT_GE(eventTime(second, "Archiving"), eventTime(first, "Uploading encrypted build"));

    JSON phone = appleSim("b", {"status"});
    ASSERT_EQ(phone["installs"].items().size(), 1u) << phone.pretty();
    EXPECT_EQ(phone["installs"].items()[0]["udid"].text(), udid);
    EXPECT_EQ(phone["launches"].items().size(), 2u);

    // Each agent logged the events of its side, and is idle again with nothing left running.
    EXPECT_NE(agents["a"]->out().find("ZUQ " + first + ": Archiving SampleApp"), std::string::npos);
    EXPECT_NE(agents["b"]->out().find("ZUQ " + second + ": Launching"), std::string::npos);
    for (const char* mac : {"a", "b"}) {
        EXPECT_TRUE(waitFor([&] { return status(mac)["job_id"].isNull(); }, 15s)) << mac;
        EXPECT_FALSE(status(mac).fields().contains("error")) << status(mac).pretty();
        EXPECT_TRUE(simulatedProcesses(mac).empty()) << mac;
    }
    fs::path work = state("a") / "Jobs" / first;
    EXPECT_TRUE(fs::exists(work / "build.log"));
    EXPECT_FALSE(fs::exists(work / "Build.zuq"));
    fs::path receive = state("b") / "Jobs" / first / "Receive";
    EXPECT_TRUE(fs::exists(receive / "install.log"));
    EXPECT_FALSE(fs::exists(receive / "Build.zuq"));
    EXPECT_FALSE(fs::exists(receive / "Extracted"));
}

TEST_F(Agents, ACancelledBuildStopsWithEveryProcessItStarted) {
    startAgent("a");
    startAgent("b");
    for (const char* hang : {"hang", "hang-ignoring-term"}) {
        appleSim("a", {"next-build", hang});
        std::string id = submit();
        ASSERT_TRUE(waitForEvent(id, "Archiving", 60s)) << agentLogs();
        std::vector<pid_t> building;
        ASSERT_TRUE(waitFor(
            [&] {
                building = simulatedProcesses("a");
                return building.size() >= 3; // the build tool and its two helpers
            },
            30s));
        ok("a", {"cancel", id});
        // SIGTERM at the next heartbeat; a build that ignores it gets SIGKILL 5 seconds later.
        EXPECT_TRUE(waitFor(
            [&] {
                return std::none_of(building.begin(), building.end(), alive);
            },
            30s))
            << hang;
        waitForState(id, "cancelled", 5s);
        EXPECT_TRUE(waitFor([&] { return status("a")["job_id"].isNull(); }, 30s));
    }
    // The agent goes on with the next job.
    std::string next = submit();
    waitForState(next, "succeeded", 180s);
}

TEST_F(Agents, ARevokedMacsAgentEnds) {
    TestSupport::AgentProcess& receiver = startAgent("b");
    ASSERT_TRUE(waitFor([&] { return !status("b").isNull(); }, 30s));
    ok("a", {"group", "revoke", credentials("b").deviceID});
    std::optional<int> exit = receiver.waitForExit(30s);
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(*exit, 1);
    EXPECT_NE(receiver.err().find("revoked device credential"), std::string::npos)
        << receiver.err();
}

TEST_F(Agents, AnAgentKilledInTheMiddleOfAJobLeavesItToTheLease) {
    // Job directories from long ago go when the agent starts; recent ones stay.
    auto aged = [&](const std::string& name, std::chrono::hours age) {
        fs::path folder = state("a") / "Jobs" / name;
        fs::create_directories(folder / "Export");
        auto when = std::chrono::system_clock::now() - age;
        time_t seconds = std::chrono::system_clock::to_time_t(when);
        utimbuf times{seconds, seconds};
        ::utime(folder.c_str(), &times);
        return folder;
    };
    fs::path old = aged("old", std::chrono::hours(8 * 24));
    fs::path recent = aged("recent", std::chrono::hours(6 * 24));

    startAgent("a");
    startAgent("b");
    EXPECT_TRUE(waitFor([&] { return !fs::exists(old); }, 30s));
    EXPECT_TRUE(fs::exists(recent));

    appleSim("a", {"next-build", "hang"});
    std::string stranded = submit();
    ASSERT_TRUE(waitForEvent(stranded, "Archiving", 60s)) << agentLogs();
    // The archiving tool is recorded just after it starts, and a kill in between would leave
    // it unrecorded: the kill waits for the record.
    fs::path tools = state("a") / "Tools";
    ASSERT_TRUE(waitFor(
        [&] {
            std::error_code error;
            return fs::exists(tools, error) && !fs::is_empty(tools, error);
        },
        30s))
        << agentLogs();
    agents["a"]->signal(SIGKILL);
    agents["a"]->waitForExit(10s);
    // Killed outright, the agent could not stop the build: its successor does.
    std::vector<pid_t> hung = simulatedProcesses("a");
    ASSERT_FALSE(hung.empty());
    EXPECT_TRUE(std::all_of(hung.begin(), hung.end(), running));

    // The lock went with the process: a new agent starts at once and claims nothing until the
    // relay fails the stranded job when its lease lapses.
    startAgent("a");
    EXPECT_TRUE(waitFor([&] { return std::none_of(hung.begin(), hung.end(), running); }, 30s))
        << agentLogs();
    EXPECT_NE(agents["a"]->err().find("ZUQ agent: ended xcrun (process group "), std::string::npos)
        << agentLogs();
    waitForState(stranded, "failed", 120s);
    EXPECT_EQ(job(stranded)["error"].text(), "The builder Mac stopped responding");
    std::string next = submit();
    waitForState(next, "succeeded", 180s);
    EXPECT_EQ(agents["a"]->err().find("already running"), std::string::npos);
}

TEST_F(Agents, ABuildGoesOnWhileTheRelayRestarts) {
    startAgent("a");
    startAgent("b");
    appleSim("a", {"next-build", "slow", "8"});
    std::string id = submit();
    ASSERT_TRUE(waitForEvent(id, "Archiving", 60s)) << agentLogs();
    relay->resume();
    waitForState(id, "succeeded", 180s);
}

TEST_F(Agents, AnUnreachableRelayIsLoggedOnceAndRecoveredFrom) {
    TestSupport::AgentProcess& builder = startAgent("a");
    startAgent("b");
    ASSERT_TRUE(waitFor([&] { return !status("a").isNull(); }, 30s));
    relay->stop();

    // Passes fail at growing intervals (5, 10, 15 seconds ...), each rewriting the status file
    // with the error; only the first failure of the streak is logged.
    std::set<double> failedPasses;
    ASSERT_TRUE(waitFor(
        [&] {
            JSON current = status("a");
            if (current.fields().contains("error")) {
                failedPasses.insert(current["updated"].number());
            }
            return failedPasses.size() >= 4;
        },
        90s));
    EXPECT_EQ(count(builder.err(), "ZUQ agent: "), 1u) << builder.err();

    relay->resume();
    EXPECT_TRUE(waitFor([&] { return !status("a").fields().contains("error"); }, 45s))
        << status("a").pretty();
    std::string id = submit();
    waitForState(id, "succeeded", 180s);

    // A new outage is a new streak, logged again.
    relay->stop();
    EXPECT_TRUE(waitFor([&] { return count(builder.err(), "ZUQ agent: ") == 2; }, 30s));
}

TEST_F(Agents, AStoppedAgentEndsAtOnceEvenWhileBackingOff) {
    TestSupport::AgentProcess& builder = startAgent("a");
    relay->stop();
    ASSERT_TRUE(waitFor([&] { return builder.err().find("ZUQ agent: ") != std::string::npos; },
                        30s));
    builder.signal(SIGTERM);
    std::optional<int> exit = builder.waitForExit(3s);
    ASSERT_TRUE(exit.has_value()) << "still running 3 seconds after SIGTERM";
    EXPECT_EQ(*exit, 0);
}

} // namespace
