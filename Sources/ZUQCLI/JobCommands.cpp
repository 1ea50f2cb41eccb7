// run, jobs, job, logs and cancel, and waiting for a job to end.
#include "Commands.hpp"
#include "Platform/Random.hpp"
#include "ZUQCLI.hpp"

#include <cerrno>
#include <chrono>
#include <thread>
#include <unistd.h>

namespace Commands {

namespace {

// The job identifier of job, logs and cancel: exactly one, and a UUID; sent as typed.
const std::string& jobID(const Invocation& invocation) {
    const auto& words = invocation.arguments.positional;
    if (words.size() != 2 || !Platform::isUUID(words[1])) {
        throw ZUQError("Provide a valid job UUID");
    }
    return words[1];
}

std::string jobPath(const std::string& id) {
    return "/v1/jobs/" + id;
}

} // namespace

Result run(Invocation& invocation) {
    const Arguments& arguments = invocation.arguments;
    std::string mode = arguments.value("--mode").value_or("adhoc");
    if (mode != "adhoc" && mode != "debug") {
        throw ZUQError("Mode must be adhoc or debug");
    }
    // Checked in this order, so the first missing option is the one reported.
    std::string builder = arguments.value("--builder").value_or(invocation.enrolled().deviceID);
    std::string receiver = arguments.require("--receiver");
    std::string project = arguments.require("--project");
    std::string scheme = arguments.require("--scheme");
    std::string configuration =
        arguments.value("--configuration").value_or(mode == "adhoc" ? "Release" : "Debug");
    std::string udid = arguments.require("--device");
    JSON submitted = invocation.relay().call("POST", "/v1/jobs",
                                             JSON::object({
                                                 {"builder_id", builder},
                                                 {"receiver_id", receiver},
                                                 {"project_id", project},
                                                 {"scheme", scheme},
                                                 {"configuration", configuration},
                                                 {"mode", mode},
                                                 {"udid", udid},
                                             }));
    if (!arguments.flag("--wait")) {
        return submitted;
    }
    std::string id = submitted["id"].text();
    return ZUQCLI::wait(invocation.relay(), id, ZUQCLI::timeout(arguments), false);
}

Result jobs(Invocation& invocation) {
    return invocation.relay().call("GET", "/v1/jobs");
}

Result job(Invocation& invocation) {
    return invocation.relay().call("GET", jobPath(jobID(invocation)));
}

Result logs(Invocation& invocation) {
    const std::string& id = jobID(invocation);
    if (invocation.arguments.flag("--follow")) {
        return ZUQCLI::wait(invocation.relay(), id, ZUQCLI::timeout(invocation.arguments), true);
    }
    return invocation.relay().call("GET", jobPath(id) + "/events");
}

Result cancel(Invocation& invocation) {
    return invocation.relay().call("POST", jobPath(jobID(invocation)) + "/cancel", JSON::object());
}

} // namespace Commands

namespace ZUQCLI {

namespace {

// Event lines go out as they arrive, unbuffered, so a follower sees progress live.
void printEvent(const std::string& message) {
    std::string line = message + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

JSON wait(const API& api, const std::string& id, double timeout, bool follow) {
    using Clock = std::chrono::system_clock;
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(timeout));
    std::int64_t cursor = 0;
    for (;;) {
        if (Clock::now() >= deadline) {
            throw ZUQError("Timed out waiting for job " + id + ". The job continues; use zuq job " +
                           id + " to inspect it.");
        }
        if (follow) {
            JSON page =
                api.call("GET", "/v1/jobs/" + id + "/events?after=" + std::to_string(cursor));
            for (const JSON& event : page["events"].items()) {
                cursor = std::max(cursor, event["id"].integer());
                printEvent(event["message"].text());
            }
        }
        JSON job = api.call("GET", "/v1/jobs/" + id);
        const std::string& state = job["state"].text();
        if (state == "succeeded") {
            return job;
        }
        if (ZUQ::isTerminal(state)) {
            throw ZUQError("Job " + id + " " + state + ": " + job["error"].text());
        }
        std::this_thread::sleep_for(std::chrono::seconds(3));
    }
}

} // namespace ZUQCLI
