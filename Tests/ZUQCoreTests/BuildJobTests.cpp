#include "BuildPipeline.hpp"
#include "PipelineTest.hpp"
#include "ProcessRunner.hpp"
#include "ScriptedRelay.hpp"

#include <chrono>
#include <future>
#include <signal.h>
#include <thread>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using TestSupport::failure;

namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kept{"App.xcarchive", "Export", "ExportOptions.plist", "build.log"};

// Waits up to a minute for `done` to hold.
bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 1200; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

class BuildJobTest : public JobTest {
protected:
    // Builds the job claimed by the builder, collecting its events; returns the error's
    // message or "no error". The caller holds As(builder): the environment must not change
    // while another thread starts tools.
    std::string build(const API::Claim& claimed, std::stop_token stop = {}) {
        return failure([&] {
            BuildPipeline::build(
                claimed.job, claimed.lease, builder.credentials, *builder.api,
                [&](const std::string& text) { events.push_back(text); }, stop);
        });
    }

    fs::path work(const JSON& job) { return builder.state / "Jobs" / job["id"].text(); }

    std::vector<std::string> events;
};

TEST_F(BuildJobTest, BuildsAndInstallsOnTheOtherMacsPhone) {
    struct Case {
        std::string mode, configuration, exporting;
    };
    const Case cases[] = {{"adhoc", "Release", "Exporting Ad Hoc build"},
                          {"debug", "Debug", "Exporting Debug build"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        events.clear();
        submit(c.mode, c.configuration);
        API::Claim built = claim(builder);
        std::string id = built.job["id"].text();
        {
            As as(builder);
            EXPECT_EQ(build(built), "no error");
        }
        EXPECT_EQ(events, (std::vector<std::string>{
                              "Archiving SampleApp \u00B7 " + c.configuration, c.exporting,
                              "Checking signature, device provisioning, and APNs environment",
                              "Encrypting build for your group", "Uploading encrypted build"}));
        EXPECT_EQ(names(work(built.job)), kept);
        EXPECT_EQ(state(id), "installing");

        API::Claim received = claim(receiver);
        ASSERT_EQ(received.job["id"].text(), id);
        std::vector<std::string> installing;
        {
            As as(receiver);
            JSON before = simulate({"status"});
            std::string earlier;
            for (const JSON& installed : before["installs"].items()) {
                earlier = installed["installed_at"].pretty();
            }
            // The phone stamps installs to the second; a day on, a new install cannot share
            // the earlier one's time.
            simulate({"clock", "advance", "1"});
            EXPECT_EQ(failure([&] {
                          BuildPipeline::install(received.job, received.lease,
                                                 receiver.credentials, *receiver.api,
                                                 [&](const std::string& text) {
                                                     installing.push_back(text);
                                                 });
                      }),
                      "no error");
            JSON world = simulate({"status"});
            const auto& installs = world["installs"].items();
            const auto& launches = world["launches"].items();
            ASSERT_EQ(installs.size(), 1u);
            EXPECT_EQ(installs.back()["bundle_id"].text(), "dev.zuq.SampleApp");
            EXPECT_EQ(installs.back()["udid"].text(), registered);
            EXPECT_NE(installs.back()["installed_at"].pretty(), earlier) << "installed again";
            ASSERT_EQ(launches.size(), before["launches"].items().size() + 1);
            EXPECT_EQ(launches.back()["bundle_id"].text(), "dev.zuq.SampleApp");
        }
        EXPECT_EQ(installing, (std::vector<std::string>{
                                  "Downloading and decrypting build",
                                  "Installing on Test iPhone. Keep the device unlocked.",
                                  "Launching dev.zuq.SampleApp"}));
        EXPECT_EQ(names(receiver.state / "Jobs" / id / "Receive"),
                  std::vector<std::string>{"install.log"});
        EXPECT_EQ(state(id), "succeeded");
    }
}

// A relay could send a mode this Mac does not know; neither side starts anything for it.
TEST_F(BuildJobTest, AJobInAnUnknownModeIsRefusedBeforeAnyWork) {
    submit();
    API::Claim claimed = claim(builder);
    JSON::Object wanted = claimed.job["spec"].fields();
    wanted["mode"] = "release";
    JSON::Object changed = claimed.job.fields();
    changed["spec"] = JSON(wanted);
    claimed.job = JSON(changed);
    {
        As as(builder);
        EXPECT_EQ(build(claimed), "Unsupported deployment mode");
    }
    EXPECT_FALSE(fs::exists(work(claimed.job)));
    As as(receiver);
    EXPECT_EQ(failure([&] {
                  BuildPipeline::install(claimed.job, claimed.lease, receiver.credentials,
                                         *receiver.api, [](const std::string&) {});
              }),
              "Unsupported deployment mode");
    EXPECT_FALSE(fs::exists(receiver.state / "Jobs" / claimed.job["id"].text()));
}

TEST_F(BuildJobTest, FailuresKeepTheLogAndDropTheTemporaries) {
    struct Case {
        const char* name;
        std::function<void(const std::string& id)> before; // as the builder, after the claim
        std::string scheme;
        std::string expected; // the message, or its start when it ends with "…"
        std::vector<std::string> left;
        std::size_t eventCount;
    };
    const Case cases[] = {
        {"scheme not registered", {}, "SampleWidget",
         "Scheme/configuration is not allowed by this Mac's registered project. Refresh the "
         "project registration.",
         {"ExportOptions.plist"}, 1},
        {"archive fails", [&](const std::string&) { simulate({"next-build", "fail"}); },
         "SampleApp", "xcrun failed (65): …", {"ExportOptions.plist", "build.log"}, 1},
        {"cancelled while archiving",
         [&](const std::string& id) { builder.api->cancel(id); }, "SampleApp",
         "Job stopped: cancelled", {"App.xcarchive", "ExportOptions.plist", "build.log"}, 1},
        {"project no longer registered",
         [&](const std::string&) { ProjectStore::remove(project.id); }, "SampleApp",
         "Project is no longer registered on this Mac", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        submit("adhoc", "Release", c.scheme);
        API::Claim claimed = claim(builder);
        if (c.before) {
            As as(builder);
            c.before(claimed.job["id"].text());
        }
        std::string message;
        {
            As as(builder);
            message = build(claimed);
        }
        if (c.expected.ends_with("…")) {
            std::string start = c.expected.substr(0, c.expected.size() - 3);
            EXPECT_EQ(message.rfind(start, 0), 0u) << message;
            EXPECT_TRUE(message.ends_with("\nFull log: " + (work(claimed.job) / "build.log").string()))
                << message;
        } else {
            EXPECT_EQ(message, c.expected);
        }
        EXPECT_EQ(names(work(claimed.job)), c.left);
        EXPECT_EQ(events.size(), c.eventCount);
        As as(builder);
        ProjectStore::upsert(project);
    }
}

TEST_F(BuildJobTest, CancellingStopsTheBuildAndWhatItStarted) {
    enum class How { cancel, stop };
    struct Case {
        const char* name;
        const char* hang;
        How how;
        int status;
    };
    const Case cases[] = {
        {"cancelled", "hang", How::cancel, 15},
        {"stopped, ignoring SIGTERM", "hang-ignoring-term", How::stop, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        submit();
        API::Claim claimed = claim(builder);
        std::string id = claimed.job["id"].text();
        std::vector<pid_t> pids;
        As as(builder);
        simulate({"next-build", c.hang});
        std::stop_source source;
        auto building = std::async(std::launch::async, [&] { return build(claimed, source.get_token()); });
        bool hung = eventually([&] {
            pids.clear();
            TestSupport::Output status =
                TestSupport::run(TestSupport::binaryDirectory() / "apple-sim", {"status"});
            JSON world = JSON::decode(status.out);
            for (const JSON& process : world["processes"].items()) {
                pids.push_back(static_cast<pid_t>(process["pid"].integer()));
            }
            return pids.size() == 3; // the build and its two compiler helpers
        });
        if (!hung) {
            source.request_stop();
            FAIL() << "the build did not hang: " << building.get();
        }
        builder.api->cancel(id);
        if (c.how == How::cancel) {
            ProcessRunner::cancel(id);
        } else {
            source.request_stop();
        }
        std::string message = building.get();
        EXPECT_EQ(message.rfind("xcrun failed (" + std::to_string(c.status) + "): ", 0), 0u)
            << message;
        for (pid_t pid : pids) {
            EXPECT_TRUE(eventually([&] { return processEnded(pid); })) << "process " << pid << " lives on";
        }
        EXPECT_EQ(names(work(claimed.job)), (std::vector<std::string>{"ExportOptions.plist", "build.log"}));
    }
}

// The relay's part played by a scripted server, for uploads that fail.
class UploadTest : public JobTest {
protected:
    // A job as a claim hands it out, for the sample project.
    JSON job() {
        return JSON::object({{"id", id},
                             {"receiver_id", receiver.credentials.deviceID},
                             {"spec", JSON::object({{"project_id", project.id},
                                                    {"scheme", "SampleApp"},
                                                    {"configuration", "Release"},
                                                    {"mode", "adhoc"},
                                                    {"udid", registered}})}});
    }

    // Answers the state check with "building", fails the first `failures` uploads with 502 and
    // accepts the finish report.
    void script(int failures) {
        scripted = std::make_unique<TestSupport::ScriptedRelay>();
        scripted->server.Get("/v1/jobs/" + id, [](const httplib::Request&, httplib::Response& response) {
            response.set_content(R"({"state":"building"})", "application/json");
        });
        scripted->server.Put("/v1/jobs/" + id + "/artifact",
                            [this, failures](const httplib::Request&, httplib::Response& response) {
                                if (++uploads <= failures) {
                                    response.status = 502;
                                    response.set_content("<html>Bad Gateway</html>", "text/html");
                                } else {
                                    response.set_content(R"({"ok":true})", "application/json");
                                }
                            });
        scripted->answer("POST", "/v1/jobs/" + id + "/finish-build", 200, "{}");
        scripted->start();
    }

    // The requests the scripted server received, in order.
    std::vector<std::string> requests() {
        std::vector<std::string> result;
        for (const auto& request : scripted->requests()) {
            result.push_back(request.method + " " + request.path);
        }
        return result;
    }

    std::string build(std::stop_token stop = {}) {
        As as(builder);
        API api(scripted->origin(), builder.credentials);
        return failure([&] {
            BuildPipeline::build(job(), "lease", builder.credentials, api,
                                 [](const std::string&) {}, stop);
        });
    }

    const std::string id = "0b5e3f6a-7c1d-4e2f-8a9b-1c2d3e4f5a6b";
    std::atomic<int> uploads = 0;
    std::unique_ptr<TestSupport::ScriptedRelay> scripted;
};

TEST_F(UploadTest, AnUploadIsTriedFourTimesFiveSecondsApart) {
    struct Case {
        int failures;
        std::string expected;
        int attempts;
        bool finished;
    };
    const Case cases[] = {{2, "no error", 3, true}, {4, "Relay returned HTTP 502", 4, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failures);
        uploads = 0;
        script(c.failures);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(build(), c.expected);
        EXPECT_GE(std::chrono::steady_clock::now() - start, (c.attempts - 1) * 5s);
        std::vector<std::string> expected{"GET /v1/jobs/" + id, "GET /v1/jobs/" + id};
        for (int i = 0; i < c.attempts; ++i) {
            expected.push_back("PUT /v1/jobs/" + id + "/artifact");
        }
        if (c.finished) {
            expected.push_back("POST /v1/jobs/" + id + "/finish-build");
        }
        EXPECT_EQ(requests(), expected);
        EXPECT_EQ(names(builder.state / "Jobs" / id), kept);
    }
}

TEST_F(UploadTest, AStopEndsTheWaitBeforeTheNextAttempt) {
    script(4);
    std::stop_source source;
    auto building = std::async(std::launch::async, [&] { return build(source.get_token()); });
    ASSERT_TRUE(eventually([&] { return uploads >= 1; }));
    source.request_stop();
    EXPECT_EQ(building.get(), CancellationError().what());
    EXPECT_EQ(uploads, 1);
}

} // namespace
