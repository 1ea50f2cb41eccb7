#include "Comparison.hpp"

#include "ArtifactCrypto.hpp"
#include "Platform/File.hpp"
#include "Platform/Text.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* phone = "00008130-0011223344556677";
constexpr const char* projectID = "7d3c6a8e-1f52-4b7a-9c0e-2a4b6c8d0e1f";

// A tools directory whose every tool records when it starts and ends, then runs the
// simulator's: where the Apple tools' time goes, seen from the runner.
fs::path timedTools(const fs::path& work, const fs::path& simulator) {
    fs::path tools = work / "timed-tools";
    fs::create_directories(tools);
    for (const auto& entry : fs::directory_iterator(simulator)) {
        Platform::atomicWrite(tools / entry.path().filename(),
                              "#!/bin/sh\n"
                              "echo \"start $(date +%s.%N)\" >> \"$ZUQ_BENCH_TOOL_LOG\"\n\"" +
                                  entry.path().string() +
                                  "\" \"$@\"\nstatus=$?\n"
                                  "echo \"end $(date +%s.%N)\" >> \"$ZUQ_BENCH_TOOL_LOG\"\n"
                                  "exit $status\n",
                              0755);
    }
    return tools;
}

// The tool intervals of one run. Tools run one at a time, so each end closes the last start.
std::vector<std::pair<double, double>> toolIntervals(const fs::path& log) {
    std::vector<std::pair<double, double>> intervals;
    std::istringstream lines(Platform::readFile(log));
    std::string word;
    double time = 0, start = 0;
    while (lines >> word >> time) {
        if (word == "start") {
            start = time;
        } else {
            intervals.emplace_back(start, time);
        }
    }
    return intervals;
}

double eventTime(const JSON& run, const std::string& prefix) {
    for (const JSON& event : run["events"].items()) {
        if (event["text"].text().starts_with(prefix)) {
            return event["time"].number();
        }
    }
    throw std::runtime_error("No event " + prefix);
}

} // namespace

Comparison::Comparison(std::string relay, fs::path bootstrap, fs::path work)
    : relay_(std::move(relay)), bootstrap_(std::move(bootstrap)), work_(std::move(work)),
      self_(fs::read_symlink("/proc/self/exe")), bin_(self_.parent_path()) {}

void Comparison::setUp() {
    fs::create_directories(work_);
    fs::path tools = timedTools(work_, bin_ / "apple-tools");
    std::string key = ArtifactCrypto::newKey();
    API anonymous(relay_, std::nullopt);
    std::string secret(Platform::trimWhitespace(Platform::readFile(bootstrap_)));
    builder_ = enrol("builder", anonymous.createGroup("Bench", "Builder", secret), key, tools);
    receiver_ = enrol("receiver", anonymous.join(builder_.api->createInvite()["code"], "Receiver"),
                      key, tools);
    simulate(builder_, {"setup"});
    simulate(builder_, {"register-device", phone});
    simulate(builder_, {"timing", "instant"});
    simulate(receiver_, {"attach-phone", "--udid", phone, "--name", "Bench iPhone"});
    simulate(receiver_, {"timing", "instant"});
    fs::path workspace =
        fs::path(ZUQ_SOURCE_DIRECTORY) / "Tools/AppleSim/SampleApp/SampleApp.xcworkspace";
    JSON project = JSON::object({{"id", projectID},
                                 {"name", "SampleApp"},
                                 {"path", workspace.string()},
                                 {"schemes", JSON::strings({"SampleApp"})},
                                 {"configurations", JSON::strings({"Debug", "Release"})},
                                 {"teamID", "ZUQSIMTEAM"},
                                 {"automaticSigning", true}});
    Platform::createDirectories(builder_.state, 0700);
    Platform::atomicWrite(builder_.state / "projects.json", JSON::array({project}).pretty());
    heartbeat_ = std::jthread([this](std::stop_token stop) { heartbeats(stop); });
}

