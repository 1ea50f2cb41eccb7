// A small HTTP server on a free loopback port for what a healthy relay never does, and for
// checking exactly what the client sends.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace TestSupport {

class ScriptedRelay {
public:
    /// Binds a free port; register routes on `server` (or with `answer`), then `start`.
    ScriptedRelay();
    ScriptedRelay(const ScriptedRelay&) = delete;
    ScriptedRelay& operator=(const ScriptedRelay&) = delete;
    ~ScriptedRelay();

    /// Answers `method` `path` (a pattern) with `status` and the JSON text `body`.
    void answer(const std::string& method, const std::string& path, int status, std::string body);
    void start();

    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    /// Every request in arrival order, recorded before routing: method, path, headers and
    /// remote port. Bodies are not read at that point; see `bodies`.
    std::vector<httplib::Request> requests();
    /// The bodies of the requests that `answer` routes handled, in order.
    std::vector<std::string> bodies();
    /// The number of distinct client connections seen.
    std::size_t connections();

    httplib::Server server;

private:
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<httplib::Request> requests_; // guarded by mutex_
    std::vector<std::string> bodies_;        // guarded by mutex_
    std::set<int> ports_;                    // guarded by mutex_
};

} // namespace TestSupport
