// The secret that lets a new group be created, and the limit on guessing it.
#pragma once

#include "Clock.hpp"
#include "Store.hpp"

#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ZUQRelay {

/// Checks the "X-ZUQ-Bootstrap" secret of group creation in constant time. After
/// `failuresPerMinute` wrong secrets within a minute from one address, that address is refused
/// as too many whatever it sends, until the oldest of those failures is a minute old. An IPv6
/// address counts as its /64 network, since whoever holds one address of a network usually
/// holds all of them. At most `trackedAddresses` addresses with recent failures are
/// remembered; while that table is full, a secret from any other address is refused as too
/// many without being checked, so that many addresses cannot guess uncounted. Thread-safe.
class Bootstrap {
public:
    static constexpr std::size_t failuresPerMinute = 10;
    static constexpr std::size_t trackedByDefault = 10000;

    /// With `shared`, a store that other relays use too, failures are counted in it, so that
    /// an address meets the same limit whichever relay it reaches.
    Bootstrap(std::string secret, const Clock& clock, std::size_t trackedAddresses = trackedByDefault,
              Store* shared = nullptr);

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

    /// What failures are counted against: an IPv4 address (also when written as an
    /// IPv4-mapped IPv6 address), the /64 network of an IPv6 address, or else the text itself.
    static std::string counted(std::string_view address);

private:
    void forgetStale(double now);
    void checkShared(const std::string& key, std::string_view presented);

    std::string secret_;
    const Clock& clock_;
    std::size_t trackedAddresses_;
    Store* shared_;
    std::mutex mutex_; // guards failures_ and lastForgotten_
    std::unordered_map<std::string, std::deque<double>> failures_;
    double lastForgotten_ = 0;
};

} // namespace ZUQRelay