void Comparison::hold(Mac& on, const API::Claim& claimed) {
    std::lock_guard lock(leasesMutex_);
    on.leases.push_back({claimed.job["id"].text(), claimed.lease});
    // Only the latest matter; the relay ignores leases of ended jobs.
    if (on.leases.size() > 4) {
        on.leases.erase(on.leases.begin());
    }
}

void Comparison::heartbeats(std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wakeUp;
    std::unique_lock wait(mutex);
    while (true) {
        wakeUp.wait_for(wait, stop, std::chrono::seconds(5), [] { return false; });
        if (stop.stop_requested()) {
            return;
        }
        for (Mac* mac : {&builder_, &receiver_}) {
            std::vector<API::HeldLease> leases;
            {
                std::lock_guard lock(leasesMutex_);
                leases = mac->leases;
            }
            try {
                mac->api->heartbeat(JSON::object(), leases);
            } catch (const std::exception& error) {
                std::fprintf(stderr, "heartbeat of %s: %s\n", mac->name.c_str(), error.what());
            }
        }
    }
}

Comparison::Mac Comparison::enrol(const std::string& name, const JSON& answer,
                                  const std::string& key, const fs::path& tools) {
    Mac mac;
    mac.name = name;
    mac.home = work_ / name;
    mac.state = mac.home / "state";
    mac.credentials = Credentials::fromResponse(relay_, answer, name, key);
    mac.api.emplace(mac.credentials);
    mac.credentialsFile = work_ / (name + ".credentials");
    fs::create_directories(mac.home / "tmp");
    Platform::atomicWrite(mac.credentialsFile, mac.credentials.encode());
    mac.environment = Measure::environment({{"HOME", mac.home.string()},
                                            {"ZUQ_STATE_DIR", mac.state.string()},
                                            {"ZUQ_TOOLS_DIR", tools.string()},
                                            {"TMPDIR", (mac.home / "tmp").string()},
                                            {"ZUQ_BENCH_TOOL_LOG", toolLog().string()}});
    return mac;
}

void Comparison::simulate(const Mac& on, std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), (bin_ / "apple-sim").string());
    Measure::run(arguments, on.environment);
}

std::string Comparison::submit() {
    return builder_.api
        ->submit({builder_.credentials.deviceID, receiver_.credentials.deviceID, projectID,
                  "SampleApp", "Release", DeploymentMode::adhoc, phone})["id"]
        .text();
}

API::Claim Comparison::claim(Mac& on) {
    std::optional<API::Claim> claimed = on.api->claim();
    if (!claimed) {
        throw std::runtime_error(on.name + " has no job to claim");
    }
    hold(on, *claimed);
    return *claimed;
}

JSON Comparison::pipeline(Mac& on, const std::string& side, Intervals& tools) {
    API::Claim claimed = claim(on);
    fs::path claimFile = work_ / (on.name + ".claim");
    Platform::atomicWrite(claimFile,
                          JSON::object({{"job", claimed.job}, {"lease", claimed.lease}}).data());
    fs::remove(toolLog());
    ::sync();
    Figures figures = Measure::run(
        {self_.string(), "pipeline", side, on.credentialsFile.string(), claimFile.string()},
        on.environment);
    tools = toolIntervals(toolLog());
    JSON::Object run = JSON::decode(figures.out).fields();
    run["wall"] = figures.wall;
    return run;
}

