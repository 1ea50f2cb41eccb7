// Measures a running zuq-relay.
//
//   relay-benchmark load --relay URL --bootstrap-file PATH [--agents 10000] [--interval 5]
//       [--seconds 60] [--uploads 4 --upload-file PATH --upload-after 10] [--pid PID]
//       [--also URL]
//     Simulated agents heartbeat and claim every interval, each over its own connection,
//     while builds upload; prints requests per second and latency percentiles, and with
//     --pid the relay's context switches and processor time per request in steady load.
//     With --also (a second relay on the same database) every second agent and upload uses it.
//
//   relay-benchmark idle --relay URL --bootstrap-file PATH --pid PID [--agents 10000]
//     Agents that each send one heartbeat over their own connection and then keep it open;
//     prints the relay's resident memory and threads before and while they are held.
//
//   relay-benchmark transfer --relay URL --bootstrap-file PATH --nginx URL --file PATH
//       [--nginx-root DIR] [--runs 3]
//     One build uploaded to and downloaded from the relay, and the same file PUT to and GET
//     from nginx, each timed with the same libcurl client; prints MB/s and the ratios. With
//     --nginx-root (nginx's root directory) the nginx upload is also timed with a flush of
//     the stored file, the guarantee the relay gives before it answers.
//
//   relay-benchmark attack --relay URL --bootstrap-file PATH --pid PID --attack KIND
//       [--seconds 20]
//     A member of another group heartbeats every 100 ms, each time over a new connection,
//     while an attack runs; prints the victim's p50/p99 and failures and the relay's peak
//     resident memory. KIND: join-bodies (strangers holding 1 MiB join bodies on 2,000
//     connections), slow-heads (400 connections that never finish their request's head),
//     group-answers (300 Macs with 250 KiB inventories, their group's list read by 4 members
//     in a loop and asked for by 16 connections that never read it), heavy-heartbeats (32
//     Macs sending heartbeats of 24,000 inventory members in a loop).
#include "AgentLoad.hpp"
#include "BenchmarkClient.hpp"
#include "Platform/Digest.hpp"
#include "Platform/File.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <curl/curl.h>

using namespace RelayBenchmark;

namespace {

constexpr std::size_t devicesPerGroup = 1000;

std::map<std::string, std::string> options(int argc, char** argv) {
    std::map<std::string, std::string> values;
    for (int index = 2; index + 1 < argc; index += 2) {
        values[argv[index]] = argv[index + 1];
    }
    return values;
}

std::string secretFrom(const std::string& path) {
    std::string secret = Platform::readFile(path);
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == ' ')) {
        secret.pop_back();
    }
    return secret;
}

std::string fileSHA(const std::filesystem::path& path) {
    Platform::FileDescriptor file = Platform::openFile(path, O_RDONLY);
    Platform::SHA256 hash;
    std::vector<char> buffer(1 << 20);
    while (std::size_t n = Platform::readFully(file.get(), buffer.data(), buffer.size(), path)) {
        hash.update(buffer.data(), n);
    }
    return hash.hexDigest();
}

