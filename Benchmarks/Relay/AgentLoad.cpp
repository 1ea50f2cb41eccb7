#include "AgentLoad.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <queue>
#include <random>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace RelayBenchmark {

namespace {

using Clock = std::chrono::steady_clock;

// What an agent of a Mac with two projects and one iPhone reports.
JSON inventory(std::size_t index) {
    JSON project =
        JSON::object({{"id", "8F0C1B7E-3D4A-4F5B-9C2D-" + std::to_string(100000000000 + index)},
                      {"name", "Example App"},
                      {"schemes", JSON::strings({"Example", "Example Widgets"})},
                      {"configurations", JSON::strings({"Debug", "Release"})}});
    JSON phone = JSON::object(
        {{"udid", "00008110-00" + std::to_string(1000000000 + index)},
         {"core_id", "6B1A2C3D-0000-4000-8000-" + std::to_string(100000000000 + index)},
         {"name", "Test iPhone"},
         {"model", "iPhone 15"},
         {"product_type", "iPhone15,4"},
         {"os", "17.5.1"},
         {"state", "connected"},
         {"developer_mode", true},
         {"available", true},
         {"transport", "wired"}});
    return JSON::object({{"projects", JSON::array({project, project})},
                         {"phones", JSON::array({phone})},
                         {"client_version", "0.1.0"},
                         {"platform", "macOS"}});
}

std::string request(const std::string& path, const std::string& authorization,
                    const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\nHost: relay\r\nUser-Agent: ZUQ/0.1.0\r\n" +
           authorization +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

} // namespace

struct AgentLoad::Agent {
    std::string heartbeat;
    std::string claim;
    int fd = -1;
    bool connecting = false;
    bool busy = false; // a heartbeat and claim pair is under way
    bool awaitingHeartbeat = false;
    std::string out;
    std::size_t sent = 0;
    std::string in;
    double sentAt = 0;
    double nextAt = 0;
};

AgentLoad::AgentLoad(LoadSettings settings, const std::vector<Device>& agents)
    : settings_(std::move(settings)), agents_(agents.size()) {
    for (std::size_t index = 0; index < agents.size(); ++index) {
        JSON body = JSON::object({{"inventory", inventory(index)}, {"leases", JSON::array()}});
        agents_[index].heartbeat =
            request("/v1/heartbeat", agents[index].authorization(), body.data());
        agents_[index].claim = request("/v1/claim", agents[index].authorization(), "{}");
    }
}

AgentLoad::~AgentLoad() {
    for (auto& agent : agents_) {
        drop(agent);
    }
    if (events_ >= 0) {
        ::close(events_);
    }
}

void AgentLoad::watch(Agent& agent, bool writing) {
    epoll_event event{};
    event.events = writing ? (EPOLLIN | EPOLLOUT) : EPOLLIN;
    event.data.ptr = &agent;
    ::epoll_ctl(events_, EPOLL_CTL_MOD, agent.fd, &event);
}

void AgentLoad::drop(Agent& agent) {
    if (agent.fd >= 0) {
        ::close(agent.fd);
        agent.fd = -1;
    }
    agent.connecting = false;
    agent.busy = false;
    agent.in.clear();
    agent.out.clear();
}

void AgentLoad::fire(Agent& agent, double now) {
    if (agent.busy) {
        // The last pass has not finished: the relay is behind. The agent waits its turn.
        ++lateStarts_;
        return;
    }
    agent.busy = true;
    if (agent.fd < 0) {
        agent.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int yes = 1;
        ::setsockopt(agent.fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        bool other = settings_.alsoPort != 0 && (&agent - agents_.data()) % 2 == 1;
        address.sin_port =
            htons(static_cast<std::uint16_t>(other ? settings_.alsoPort : settings_.port));
        ::inet_pton(AF_INET, settings_.host.c_str(), &address.sin_addr);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.ptr = &agent;
        if (::connect(agent.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
            errno != EINPROGRESS) {
            ++connectionErrors_;
            drop(agent);
            return;
        }
        ::epoll_ctl(events_, EPOLL_CTL_ADD, agent.fd, &event);
        agent.connecting = true;
    }
    send(agent, true, now);
}

void AgentLoad::send(Agent& agent, bool heartbeat, double now) {
    agent.out = heartbeat ? agent.heartbeat : agent.claim;
    agent.sent = 0;
    agent.awaitingHeartbeat = heartbeat;
    agent.sentAt = now;
    if (!agent.connecting) {
        flush(agent);
    }
}

void AgentLoad::flush(Agent& agent) {
    while (agent.sent < agent.out.size()) {
        ssize_t n = ::send(agent.fd, agent.out.data() + agent.sent, agent.out.size() - agent.sent,
                           MSG_NOSIGNAL);
        if (n > 0) {
            agent.sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            watch(agent, true);
            return;
        }
        ++connectionErrors_;
        drop(agent);
        return;
    }
    watch(agent, false);
}

void AgentLoad::readable(Agent& agent, double now) {
    char buffer[16384];
    for (;;) {
        ssize_t n = ::recv(agent.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            agent.in.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        ++connectionErrors_;
        drop(agent);
        return;
    }
    auto headEnd = agent.in.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        return;
    }
    std::size_t length = 0;
    auto field = agent.in.find("Content-Length: ");
    if (field != std::string::npos && field < headEnd) {
        length = std::stoul(agent.in.substr(field + 16));
    }
    if (agent.in.size() < headEnd + 4 + length) {
        return;
    }
    bool ok = agent.in.compare(0, 12, "HTTP/1.1 200") == 0;
    agent.in.erase(0, headEnd + 4 + length);
    samples_.push_back({now, (now - agent.sentAt) * 1000, agent.awaitingHeartbeat, ok});
    if (agent.awaitingHeartbeat) {
        send(agent, false, now);
    } else {
        agent.busy = false;
    }
}

void AgentLoad::run(const std::atomic<bool>& keepGoing) {
    events_ = ::epoll_create1(EPOLL_CLOEXEC);
    auto start = Clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    using Entry = std::pair<double, Agent*>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> timers;
    std::mt19937 random(42);
    std::uniform_real_distribution<double> spread(0, settings_.interval);
    for (auto& agent : agents_) {
        agent.nextAt = spread(random);
        timers.emplace(agent.nextAt, &agent);
    }
    std::vector<epoll_event> events(1024);
    samples_.reserve(static_cast<std::size_t>(agents_.size() * 2 * settings_.seconds /
                                              settings_.interval * 1.2));
    for (;;) {
        double now = seconds();
        if (now >= settings_.seconds && !keepGoing) {
            break;
        }
        double wait = timers.empty() ? 0.1 : std::min(0.1, std::max(0.0, timers.top().first - now));
        int count = ::epoll_wait(events_, events.data(), static_cast<int>(events.size()),
                                 static_cast<int>(wait * 1000));
        now = seconds();
        for (int index = 0; index < count; ++index) {
            auto& event = events[static_cast<std::size_t>(index)];
            Agent& agent = *static_cast<Agent*>(event.data.ptr);
            if (agent.fd < 0) {
                continue;
            }
            if (agent.connecting && (event.events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(agent.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0) {
                    ++connectionErrors_;
                    drop(agent);
                    continue;
                }
                agent.connecting = false;
                flush(agent);
                continue;
            }
            if (event.events & EPOLLOUT) {
                flush(agent);
            }
            if (agent.fd >= 0 && (event.events & (EPOLLIN | EPOLLERR | EPOLLHUP))) {
                readable(agent, now);
            }
        }
        while (!timers.empty() && timers.top().first <= now) {
            Agent* agent = timers.top().second;
            timers.pop();
            fire(*agent, now);
            agent->nextAt += settings_.interval;
            timers.emplace(agent->nextAt, agent);
        }
    }
    elapsed_ = seconds();
}

} // namespace RelayBenchmark
