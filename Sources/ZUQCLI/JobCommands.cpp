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
    std::optional<DeploymentMode> mode = deploymentMode(arguments.value("--mode").value_or("adhoc"));
    if (!mode) {
        throw ZUQError("Mode must be adhoc or debug");
    }
    // Checked in this order, so the first missing option is the one reported.
    std::string builder = arguments.value("--builder").value_or(invocation.enrolled().deviceID);
    std::string receiver = arguments.require("--receiver");
    std::string project = arguments.require("--project");
    std::string scheme = arguments.require("--scheme");
    std::string configuration =
        arguments.value("--configuration").value_or(mode == DeploymentMode::adhoc ? "Release" : "Debug");
    std::string udid = arguments.require("--device");
    JSON submitted =
        invocation.relay().submit({builder, receiver, project, scheme, configuration, *mode, udid});
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

// Any member of the group can write event texts, so on a terminal their control characters
// (C0 but newline and tab, DEL, and C1) are shown as \u00XX rather than obeyed: an event must
// not move the cursor, retitle the window or rewrite what the follower already read.
std::string terminalSafe(const std::string& text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    auto escape = [&](unsigned code) {
        shown += "\\u00";
        shown += hex[code >> 4];
        shown += hex[code & 0xF];
    };
    for (std::size_t index = 0; index < text.size(); ++index) {
        auto byte = static_cast<unsigned char>(text[index]);
        auto next = index + 1 < text.size() ? static_cast<unsigned char>(text[index + 1]) : 0u;
        if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F) {
            escape(byte);
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // U+0080 to U+009F in UTF-8.
            escape(next);
            ++index;
        } else {
            shown += static_cast<char>(byte);
        }
    }
    return shown;
}

// Event lines go out as they arrive, unbuffered, so a follower sees progress live. A closed
// standard error does not end the wait. Written to a pipe or a file, a text stays exactly as
// the relay returned it.
void printEvent(const std::string& message) {
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    try {
        Platform::writeAll(STDERR_FILENO, (terminal ? terminalSafe(message) : message) + "\n",
                           "standard error");
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