// Enrols `count` devices, 1000 to a group, on `threads` connections at once.
std::vector<Device> enrol(const std::string& relay, const std::string& secret, std::size_t count,
                          std::size_t threads, const std::string& prefix) {
    std::vector<Device> devices(count);
    std::atomic<std::size_t> next = 0;
    std::vector<Device> owners;
    Client setup(relay);
    for (std::size_t group = 0; group * devicesPerGroup < count; ++group) {
        owners.push_back(createGroup(setup, secret, prefix + " " + std::to_string(group)));
    }
    std::mutex failureMutex;
    std::string failure;
    std::vector<std::thread> workers;
    for (std::size_t t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            Client client(relay);
            for (std::size_t index; (index = next++) < count;) {
                try {
                    const Device& owner = owners[index / devicesPerGroup];
                    devices[index] =
                        index % devicesPerGroup == 0
                            ? owner
                            : join(client, owner, prefix + " " + std::to_string(index));
                } catch (const std::exception& error) {
                    std::lock_guard lock(failureMutex);
                    failure = error.what();
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    if (!failure.empty()) {
        throw std::runtime_error("enrolment failed: " + failure);
    }
    return devices;
}

struct Percentiles {
    std::size_t count = 0;
    double p50 = 0, p99 = 0, max = 0;
};

Percentiles percentiles(std::vector<double> values) {
    Percentiles result;
    result.count = values.size();
    if (values.empty()) {
        return result;
    }
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
    };
    result.p50 = at(0.50);
    result.p99 = at(0.99);
    result.max = values.back();
    return result;
}

void report(const char* title, const std::vector<Sample>& samples, double from, double to) {
    std::vector<double> heartbeats, claims, all;
    std::size_t failed = 0;
    for (const Sample& sample : samples) {
        if (sample.at < from || sample.at > to) {
            continue;
        }
        (sample.heartbeat ? heartbeats : claims).push_back(sample.milliseconds);
        all.push_back(sample.milliseconds);
        failed += sample.ok ? 0 : 1;
    }
    double span = std::max(to - from, 1e-9);
    Percentiles h = percentiles(heartbeats), c = percentiles(claims), a = percentiles(all);
    std::printf("%s (%.1f s .. %.1f s):\n", title, from, to);
    std::printf("  heartbeats %7.0f/s  p50 %6.2f ms  p99 %6.2f ms  max %7.2f ms\n", h.count / span,
                h.p50, h.p99, h.max);
    std::printf("  claims     %7.0f/s  p50 %6.2f ms  p99 %6.2f ms  max %7.2f ms\n", c.count / span,
                c.p50, c.p99, c.max);
    std::printf("  all        %7.0f/s  p50 %6.2f ms  p99 %6.2f ms  max %7.2f ms  failed %zu\n",
                a.count / span, a.p50, a.p99, a.max, failed);
}

// p99 of every `step` seconds, to show when slow answers happened.
void timeline(const std::vector<Sample>& samples, double step, double end) {
    std::printf("  p99 by %.0f s:", step);
    for (double from = 0; from < end; from += step) {
        std::vector<double> window;
        for (const Sample& sample : samples) {
            if (sample.at >= from && sample.at < from + step) {
                window.push_back(sample.milliseconds);
            }
        }
        std::printf(" %.0f", percentiles(window).p99);
    }
    std::printf(" ms\n");
}

// A job for `device` to build, and the lease of claiming it.
std::pair<std::string, std::string> leasedJob(Client& client, const Device& device) {
    JSON job = client.require("POST", "/v1/jobs",
                              JSON::object({{"builder_id", device.id},
                                            {"receiver_id", device.id},
                                            {"project_id", "P"},
                                            {"scheme", "App"},
                                            {"configuration", "Release"},
                                            {"mode", "adhoc"},
                                            {"udid", "U"}}),
                              {device.authorization()});
    JSON claim = client.require("POST", "/v1/claim", JSON::object(), {device.authorization()});
    if (claim["job"]["id"].text() != job["id"].text()) {
        throw std::runtime_error("the claim did not hand out the new job");
    }
    return {job["id"].text(), claim["lease"].text()};
}

// What a process has spent so far, summed over its threads.
struct ProcessUse {
    long long voluntary = 0, involuntary = 0; // context switches
    double user = 0, system = 0;              // processor seconds
};

ProcessUse processUse(const std::string& pid) {
    ProcessUse use;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + pid + "/task", error)) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("voluntary_ctxt_switches:")) {
                use.voluntary += std::stoll(line.substr(line.find(':') + 1));
            } else if (line.starts_with("nonvoluntary_ctxt_switches:")) {
                use.involuntary += std::stoll(line.substr(line.find(':') + 1));
            }
        }
    }
    // Fields 14 and 15 of stat, after the command name in parentheses, count every thread.
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) {
            use.user = std::stod(field) / static_cast<double>(::sysconf(_SC_CLK_TCK));
        } else if (index == 15) {
            use.system = std::stod(field) / static_cast<double>(::sysconf(_SC_CLK_TCK));
        }
    }
    return use;
}

