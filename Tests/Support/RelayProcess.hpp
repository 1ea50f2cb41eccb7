// A real zuq-relay on 127.0.0.1 for tests that talk to it over HTTP.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace TestSupport {

/// Runs build/bin/zuq-relay with "--listen 127.0.0.1:0 --data DIR" and any further
/// arguments, and knows the origin it serves. Its standard error (the request log) goes to
/// DIR + ".log", appended across restarts. With a descriptor limit, the relay runs with that
/// many open files at most (soft and hard). The process is stopped with SIGTERM on
/// destruction. Not thread-safe.
class RelayProcess {
public:
    /// Starts the relay and waits (up to a minute) for the first line of its standard output.
    /// Throws std::runtime_error with the log when it exits or prints nothing in time.
    explicit RelayProcess(std::filesystem::path data, std::vector<std::string> arguments = {},
                          std::optional<std::size_t> descriptorLimit = std::nullopt);
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;
    ~RelayProcess();

    /// The origin from the first line, e.g. "http://127.0.0.1:40123".
    const std::string& url() const { return url_; }
    /// The "bootstrap_file" of the first line, and the secret in it (trimmed).
    const std::filesystem::path& bootstrapFile() const { return bootstrapFile_; }
    std::string bootstrapSecret() const;
    const std::filesystem::path& dataDirectory() const { return data_; }
    std::filesystem::path logPath() const;
    std::string log() const;
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }

    /// Sends SIGTERM and waits for the exit (SIGKILL after 30 seconds). Returns the exit
    /// status, or 128 + the signal; -1 when it was not running.
    int stop();
    /// Stops the relay and starts it again on the same data directory (with a new port).
    void restart();
    /// Stops the relay if it runs and starts it again on the port it served before, so that
    /// Macs enrolled with its origin find it again.
    void resume();

private:
    void start(const std::string& listen = "127.0.0.1:0");

    std::filesystem::path data_;
    std::vector<std::string> arguments_;
    std::optional<std::size_t> descriptorLimit_;
    pid_t pid_ = -1;
    int output_ = -1;
    std::string url_;
    std::filesystem::path bootstrapFile_;
};

} // namespace TestSupport
