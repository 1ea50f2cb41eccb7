// The agent against a relay that answers what a healthy relay never would, to see exactly what
// the agent does with odd claims and long failures, and what it sends.
#include "AgentFixture.hpp"
#include "AppleSim.hpp"
#include "Platform/Random.hpp"
#include "ScriptedRelay.hpp"

#include <atomic>
#include <csignal>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TestSupport::waitFor;

namespace {

class Worker : public TestSupport::TemporaryDirectoryTest {
protected:
    void SetUp() override {
        TemporaryDirectoryTest::SetUp();
        relay.server.Post("/v1/heartbeat", [this](const httplib::Request&, httplib::Response& out) {
            std::lock_guard lock(mutex);
            out.status = heartbeatStatus;
            out.set_content(heartbeatAnswer, "application/json");
        });
        relay.server.Post("/v1/claim", [this](const httplib::Request&, httplib::Response& out) {
            std::size_t index = claims++;
            out.set_content(index < script.size() ? script[index] : R"({"job": null})",
                            "application/json");
        });
        relay.server.Post(R"(/v1/jobs/[^/]+/(event|fail))",
                          [this](const httplib::Request& request, httplib::Response& out) {
                              std::lock_guard lock(mutex);
                              reports.push_back({request.path, request.body,
                                                 request.get_header_value("X-ZUQ-Lease")});
                              out.set_content("{}", "application/json");
                          });
    }

    void TearDown() override {
        agent.reset();
        relay.server.stop();
        TemporaryDirectoryTest::TearDown();
    }

    // Enrols this Mac with the scripted relay and starts its agent.
    void startAgent() {
        relay.start();
        CredentialStore::save(Credentials{relay.origin(), me, "token", "G-1", "Team", "Mac", key});
        agent = std::make_unique<TestSupport::AgentProcess>(
            directory / "agent", std::map<std::string, std::string>{
                                     {"ZUQ_TOOLS_DIR", TestSupport::appleTools().string()}});
    }

    JSON status() {
        fs::path file = stateDirectory / "agent-status.json";
        return fs::exists(file) ? JSON::decode(TestSupport::readFile(file)) : JSON();
    }

    struct Report {
        std::string path;
        std::string body;
        std::string lease;
    };
    std::vector<Report> reported() {
        std::lock_guard lock(mutex);
        return reports;
    }