int load(const std::map<std::string, std::string>& values) {
    std::string relay = values.at("--relay");
    std::string secret = secretFrom(values.at("--bootstrap-file"));
    std::size_t agents = std::stoul(values.count("--agents") ? values.at("--agents") : "10000");
    std::size_t uploads = std::stoul(values.count("--uploads") ? values.at("--uploads") : "0");
    LoadSettings settings;
    settings.interval = std::stod(values.count("--interval") ? values.at("--interval") : "5");
    settings.seconds = std::stod(values.count("--seconds") ? values.at("--seconds") : "60");
    double uploadAfter =
        std::stod(values.count("--upload-after") ? values.at("--upload-after") : "10");
    auto colon = relay.rfind(':');
    settings.port = std::stoi(relay.substr(colon + 1));
    // With a second relay on the same database, every second agent and upload goes to it.
    std::string also = values.count("--also") ? values.at("--also") : relay;
    if (also != relay) {
        settings.alsoPort = std::stoi(also.substr(also.rfind(':') + 1));
    }

    std::fprintf(stderr, "enrolling %zu agents...\n", agents);
    std::vector<Device> devices = enrol(relay, secret, agents, 16, "Agent");
    std::vector<Device> builders = enrol(relay, secret, uploads, 1, "Uploader");
    std::filesystem::path file = uploads ? values.at("--upload-file") : std::string();
    std::string sha = uploads ? fileSHA(file) : std::string();
    std::vector<std::pair<std::string, std::string>> leases;
    Client setup(relay);
    for (const Device& builder : builders) {
        leases.push_back(leasedJob(setup, builder));
    }

    std::atomic<bool> uploading = false;
    std::atomic<bool> finished = false;
    std::vector<double> uploadSeconds(uploads);
    std::vector<std::string> uploadErrors(uploads);
    double uploadsFrom = 0, uploadsTo = 0;
    auto loadStart = std::chrono::steady_clock::now();
    auto sinceStart = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStart).count();
    };
    std::thread conductor([&] {
        if (uploads == 0) {
            return;
        }
        uploading = true;
        std::this_thread::sleep_for(std::chrono::duration<double>(uploadAfter));
        uploadsFrom = sinceStart();
        std::vector<std::thread> senders;
        for (std::size_t index = 0; index < uploads; ++index) {
            senders.emplace_back([&, index] {
                // The uploading Macs are other machines: here they must not take the processor
                // from the simulated agents, whose timing is what is measured.
                ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
                Client client(index % 2 ? also : relay);
                auto [job, lease] = leases[index];
                Answer answer = client.upload("/v1/jobs/" + job + "/artifact", file,
                                              {builders[index].authorization(),
                                               "X-ZUQ-Lease: " + lease, "X-ZUQ-SHA256: " + sha},
                                              uploadSeconds[index]);
                if (answer.status != 200) {
                    uploadErrors[index] = answer.body;
                }
            });
        }
        // The uploaders' agents keep their leases alive meanwhile.
        std::thread beats([&] {
            Client client(relay);
            while (!finished) {
                for (std::size_t index = 0; index < uploads; ++index) {
                    JSON lease = JSON::object(
                        {{"id", leases[index].first}, {"token", leases[index].second}});
                    JSON body = JSON::object(
                        {{"inventory", JSON::object()}, {"leases", JSON::array({lease})}});
                    client.call("POST", "/v1/heartbeat", &body, {builders[index].authorization()});
                }
                for (int i = 0; i < 50 && !finished; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            }
        });
        for (auto& sender : senders) {
            sender.join();
        }
        uploadsTo = sinceStart();
        finished = true;
        beats.join();
        uploading = false;
    });

    std::fprintf(stderr, "running %zu agents for %.0f s (every %.0f s)%s...\n", agents,
                 settings.seconds, settings.interval, uploads ? ", with uploads" : "");
    AgentLoad agentLoad(settings, devices);
    // The relay's use in steady load: from the end of the first interval, as the report.
    std::string pid = values.count("--pid") ? values.at("--pid") : std::string();
    ProcessUse steadyFrom, steadyTo;
    double steadyFromAt = settings.interval;
    std::thread meter([&] {
        if (!pid.empty()) {
            std::this_thread::sleep_for(std::chrono::duration<double>(settings.interval));
            steadyFrom = processUse(pid);
        }
    });
    agentLoad.run(uploading);
    meter.join();
    if (!pid.empty()) {
        steadyTo = processUse(pid);
    }
    conductor.join();

    std::printf("%zu agents, each with its own connection, heartbeat + claim every %.0f s\n",
                agents, settings.interval);
    // The first interval ramps up as agents connect; it is left out.
    report("steady load", agentLoad.samples(), settings.interval, agentLoad.elapsed());
    if (uploads) {
        report("while the uploads ran", agentLoad.samples(), uploadsFrom, uploadsTo);
        auto size = static_cast<double>(std::filesystem::file_size(file));
        for (std::size_t index = 0; index < uploads; ++index) {
            std::printf(
                "  upload %zu: %.0f MiB in %.1f s = %.0f MB/s%s%s\n", index + 1, size / (1 << 20),
                uploadSeconds[index], size / uploadSeconds[index] / 1e6,
                uploadErrors[index].empty() ? "" : "  FAILED: ", uploadErrors[index].c_str());
        }
        std::printf("  all uploads: %.0f MB/s together\n",
                    size * uploads / (uploadsTo - uploadsFrom) / 1e6);
    }
    timeline(agentLoad.samples(), 5, agentLoad.elapsed());
    if (!pid.empty()) {
        double requests = 0;
        for (const Sample& sample : agentLoad.samples()) {
            requests += sample.at >= steadyFromAt ? 1 : 0;
        }
        requests = std::max(requests, 1.0);
        std::printf("relay per request: %.2f context switches (%.2f voluntary); processor per "
                    "1,000 requests %.0f ms (user %.0f, system %.0f)\n",
                    (steadyTo.voluntary + steadyTo.involuntary - steadyFrom.voluntary -
                     steadyFrom.involuntary) /
                        requests,
                    (steadyTo.voluntary - steadyFrom.voluntary) / requests,
                    (steadyTo.user + steadyTo.system - steadyFrom.user - steadyFrom.system) /
                        requests * 1e6,
                    (steadyTo.user - steadyFrom.user) / requests * 1e6,
                    (steadyTo.system - steadyFrom.system) / requests * 1e6);
    }
    std::printf("connection errors %llu, passes started late %llu\n",
                static_cast<unsigned long long>(agentLoad.connectionErrors()),
                static_cast<unsigned long long>(agentLoad.lateStarts()));
    return 0;
}

