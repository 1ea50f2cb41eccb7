#include "ScriptedRelay.hpp"

#include <chrono>

namespace TestSupport {

ScriptedRelay::ScriptedRelay() {
    // Recorded before routing, so a request is on the list by the time its answer arrives.
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        ports_.insert(request.remote_port);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_keep_alive_max_count(100000);
    // Longer than any pause of the clients under test (uploads retry 5 s apart), so that no
    // retry reuses a connection the server is closing at that very moment.
    server.set_keep_alive_timeout(60);
    port_ = server.bind_to_any_port("127.0.0.1");
}

ScriptedRelay::~ScriptedRelay() {
    if (thread_.joinable()) {
        server.stop();
        thread_.join();
    }
}

void ScriptedRelay::answer(const std::string& method, const std::string& path, int status,
                           std::string body) {
    auto handler = [this, status, body](const httplib::Request& request,
                                        httplib::Response& response) {
        {
            std::lock_guard lock(mutex_);
            bodies_.push_back(request.body);
        }
        response.status = status;
        response.set_content(body, "application/json");
    };
    if (method == "GET") {
        server.Get(path, handler);
    } else if (method == "POST") {
        server.Post(path, handler);
    } else if (method == "PUT") {
        server.Put(path, handler);
    } else {
        server.Delete(path, handler);
    }
}

void ScriptedRelay::start() {
    thread_ = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<httplib::Request> ScriptedRelay::requests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<std::string> ScriptedRelay::bodies() {
    std::lock_guard lock(mutex_);
    return bodies_;
}

std::size_t ScriptedRelay::connections() {
    std::lock_guard lock(mutex_);
    return ports_.size();
}

} // namespace TestSupport
