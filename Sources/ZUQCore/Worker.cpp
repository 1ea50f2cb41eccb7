#include "Worker.hpp"

#include "BuildPipeline.hpp"
#include "Devices.hpp"
#include "Platform/Random.hpp"
#include "Records.hpp"
#include "RelayError.hpp"
#include "Platform/Text.hpp"
#include "Platform/ToolPaths.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// How often an idle or busy agent beats, and how fresh its phone inventory must be.
constexpr auto pace = std::chrono::seconds(5);
constexpr auto inventoryLifetime = std::chrono::seconds(15);
constexpr int backOffStep = 5;
constexpr int backOffLimit = 30;

// Writes one whole line with a single write where possible, so that lines of the loop and of
// the job thread never interleave; errors are ignored (the log is all there is to tell).
void writeLine(int fd, const std::string& line) {
    std::size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string describe(const std::exception& error) {
    return error.what();
}

double secondsSince1970() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        entries.emplace_back(*entry);
    }
    return entries;
}

} // namespace

namespace {

API::Limits transferLimits(const Worker::Limits& limits) {
    API::Limits result;
    result.largestBuild = limits.largestBuild;
    return result;
}

} // namespace

Worker::Worker(Credentials credentials) : Worker(std::move(credentials), Limits()) {}

Worker::Worker(Credentials credentials, Limits limits)
    : credentials_(std::move(credentials)), limits_(limits),
      api_(credentials_.server, credentials_, transferLimits(limits_)) {}

Worker::~Worker() {
    stop();
    for (;;) {
        std::jthread thread;
        {
            std::lock_guard lock(mutex_);
            if (work_.joinable()) {
                thread = std::move(work_);
            } else if (!ended_.empty()) {
                thread = std::move(ended_.back());
                ended_.pop_back();
            } else {
                break;
            }
        }
        thread.join();
    }
}

// MARK: Loop

void Worker::run() {
    agentLock_.emplace();
    struct Release {
        std::optional<AgentLock>& lock;
        ~Release() { lock.reset(); }
    } release{agentLock_};

    ProcessRunner::ToolRecords records(Paths::directory("Tools"));
    for (const std::string& tool : records.ended()) {
        writeLine(STDERR_FILENO, "ZUQ agent: ended " + tool + ", left running by an agent that was killed\n");
    }
    cleanup();
    int failures = 0;
    for (;;) {
        std::vector<std::jthread> ended;
        {
            std::lock_guard lock(mutex_);
            if (stopped_) {
                return;
            }
            ended.swap(ended_);
        }
        ended.clear(); // joins job threads that have already finished

        refreshInventory();
        try {
            pass();
        } catch (const std::exception& error) {
            std::string description = describe(error);
            ++failures;
            writeStatus(description);
            if (failures == 1) {
                writeLine(STDERR_FILENO, "ZUQ agent: " + description + "\n");
            }
            // A revoked Mac's agent never tries again with its credential.
            if (auto refused = dynamic_cast<const RelayError*>(&error);
                refused && refused->revoked()) {
                stop();
                throw;
            }
            sleep(std::chrono::seconds(std::min(backOffStep * failures, backOffLimit)));
            continue;
        }
        std::optional<std::string> inventoryError;
        {
            std::lock_guard lock(mutex_);
            inventoryError = inventoryError_;
        }
        writeStatus(inventoryError);
        failures = 0;
        sleep(pace);
    }
}

void Worker::refreshInventory() {
    {
        std::lock_guard lock(mutex_);
        if (lastInventory_ && Clock::now() - *lastInventory_ <= inventoryLifetime) {
            return;
        }
    }
    std::vector<JSON> phones;
    std::optional<std::string> error;
    try {
        phones = Devices::list(stopSource_.get_token());
    } catch (const std::exception& failure) {
        error = describe(failure);
    }
    std::lock_guard lock(mutex_);
    phones_ = std::move(phones);
    inventoryError_ = std::move(error);
    lastInventory_ = Clock::now();
}

JSON Worker::inventory() {
    JSON::Array projects;
    for (const Project& project : ProjectStore::load()) {
        projects.push_back(project.json());
    }
    std::lock_guard lock(mutex_);
    JSON::Object others{
        {"client_version", JSON(ZUQ::version)},
        {"platform", "macOS"},
    };
    if (inventoryError_) {
        others.emplace("error", *inventoryError_);
    }
    return fittedInventory(std::move(projects), JSON::Array(phones_), std::move(others));
}

JSON Worker::fittedInventory(JSON::Array projects, JSON::Array phones, JSON::Object others,
                             std::size_t bytes) {
    others.insert_or_assign("projects", JSON::array());
    others.insert_or_assign("phones", JSON::array());
    // The size with both lists empty, and what each item adds with its comma (one too many
    // for each list: a bound, never short).
    std::size_t size = JSON::object(others).data().size();
    auto sizes = [&size](const JSON::Array& items) {
        std::vector<std::size_t> each;
        for (const JSON& item : items) {
            each.push_back(item.data().size() + 1);
            size += each.back();
        }
        return each;
    };
    std::vector<std::size_t> projectSizes = sizes(projects);
    std::vector<std::size_t> phoneSizes = sizes(phones);
    for (auto [items, each] : {std::pair{&projects, &projectSizes}, {&phones, &phoneSizes}}) {
        while (size >= bytes && !items->empty()) {
            size -= each->back();
            each->pop_back();
            items->pop_back();
        }
    }
    others.insert_or_assign("projects", JSON(std::move(projects)));
    others.insert_or_assign("phones", JSON(std::move(phones)));
    return JSON(std::move(others));
}