void Comparison::round(const std::string& size, bool standardFirst) {
    simulate(builder_, {"next-build", "payload", size});
    std::string id = submit();
    Intervals built, installed;
    JSON build = pipeline(builder_, "build", built);
    JSON install = pipeline(receiver_, "install", installed);
    auto& rows = results_[size];
    for (const auto& [name, run] : {std::pair{"build", &build}, {"install", &install}}) {
        rows[std::string("whole ") + name].push_back(Figures{
            (*run)["wall"].number(), (*run)["self"]["user"].number(),
            (*run)["self"]["system"].number(), (*run)["self"]["peak_mib"].number(), {}});
        rows[std::string("whole ") + name + ": its tools"].push_back(
            Figures{0, (*run)["tools"]["user"].number(), (*run)["tools"]["system"].number(), 0, {}});
    }

    // Stages that hold no tool: between an event and the nearest tool the shims saw.
    double encrypting = eventTime(build, "Encrypting"), uploading = eventTime(build, "Uploading");
    double lastTool = build["start"].number();
    for (const auto& [start, end] : built) {
        if (end <= encrypting) {
            lastTool = std::max(lastTool, end);
        }
    }
    double downloading = eventTime(install, "Downloading");
    double firstTool = install["end"].number();
    for (const auto& [start, end] : installed) {
        if (start >= downloading) {
            firstTool = std::min(firstTool, start);
        }
    }
    rows["in pipeline: digest"].push_back(Figures{encrypting - lastTool, 0, 0, 0, {}});
    rows["in pipeline: pack+encrypt"].push_back(Figures{uploading - encrypting, 0, 0, 0, {}});
    rows["in pipeline: upload"].push_back(
        Figures{build["end"].number() - uploading, 0, 0, 0, {}});
    rows["in pipeline: download+decrypt+unpack"].push_back(
        Figures{firstTool - downloading, 0, 0, 0, {}});

    alone(size, builder_.state / "Jobs" / id / "Export" / "SampleApp.ipa", standardFirst);
}

void Comparison::pair(const std::string& size, const std::string& stage,
                      const std::vector<std::string>& zuq,
                      const std::vector<std::vector<std::string>>& standard, bool standardFirst) {
    auto ours = [&] {
        ::sync();
        results_[size]["zuq " + stage].push_back(Measure::run(zuq, Measure::environment({})));
    };
    auto theirs = [&] {
        Figures sum;
        for (const auto& command : standard) {
            ::sync();
            Figures one = Measure::run(command, Measure::environment({}));
            sum.wall += one.wall;
            sum.user += one.user;
            sum.system += one.system;
            sum.peak = std::max(sum.peak, one.peak);
        }
        results_[size]["standard " + stage].push_back(sum);
    };
    if (standardFirst) {
        theirs();
        ours();
    } else {
        ours();
        theirs();
    }
}

void Comparison::alone(const std::string& size, const fs::path& ipa, bool standardFirst) {
    fs::path d = work_ / "alone";
    fs::remove_all(d);
    fs::create_directories(d);
    std::string stage = self_.string(), key = builder_.credentials.encryptionKey;
    submit();
    API::Claim building = claim(builder_);
    std::string id = building.job["id"].text();
    std::string url = relay_ + "/v1/jobs/" + id + "/artifact";
    auto curl = [&](const Mac& as, const std::string& lease, std::vector<std::string> more) {
        std::vector<std::string> command{"curl", "-sS", "-f", "-H",
                                         "Authorization: " + as.credentials.authorization(), "-H",
                                         "X-ZUQ-Lease: " + lease};
        command.insert(command.end(), more.begin(), more.end());
        command.push_back(url);
        return command;
    };
    std::string digest = ArtifactCrypto::sha256(ipa);
    auto dgst = [](const fs::path& file) {
        return std::vector<std::string>{"openssl", "dgst", "-sha256", file.string()};
    };
    auto cp = [](const fs::path& from, const fs::path& to) {
        return std::vector<std::string>{"cp", from.string(), to.string()};
    };

    pair(size, "digest", {stage, "stage", "sha256", ipa.string()}, {dgst(ipa)}, standardFirst);
    pair(size, "pack", {stage, "stage", "package", ipa.string(), (d / "Build.zuqpkg").string(), digest},
         {cp(ipa, d / "copy.pkg")}, standardFirst);
    pair(size, "encrypt",
         {stage, "stage", "encrypt", (d / "Build.zuqpkg").string(), (d / "Build.zuq").string(), key, id},
         {cp(d / "Build.zuqpkg", d / "copy.zuq")}, standardFirst);
    fs::remove(d / "copy.pkg");
    fs::remove(d / "copy.zuq");

    std::string encryptedDigest = ArtifactCrypto::sha256(d / "Build.zuq");
    pair(size, "upload",
         {stage, "stage", "upload", builder_.credentialsFile.string(), id, building.lease,
          (d / "Build.zuq").string()},
         {dgst(d / "Build.zuq"),
          curl(builder_, building.lease,
               {"-H", "X-ZUQ-SHA256: " + encryptedDigest, "-H",
                "Content-Type: application/octet-stream", "-T", (d / "Build.zuq").string()})},
         standardFirst);
    builder_.api->finishBuild(id, building.lease, JSON::object());
    API::Claim receiving = claim(receiver_);
    pair(size, "download",
         {stage, "stage", "download", receiver_.credentialsFile.string(), id, receiving.lease,
          (d / "Downloaded.zuq").string(), encryptedDigest},
         {curl(receiver_, receiving.lease, {"-o", (d / "copy.zuq").string()}),
          dgst(d / "copy.zuq")},
         standardFirst);
    builder_.api->cancel(id);
    fs::remove(d / "Downloaded.zuq");
    fs::remove(d / "copy.zuq");

    pair(size, "decrypt",
         {stage, "stage", "decrypt", (d / "Build.zuq").string(), (d / "Decrypted.zuqpkg").string(), key, id},
         {cp(d / "Build.zuq", d / "copy.pkg")}, standardFirst);
    pair(size, "unpack",
         {stage, "stage", "unpack", (d / "Decrypted.zuqpkg").string(), (d / "App.ipa").string()},
         {cp(d / "Decrypted.zuqpkg", d / "copy.ipa"), dgst(d / "copy.ipa")}, standardFirst);
    fs::remove_all(d);
}