// A field of /proc/PID/status, in its own unit (kB for memory).
long long processStatus(const std::string& pid, const std::string& field) {
    std::ifstream status("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field + ":")) {
            return std::stoll(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// Reads one answer whose body has a Content-Length from a blocking socket; false when the
// connection ends first.
bool readAnswer(int fd) {
    std::string in;
    char buffer[8192];
    for (;;) {
        std::size_t end = in.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::string head = in.substr(0, end);
            std::transform(head.begin(), head.end(), head.begin(), ::tolower);
            auto at = head.find("content-length:");
            std::size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 15));
            if (in.size() >= end + 4 + length) {
                return head.starts_with("http/1.1 200");
            }
        }
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return false;
        }
        in.append(buffer, static_cast<std::size_t>(n));
    }
}

int idle(const std::map<std::string, std::string>& values) {
    std::string relay = values.at("--relay");
    std::string pid = values.at("--pid");
    std::size_t agents = std::stoul(values.count("--agents") ? values.at("--agents") : "10000");
    Client setup(relay);
    Device device = createGroup(setup, secretFrom(values.at("--bootstrap-file")), "Idle");
    auto colon = relay.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(relay.substr(colon + 1))));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    long long before = processStatus(pid, "VmRSS");
    long long threadsBefore = processStatus(pid, "Threads");
    // A heartbeat of the size an agent sends, so that every connection has read one.
    std::string body =
        JSON::object({{"inventory",
                       JSON::object({{"phones", JSON::array()}, {"pad", std::string(1500, 'x')}})},
                      {"leases", JSON::array()}})
            .data();
    std::string request =
        "POST /v1/heartbeat HTTP/1.1\r\nHost: relay\r\n" + device.authorization() +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body;
    std::vector<int> sockets;
    std::size_t failed = 0;
    for (std::size_t index = 0; index < agents; ++index) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(request.size()) ||
            !readAnswer(fd)) {
            ++failed;
        }
        sockets.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    long long held = processStatus(pid, "VmRSS");
    long long threadsHeld = processStatus(pid, "Threads");
    std::printf("%zu idle agents (%zu failed): relay resident %.1f MiB before, %.1f MiB while "
                "held (%.1f KiB each); threads %lld before, %lld while held\n",
                agents, failed, static_cast<double>(before) / 1024,
                static_cast<double>(held) / 1024,
                static_cast<double>(held - before) / static_cast<double>(agents), threadsBefore,
                threadsHeld);
    for (int fd : sockets) {
        ::close(fd);
    }
    return failed == 0 ? 0 : 1;
}

