#include "Bootstrap.hpp"

#include "JSON.hpp"
#include "Platform/Digest.hpp"
#include "Platform/Encoding.hpp"
#include "Platform/File.hpp"
#include "Platform/Random.hpp"
#include "Refusal.hpp"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace ZUQRelay {

namespace {

constexpr double window = 60;

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view space = " \t\r\n\f\v";
    auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

} // namespace

Bootstrap::Bootstrap(std::string secret, const Clock& clock)
    : secret_(std::move(secret)), clock_(clock) {}

std::string Bootstrap::readSecret(const std::filesystem::path& file) {
    std::string secret(trimmed(Platform::readFile(file)));
    if (secret.empty()) {
        throw ZUQError("The bootstrap file " + file.string() + " is empty");
    }
    return secret;
}

std::filesystem::path Bootstrap::defaultSecretFile(const std::filesystem::path& dataDirectory) {
    std::filesystem::path file = dataDirectory / "bootstrap-secret";
    if (::access(file.c_str(), F_OK) != 0) {
        if (errno != ENOENT) {
            Platform::throwErrno("Cannot read", file);
        }
        Platform::atomicWrite(file, Platform::base64URLEncode(Platform::randomBytes(32)) + "\n",
                              0600);
    }
    return file;
}

void Bootstrap::check(const std::string& address, std::string_view presented) {
    std::lock_guard lock(mutex_);
    double now = clock_.now();
    auto found = failures_.find(address);
    if (found != failures_.end()) {
        auto& times = found->second;
        while (!times.empty() && now - times.front() >= window) {
            times.pop_front();
        }
        if (times.size() >= failuresPerMinute) {
            throw Refusal(Refusal::Reason::tooMany,
                          "Too many wrong bootstrap secrets. Try again in a minute.");
        }
    }
    if (Platform::constantTimeEqual(Platform::sha256Hex(presented), Platform::sha256Hex(secret_))) {
        return;
    }
    if (found == failures_.end()) {
        if (failures_.size() >= trackedAddresses) {
            forgetStale(now);
        }
        if (failures_.size() < trackedAddresses) {
            found = failures_.emplace(address, std::deque<double>()).first;
        }
    }
    if (found != failures_.end()) {
        found->second.push_back(now);
    }
    throw Refusal(Refusal::Reason::forbidden, "Invalid bootstrap secret");
}

void Bootstrap::forgetStale(double now) {
    std::erase_if(failures_, [now](const auto& entry) {
        return entry.second.empty() || now - entry.second.back() >= window;
    });
}

} // namespace ZUQRelay