bool Comparison::report(const std::vector<std::string>& sizes) const {
    bool met = true;
    auto line = [](const std::string& name, double wall, double user, double system) {
        std::printf("  %-40s %8.3f %8.3f %8.3f\n", name.c_str(), wall, user, system);
    };
    auto goal = [&](const std::string& text, double value, double limit) {
        bool ok = value <= limit;
        met &= ok;
        std::printf("  %-60s %7.3f  goal <= %.2f  %s\n", text.c_str(), value, limit,
                    ok ? "met" : "MISSED");
    };
    for (const std::string& size : sizes) {
        const auto& rows = results_.at(size);
        auto wall = [&](const std::string& row) { return Measure::median(rows.at(row), &Figures::wall); };
        std::printf("\npayload %s: median of %zu runs (seconds)\n", size.c_str(),
                    rows.at("whole build").size());
        std::printf("  %-40s %8s %8s %8s\n", "", "wall", "user", "sys");
        for (const auto& [name, figures] : rows) {
            line(name, Measure::median(figures, &Figures::wall),
                 Measure::median(figures, &Figures::user),
                 Measure::median(figures, &Figures::system));
        }
        std::printf("\n");
        for (const char* stage : {"digest", "pack", "encrypt", "upload", "download", "decrypt", "unpack"}) {
            goal(std::string("alone: zuq ") + stage + " / standard, wall",
                 wall(std::string("zuq ") + stage) / wall(std::string("standard ") + stage), 1.3);
        }
        const std::pair<const char*, std::vector<const char*>> inPipeline[] = {
            {"digest", {"digest"}},
            {"pack+encrypt", {"pack", "encrypt"}},
            {"upload", {"upload"}},
            {"download+decrypt+unpack", {"download", "decrypt", "unpack"}},
        };
        double ours = 0, theirs = 0;
        for (const auto& [stage, passes] : inPipeline) {
            double standard = 0;
            for (const char* pass : passes) {
                standard += wall(std::string("standard ") + pass);
            }
            double zuq = wall(std::string("in pipeline: ") + stage);
            ours += zuq;
            theirs += standard;
            goal(std::string("in pipeline: ") + stage + " / standard passes, wall", zuq / standard,
                 1.3);
        }
        goal("in pipeline: all stages / all standard passes, wall", ours / theirs, 1.3);
        for (const char* side : {"whole build", "whole install"}) {
            double peak = 0;
            for (const Figures& figures : rows.at(side)) {
                peak = std::max(peak, figures.peak);
            }
            goal(std::string(side) + ": zuq's peak resident memory, MiB", peak, 64);
        }
    }
    std::printf("\n%s\n", met ? "all goals met" : "some goals missed");
    return met;
}