// A blocking socket connected to the relay at `origin`, or -1.
int connectTo(const std::string& origin) {
    auto colon = origin.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(origin.substr(colon + 1))));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// Keeps `count` connections open that each sent `opening` and then stay silent, with `reopen`
// opening a new one whenever the relay closes one, until `stop`.
void holdConnections(const std::string& relay, std::size_t count, const std::string& opening,
                     const std::atomic<bool>& stop, bool reopen = true) {
    bool opened = false;
    std::vector<int> held(count, -1);
    while (!stop) {
        for (int& fd : held) {
            pollfd watch{fd, POLLIN, 0};
            if (fd >= 0 && ::poll(&watch, 1, 0) == 1) {
                // Answered (refused) or closed by the relay: of no further use.
                ::close(fd);
                fd = -1;
            }
            if (fd < 0 && !stop && (reopen || !opened)) {
                fd = connectTo(relay);
                if (fd >= 0 && !sendAll(fd, opening)) {
                    ::close(fd);
                    fd = -1;
                }
            }
        }
        opened = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (int fd : held) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

std::string heartbeatRequest(const Device& device, const std::string& body) {
    return "POST /v1/heartbeat HTTP/1.1\r\nHost: relay\r\n" + device.authorization() +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

int attack(const std::map<std::string, std::string>& values) {
    std::string relay = values.at("--relay");
    std::string secret = secretFrom(values.at("--bootstrap-file"));
    std::string pid = values.at("--pid");
    std::string kind = values.at("--attack");
    double seconds = std::stod(values.count("--seconds") ? values.at("--seconds") : "20");
    Client setup(relay);
    Device victim = createGroup(setup, secret, "Victim");
    JSON beat = JSON::object(
        {{"inventory", JSON::object({{"phones", JSON::array()}})}, {"leases", JSON::array()}});
    long long before = processStatus(pid, "VmRSS");

    std::atomic<bool> stop = false;
    std::atomic<std::size_t> attackersServed = 0;
    std::vector<std::thread> attackers;
    if (kind == "join-bodies") {
        std::string opening = "POST /v1/join HTTP/1.1\r\nHost: relay\r\nContent-Type: "
                              "application/json\r\nContent-Length: 1048576\r\n\r\n{\"code\":\"" +
                              std::string(1'000'000, 'x');
        for (int t = 0; t < 4; ++t) {
            attackers.emplace_back(
                [&, opening] { holdConnections(relay, 500, opening, stop, false); });
        }
    } else if (kind == "slow-heads") {
        for (int t = 0; t < 4; ++t) {
            attackers.emplace_back(
                [&] { holdConnections(relay, 100, "POST /v1/heartbeat HTTP/1.1\r\n", stop); });
        }
    } else if (kind == "group-answers") {
        std::vector<Device> macs = enrol(relay, secret, 300, 4, "Crowd");
        JSON::Object notes;
        for (int i = 0; i < 250; ++i) {
            notes.emplace("note " + std::to_string(i), std::string(1000, 'n'));
        }
        JSON big = JSON::object({{"inventory", JSON::object({{"phones", JSON::array()},
                                                             {"notes", JSON(std::move(notes))}})},
                                 {"leases", JSON::array()}});
        for (const Device& mac : macs) {
            setup.require("POST", "/v1/heartbeat", big, {mac.authorization()});
        }
        for (int t = 0; t < 4; ++t) {
            attackers.emplace_back([&, member = macs[static_cast<std::size_t>(t)]] {
                Client reader(relay);
                while (!stop) {
                    try {
                        if (reader.call("GET", "/v1/group", nullptr, {member.authorization()})
                                .status == 200) {
                            ++attackersServed;
                        }
                    } catch (const std::exception&) {
                    }
                }
            });
        }
        std::string ask =
            "GET /v1/group HTTP/1.1\r\nHost: relay\r\n" + macs[4].authorization() + "\r\n\r\n";
        attackers.emplace_back([&, ask] { holdConnections(relay, 16, ask, stop); });
    } else if (kind == "heavy-heartbeats") {
        std::vector<Device> macs = enrol(relay, secret, 32, 4, "Heavy");
        // About 300 KB: the largest heartbeat the relay reads, so that each is read and trimmed.
        JSON::Object members;
        for (int i = 0; i < 24'000; ++i) {
            members.emplace("m" + std::to_string(i), JSON(1.0));
        }
        std::string body =
            JSON::object({{"inventory", JSON(std::move(members))}, {"leases", JSON::array()}})
                .data();
        for (const Device& mac : macs) {
            attackers.emplace_back([&, request = heartbeatRequest(mac, body)] {
                while (!stop) {
                    int fd = connectTo(relay);
                    while (fd >= 0 && !stop && sendAll(fd, request) && readAnswer(fd)) {
                        ++attackersServed;
                    }
                    if (fd >= 0) {
                        ::close(fd);
                    }
                }
            });
        }
    } else {
        throw std::runtime_error("unknown attack " + kind);
    }

    // The attack settles in, then the victim heartbeats while memory is watched.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::vector<double> latencies;
    std::size_t failed = 0;
    long long peak = processStatus(pid, "VmRSS");
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() <
           seconds) {
        auto sent = std::chrono::steady_clock::now();
        bool ok = false;
        try {
            Client fresh(relay);
            ok = fresh.call("POST", "/v1/heartbeat", &beat, {victim.authorization()}).status == 200;
        } catch (const std::exception&) {
        }
        double taken =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent)
                .count();
        latencies.push_back(taken);
        failed += ok ? 0 : 1;
        peak = std::max(peak, processStatus(pid, "VmRSS"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop = true;
    for (auto& attacker : attackers) {
        attacker.join();
    }
    Percentiles victimBeats = percentiles(latencies);
    std::printf("attack %s: victim heartbeats %zu, p50 %.2f ms, p99 %.2f ms, max %.2f ms, failed "
                "%zu; relay resident %.0f MiB before, peak %.0f MiB",
                kind.c_str(), victimBeats.count, victimBeats.p50, victimBeats.p99, victimBeats.max,
                failed, static_cast<double>(before) / 1024, static_cast<double>(peak) / 1024);
    if (attackersServed > 0) {
        std::printf("; attackers' requests answered 200: %zu", attackersServed.load());
    }
    std::printf("\n");
    return 0;
}

int transfer(const std::map<std::string, std::string>& values) {
    std::string relay = values.at("--relay");
    std::string nginx = values.at("--nginx");
    std::filesystem::path file = values.at("--file");
    int runs = std::stoi(values.count("--runs") ? values.at("--runs") : "3");
    std::string sha = fileSHA(file);
    auto size = static_cast<double>(std::filesystem::file_size(file));
    Client relayClient(relay);
    Client nginxClient(nginx);
    Device device = createGroup(relayClient, secretFrom(values.at("--bootstrap-file")), "Transfer");
    // nginx answers a PUT once the file is in the page cache; the relay only once it is on
    // the disk. Flushing nginx's file afterwards gives the figure with the same guarantee.
    // (Over TLS both are given ZUQ_BENCH_CA, the certificate they share.)
    std::filesystem::path nginxRoot = values.count("--nginx-root") ? values.at("--nginx-root") : "";
    double best[5] = {0, 0, 0, 0, 0}; // relay up, relay down, nginx up, nginx down, nginx up+flush
    auto mbps = [&](double seconds) { return size / seconds / 1e6; };
    for (int run = 0; run < runs; ++run) {
        auto [job, lease] = leasedJob(relayClient, device);
        double up = 0, down = 0, nginxUp = 0, nginxDown = 0;
        std::uint64_t bytes = 0;
        Answer uploaded = relayClient.upload(
            "/v1/jobs/" + job + "/artifact", file,
            {device.authorization(), "X-ZUQ-Lease: " + lease, "X-ZUQ-SHA256: " + sha}, up);
        if (uploaded.status != 200) {
            throw std::runtime_error("relay upload: " + uploaded.body);
        }
        relayClient.require("POST", "/v1/jobs/" + job + "/finish-build",
                            JSON::object({{"manifest", JSON::object()}}),
                            {device.authorization(), "X-ZUQ-Lease: " + lease});
        JSON claim =
            relayClient.require("POST", "/v1/claim", JSON::object(), {device.authorization()});
        std::string install = claim["lease"].text();
        Answer downloaded =
            relayClient.download("/v1/jobs/" + job + "/artifact",
                                 {device.authorization(), "X-ZUQ-Lease: " + install}, down, bytes);
        if (downloaded.status != 200 || bytes != static_cast<std::uint64_t>(size)) {
            throw std::runtime_error("relay download failed");
        }
        relayClient.require("POST", "/v1/jobs/" + job + "/finish", JSON::object(),
                            {device.authorization(), "X-ZUQ-Lease: " + install});

        std::string path = "/files/build-" + std::to_string(run) + ".zuq";
        if (nginxClient.upload(path, file, {}, nginxUp).status / 100 != 2) {
            throw std::runtime_error("nginx upload failed");
        }
        double nginxFlush = 0;
        if (!nginxRoot.empty()) {
            auto start = std::chrono::steady_clock::now();
            Platform::FileDescriptor stored =
                Platform::openFile(nginxRoot / path.substr(1), O_RDONLY);
            Platform::syncFile(stored.get(), nginxRoot / path.substr(1));
            nginxFlush =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        if (nginxClient.download(path, {}, nginxDown, bytes).status != 200 ||
            bytes != static_cast<std::uint64_t>(size)) {
            throw std::runtime_error("nginx download failed");
        }
        nginxClient.call("DELETE", path, nullptr);
        double measured[5] = {mbps(up), mbps(down), mbps(nginxUp), mbps(nginxDown),
                              nginxRoot.empty() ? 0 : mbps(nginxUp + nginxFlush)};
        std::printf("run %d: relay upload %5.0f MB/s  download %5.0f MB/s | nginx upload %5.0f "
                    "MB/s (%5.0f MB/s with the flush)  download %5.0f MB/s\n",
                    run + 1, measured[0], measured[1], measured[2], measured[4], measured[3]);
        std::fflush(stdout);
        for (int i = 0; i < 5; ++i) {
            best[i] = std::max(best[i], measured[i]);
        }
    }
    std::printf("best of %d, %.0f MiB:\n", runs, size / (1 << 20));
    std::printf("  upload:   relay %5.0f MB/s, nginx %5.0f MB/s: %.2f of nginx\n", best[0], best[2],
                best[0] / best[2]);
    if (!nginxRoot.empty()) {
        std::printf("  upload, both flushed to disk: relay %5.0f MB/s, nginx %5.0f MB/s: %.2f\n",
                    best[0], best[4], best[0] / best[4]);
    }
    std::printf("  download: relay %5.0f MB/s, nginx %5.0f MB/s: %.2f of nginx\n", best[1], best[3],
                best[1] / best[3]);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    try {
        std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "load") {
            return load(options(argc, argv));
        }
        if (mode == "transfer") {
            return transfer(options(argc, argv));
        }
        if (mode == "idle") {
            return idle(options(argc, argv));
        }
        if (mode == "attack") {
            return attack(options(argc, argv));
        }
        std::fprintf(stderr,
                     "usage: relay-benchmark load|idle|transfer|attack --relay URL ... (see the "
                     "source)\n");
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "relay-benchmark: %s\n", error.what());
        return 1;
    }
}
