// Blocking HTTP calls for setting a benchmark up and for timing transfers, over libcurl.
#pragma once

#include "JSON.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace RelayBenchmark {

struct Answer {
    long status = 0;
    std::string body;
    JSON json() const;
};

/// One enrolled device.
struct Device {
    std::string id;
    std::string token;
    std::string authorization() const { return "Authorization: Bearer " + id + "." + token; }
};

/// One libcurl handle (one kept-alive connection) to one origin. Not thread-safe.
class Client {
public:
    explicit Client(std::string origin);
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client();

    /// A JSON exchange; throws std::runtime_error for transport failures.
    Answer call(const std::string& method, const std::string& path, const JSON* body,
                const std::vector<std::string>& headers = {});
    /// A JSON exchange that must succeed; throws with the relay's error otherwise.
    JSON require(const std::string& method, const std::string& path, const JSON& body,
                 const std::vector<std::string>& headers = {});
    /// PUT of a whole file; `seconds` receives the time from first byte sent to the answer.
    Answer upload(const std::string& path, const std::filesystem::path& file,
                  const std::vector<std::string>& headers, double& seconds);
    /// GET whose body is counted and dropped; `bytes` and `seconds` receive what it took.
    Answer download(const std::string& path, const std::vector<std::string>& headers,
                    double& seconds, std::uint64_t& bytes);

private:
    struct Handle;
    std::string origin_;
    std::unique_ptr<Handle> handle_;
};

/// Creates a group with the bootstrap secret; returns its first device.
Device createGroup(Client& client, const std::string& secret, const std::string& name);
/// Enrols a new device into `inviter`'s group.
Device join(Client& client, const Device& inviter, const std::string& name);

} // namespace RelayBenchmark
