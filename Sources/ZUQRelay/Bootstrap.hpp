// The secret that lets a new group be created, and the limit on guessing it.
#pragma once

#include "Clock.hpp"

#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ZUQRelay {

/// Checks the "X-ZUQ-Bootstrap" secret of group creation in constant time. After
/// `failuresPerMinute` wrong secrets within a minute from one address, that address is refused
/// as too many whatever it sends, until the oldest of those failures is a minute old.
/// Thread-safe.
class Bootstrap {
public:
    static constexpr std::size_t failuresPerMinute = 10;

    Bootstrap(std::string secret, const Clock& clock);

    /// The secret in `file`, without the white space around it. Throws for a missing,
    /// unreadable or empty file.
    static std::string readSecret(const std::filesystem::path& file);
    /// The default secret file "bootstrap-secret" in `dataDirectory`, created with a new
    /// random secret (mode 0600) when it does not exist yet.
    static std::filesystem::path defaultSecretFile(const std::filesystem::path& dataDirectory);

    /// Returns when `presented` is the secret. Refuses as too many with "Too many wrong bootstrap
    /// secrets. Try again in a minute." while `address` is blocked, else as forbidden with "Invalid
    /// bootstrap secret" for a wrong secret, counting the failure.
    void check(const std::string& address, std::string_view presented);

private:
    static constexpr std::size_t trackedAddresses = 10000;
    void forgetStale(double now);

    std::string secret_;
    const Clock& clock_;
    std::mutex mutex_; // guards failures_
    std::unordered_map<std::string, std::deque<double>> failures_;
};

} // namespace ZUQRelay