    const std::string me = Platform::newUUID();
    const std::string key = std::string(43, 'A') + "=";
    TestSupport::ScriptedRelay relay;
    std::vector<std::string> script; // claim answers, in order; then no work
    std::atomic<std::size_t> claims{0};
    std::mutex mutex;
    std::vector<Report> reports; // guarded by mutex
    int heartbeatStatus = 200;                       // guarded by mutex
    std::string heartbeatAnswer = R"({"jobs": []})"; // guarded by mutex
    std::unique_ptr<TestSupport::AgentProcess> agent;
};

TEST_F(Worker, ClaimsNotMeantForThisMacAreIgnored) {
    std::string uuid = Platform::newUUID();
    JSON::Array answers = {
        JSON::object({{"job", JSON::object({{"id", "not-a-uuid"},
                                            {"state", "building"},
                                            {"builder_id", me}})},
                      {"lease", "L1"}}),
        JSON::object({{"job", JSON::object({{"id", uuid},
                                            {"state", "building"},
                                            {"builder_id", "another Mac"},
                                            {"receiver_id", me}})},
                      {"lease", "L2"}}),
        JSON::object({{"job", JSON::object({{"id", uuid},
                                            {"state", "installing"},
                                            {"builder_id", me},
                                            {"receiver_id", "another Mac"}})},
                      {"lease", "L3"}}),
    };
    for (const JSON& answer : answers) {
        script.push_back(answer.data());
    }
    startAgent();
    // Only an idle agent claims, so a fourth claim means the three were passed over.
    ASSERT_TRUE(waitFor([&] { return claims >= 4; }, 60s)) << agent->err();
    EXPECT_TRUE(reported().empty());
    EXPECT_TRUE(status()["job_id"].isNull()) << status().pretty();
    EXPECT_EQ(agent->out(), "");
}

TEST_F(Worker, AFailureIsReportedCutAndLogged) {
    // An install that fails at its download, with a refusal longer than any report may be.
    TestSupport::appleSim({"attach-phone", "--udid", "00008130-000A11223344556E"});
    std::string failure(3000, 'x');
    relay.answer("GET", R"(/v1/jobs/[^/]+/artifact)", 409,
                 JSON::object({{"error", failure}}).data());
    std::string id = Platform::newUUID();
    script.push_back(
        JSON::object({{"job", JSON::object({{"id", id},
                                            {"state", "installing"},
                                            {"receiver_id", me},
                                            {"artifact_sha", std::string(64, '0')},
                                            {"spec", JSON::object({{"udid", "00008130-000A11223344556E"},
                                                                   {"mode", "adhoc"}})}})},
                      {"lease", 5}})
            .data());
    startAgent();
    ASSERT_TRUE(waitFor([&] { return reported().size() >= 2; }, 60s)) << agent->err();

    std::vector<Report> sent = reported();
    EXPECT_EQ(sent[0].path, "/v1/jobs/" + id + "/event");
    EXPECT_EQ(JSON::decode(sent[0].body)["message"].text(), "Downloading and decrypting build");
    EXPECT_EQ(sent[1].path, "/v1/jobs/" + id + "/fail");
    EXPECT_EQ(JSON::decode(sent[1].body)["error"].text(), failure.substr(0, 1950));
    // A lease that is not text is sent as empty text.
    EXPECT_EQ(sent[1].lease, "");

    EXPECT_TRUE(waitFor([&] { return status()["job_id"].isNull(); }, 15s));
    EXPECT_NE(agent->out().find("ZUQ " + id + ": Downloading and decrypting build\n"),
              std::string::npos);
    EXPECT_NE(agent->err().find("ZUQ " + id + ": " + failure.substr(0, 1950) + "\n"),
              std::string::npos)
        << agent->err();
    EXPECT_EQ(agent->err().find(failure.substr(0, 1951)), std::string::npos);
}

// A revoked Mac's agent ends for good: told so by the refusal's reason, whatever its sentence,
// or by the sentence of a relay that sends no reason. Any other refusal is tried again.
TEST_F(Worker, ARevokedMacsAgentEndsByTheReasonOrAnOlderRelaysSentence) {
    struct Case {
        const char* name;
        std::string answer;
        bool ends;
    };
    const Case cases[] = {
        {"the reason, with another sentence",
         R"({"error": "This Mac is no longer in the group", "reason": "revoked"})", true},
        {"an older relay's sentence", R"({"error": "revoked device credential"})", true},
        {"another refusal", R"({"error": "Invalid device credential", "reason": "unauthenticated"})",
         false},
    };
    relay.start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(mutex);
            heartbeatStatus = 401;
            heartbeatAnswer = c.answer;
        }
        CredentialStore::save(Credentials{relay.origin(), me, "token", "G-1", "Team", "Mac", key});
        agent = std::make_unique<TestSupport::AgentProcess>(
            directory / c.name, std::map<std::string, std::string>{
                                    {"ZUQ_TOOLS_DIR", TestSupport::appleTools().string()}});
        if (c.ends) {
            EXPECT_EQ(agent->waitForExit(30s), std::optional<int>(1)) << agent->err();
        } else {
            std::string sentence = JSON::decode(c.answer)["error"].text();
            EXPECT_TRUE(waitFor([&] { return status()["error"].text() == sentence; }, 30s));
            EXPECT_EQ(agent->waitForExit(1s), std::nullopt) << "ended on a refusal it may retry";
            agent->signal(SIGTERM);
            agent->waitForExit(15s);
        }
        agent.reset();
        fs::remove(stateDirectory / "agent-status.json");
    }
}

} // namespace
