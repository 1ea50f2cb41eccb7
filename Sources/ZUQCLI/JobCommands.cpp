// run, jobs, job, logs and cancel, and waiting for a job to end.
#include "Commands.hpp"
#include "Platform/File.hpp"
#include "Platform/Random.hpp"
#include "ZUQCLI.hpp"

#include <chrono>
#include <system_error>
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
    JSON submitted = invocation.relay().submit(
        {builder, receiver, project, scheme, configuration, mode, udid});
    if (!arguments.flag("--wait")) {
        return submitted;
    }
    std::string id = submitted["id"].text();
    return ZUQCLI::wait(invocation.relay(), id, ZUQCLI::timeout(arguments), false);
}

Result jobs(Invocation& invocation) {
    return invocation.relay().jobs();
}

Result job(Invocation& invocation) {
    return invocation.relay().job(jobID(invocation));
}

Result logs(Invocation& invocation) {
    const std::string& id = jobID(invocation);
    if (invocation.arguments.flag("--follow")) {
        return ZUQCLI::wait(invocation.relay(), id, ZUQCLI::timeout(invocation.arguments), true);
    }
    return invocation.relay().events(id);
}

Result cancel(Invocation& invocation) {
    return invocation.relay().cancel(jobID(invocation));
}

} // namespace Commands

namespace ZUQCLI {

namespace {

// Event lines go out as they arrive, unbuffered, so a follower sees progress live. A closed
// standard error does not end the wait.
void printEvent(const std::string& message) {
    try {
        Platform::writeAll(STDERR_FILENO, message + "\n", "standard error");
    } catch (const std::system_error&) {
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
            JSON page = api.events(id, cursor);
            for (const JSON& event : page["events"].items()) {
                cursor = std::max(cursor, event["id"].integer());
                printEvent(event["message"].text());
            }
        }
        JSON job = api.job(id);
        const std::string& stateText = job["state"].text();
        auto state = Protocol::jobState(stateText);
        if (state == Protocol::JobState::succeeded) {
            return job;
        }
        if (state && Protocol::isTerminal(*state)) {
            throw ZUQError("Job " + id + " " + stateText + ": " + job["error"].text());
        }
        std::this_thread::sleep_for(std::chrono::seconds(3));
    }
}

} // namespace ZUQCLI
