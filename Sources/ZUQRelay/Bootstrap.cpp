#include "Bootstrap.hpp"

#include "JSON.hpp"
#include "Platform/Digest.hpp"
#include "Platform/Encoding.hpp"
#include "Platform/File.hpp"
#include "Platform/Random.hpp"
#include "Refusal.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace ZUQRelay {

namespace {

constexpr double window = 60;

const Refusal tooMany(Refusal::Reason::tooMany,
                      "Too many wrong bootstrap secrets. Try again in a minute.");
const Refusal invalidSecret(Refusal::Reason::forbidden, "Invalid bootstrap secret");

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view space = " \t\r\n\f\v";
    auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

} // namespace

Bootstrap::Bootstrap(std::string secret, const Clock& clock, std::size_t trackedAddresses,
                     Store* shared)
    : secret_(std::move(secret)), clock_(clock), trackedAddresses_(trackedAddresses),
      shared_(shared) {}

std::string Bootstrap::counted(std::string_view address) {
    std::string text(address);
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    if (auto zone = text.find('%'); zone != std::string::npos) {
        text.resize(zone);
    }
    in6_addr bytes{};
    if (::inet_pton(AF_INET6, text.c_str(), &bytes) != 1) {
        return std::string(address);
    }
    const unsigned char* b = bytes.s6_addr;
    char shown[INET6_ADDRSTRLEN];
    if (IN6_IS_ADDR_V4MAPPED(&bytes)) {
        return ::inet_ntop(AF_INET, b + 12, shown, sizeof shown);
    }
    std::snprintf(shown, sizeof shown, "%02x%02x:%02x%02x:%02x%02x:%02x%02x::/64", b[0], b[1], b[2],
                  b[3], b[4], b[5], b[6], b[7]);
    return shown;
}

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

void Bootstrap::checkShared(const std::string& key, std::string_view presented) {
    double now = clock_.now();
    auto [recent, addresses] = shared_->readLatest([&](SQL::Connection& database) {
        SQL::Rows row = database.query(
            "SELECT (SELECT COUNT(*) FROM bootstrap_failures WHERE address = ?1 AND "
            "failed_at > ?2), (SELECT COUNT(DISTINCT address) FROM bootstrap_failures WHERE "
            "failed_at > ?2)",
            key, now - window);
        row.next();
        return std::pair(row.integer(0), row.integer(1));
    });
    if (recent >= static_cast<std::int64_t>(failuresPerMinute) ||
        (recent == 0 && addresses >= static_cast<std::int64_t>(trackedAddresses_))) {
        throw tooMany;
    }
    if (Platform::constantTimeEqual(Platform::sha256Hex(presented), Platform::sha256Hex(secret_))) {
        return;
    }
    shared_->write(Durability::relaxed, [&](Store::Transaction& transaction) {
        transaction.database.run("DELETE FROM bootstrap_failures WHERE failed_at <= ?",
                                 now - window);
        transaction.database.run(
            "INSERT INTO bootstrap_failures (address, failed_at) VALUES (?, ?)", key, now);
    });
    throw invalidSecret;
}

void Bootstrap::check(const std::string& address, std::string_view presented) {
    std::string key = counted(address);
    if (shared_) {
        checkShared(key, presented);
        return;
    }
    std::lock_guard lock(mutex_);
    double now = clock_.now();
    auto found = failures_.find(key);
    if (found != failures_.end()) {
        auto& times = found->second;
        while (!times.empty() && now - times.front() >= window) {
            times.pop_front();
        }
        if (times.size() >= failuresPerMinute) {
            throw tooMany;
        }
    } else if (failures_.size() >= trackedAddresses_) {
        // Looking for stale entries costs a pass over the table: at most once a second.
        if (now - lastForgotten_ >= 1) {
            lastForgotten_ = now;
            forgetStale(now);
        }
        if (failures_.size() >= trackedAddresses_) {
            throw tooMany;
        }
    }
    if (Platform::constantTimeEqual(Platform::sha256Hex(presented), Platform::sha256Hex(secret_))) {
        return;
    }
    if (found == failures_.end()) {
        found = failures_.emplace(std::move(key), std::deque<double>()).first;
    }
    found->second.push_back(now);
    throw invalidSecret;
}

void Bootstrap::forgetStale(double now) {
    std::erase_if(failures_, [now](const auto& entry) {
        return entry.second.empty() || now - entry.second.back() >= window;
    });
}

} // namespace ZUQRelay