void Worker::pass() {
    JSON inventory = this->inventory();
    std::optional<RunningJob> running;
    {
        std::lock_guard lock(mutex_);
        running = runningJob_;
    }
    std::vector<API::HeldLease> leases;
    if (running) {
        leases.push_back({running->id, running->token});
    }
    std::vector<API::LeasedJob> jobs = api_.heartbeat(inventory, leases);
    if (running) {
        auto leased = std::find_if(jobs.begin(), jobs.end(), [&](const API::LeasedJob& job) {
            return job.id == running->id;
        });
        if (leased != jobs.end() && leased->state && Protocol::isTerminal(*leased->state)) {
            std::lock_guard lock(mutex_);
            // The job may have ended by itself since the heartbeat was sent.
            if (runningJob_ && runningJob_->id == running->id) {
                ProcessRunner::cancel(running->id);
                work_.request_stop();
            }
        }
        return;
    }
    if (std::optional<API::Claim> claim = api_.claim()) {
        start(claim->job, claim->lease);
    }
}

bool Worker::sleep(Clock::duration duration) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, duration, [this] { return stopped_; });
}

void Worker::stop() noexcept {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    stopSource_.request_stop();
    stopJobLocked();
    wake_.notify_all();
}

void Worker::stopJobLocked() {
    if (runningJob_) {
        ProcessRunner::cancel(runningJob_->id);
    }
    work_.request_stop();
    if (sleepAssertion_) {
        sleepAssertion_->signal(SIGTERM);
    }
}

// MARK: Jobs

void Worker::start(const JSON& job, const std::string& token) {
    JobRecord record = JobRecord::read(job);
    const std::string& id = record.id;
    if (!Platform::isUUID(id)) {
        return;
    }
    bool building = record.state == Protocol::JobState::building;
    if ((building ? record.builderID : record.receiverID) != credentials_.deviceID) {
        return;
    }

    std::lock_guard lock(mutex_);
    if (stopped_) {
        return;
    }
    runningJob_ = RunningJob{id, token};
    try {
        sleepAssertion_.emplace(Platform::ChildProcess::spawn(
            {Platform::toolPath("/usr/bin/caffeinate"),
             {"-i", "-w", std::to_string(::getpid())},
             currentEnvironment(),
             std::nullopt}));
    } catch (const std::exception&) {
        // The job runs without keeping the Mac awake.
        sleepAssertion_.reset();
    }
    work_ = std::jthread([this, job, id, token](std::stop_token stop) {
        execute(job, id, token, stop);
    });
}

void Worker::execute(const JSON& job, const std::string& id, const std::string& token,
                     std::stop_token stop) {
    auto event = [this, &id, &token](const std::string& message) {
        try {
            api_.event(id, token, message);
        } catch (...) {
            // A lost event must not stop the job.
        }
        writeLine(STDOUT_FILENO, "ZUQ " + id + ": " + message + "\n");
    };
    try {
        if (JobRecord::read(job).state == Protocol::JobState::building) {
            BuildPipeline::build(job, token, credentials_, api_, event, stop);
        } else {
            BuildPipeline::install(job, token, credentials_, api_, event, stop,
                                   {.bytes = limits_.largestApp});
        }
    } catch (const std::exception& error) {
        std::string message = Platform::firstCharacters(describe(error), failureCharacters);
        try {
            api_.fail(id, token, message);
        } catch (...) {
            // The relay fails the job itself once its lease lapses.
        }
        writeLine(STDERR_FILENO, "ZUQ " + id + ": " + message + "\n");
    }
    finished();
}

void Worker::finished() {
    {
        std::lock_guard lock(mutex_);
        runningJob_.reset();
        if (work_.joinable()) {
            // Called on the job's own thread, which cannot join itself: the loop joins it.
            ended_.push_back(std::move(work_));
        }
        if (sleepAssertion_) {
            sleepAssertion_->signal(SIGTERM);
            sleepAssertion_.reset();
        }
    }
    writeStatus(std::nullopt);
}

// MARK: Files

void Worker::writeStatus(const std::optional<std::string>& error) {
    // Held across building and writing, so that a later status never loses to an earlier one.
    std::lock_guard writing(statusMutex_);
    try {
        JSON::Object status{
            {"pid", JSON(::getpid())},
            {"updated", JSON(secondsSince1970())},
            {"device_id", JSON(credentials_.deviceID)},
        };
        {
            std::lock_guard lock(mutex_);
            status.emplace("job_id", runningJob_ ? JSON(runningJob_->id) : JSON());
        }
        if (error) {
            status.emplace("error", *error);
        }
        Paths::atomicWrite(JSON(std::move(status)).data(),
                           Paths::directory("") / "agent-status.json");
    } catch (...) {
        // The previous status stays; readers see it age.
    }
}

void Worker::cleanup() {
    try {
        fs::path jobs = Paths::directory("Jobs");
        auto cutOff = fs::file_time_type::clock::now() - jobRetention;
        std::error_code error;
        for (fs::directory_iterator entry(jobs, error), end; !error && entry != end;
             entry.increment(error)) {
            std::error_code ignored;
            auto modified = entry->last_write_time(ignored);
            if (!ignored && modified < cutOff) {
                fs::remove_all(entry->path(), ignored);
            }
        }
    } catch (...) {
        // Old job directories only take space; the agent runs without removing them.
    }
}
