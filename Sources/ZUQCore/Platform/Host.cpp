#include "Platform/Host.hpp"

#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <unistd.h>
#include <vector>

#ifdef __APPLE__
#include <SystemConfiguration/SystemConfiguration.h>
#endif

namespace Platform {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

std::mutex programPathLock;
std::string recordedProgramPath; // guarded by programPathLock

} // namespace

fs::path homeDirectory() {
    if (auto home = environment("HOME")) {
        return *home;
    }
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) {
        return entry->pw_dir;
    }
    return "/";
}

std::string expandingTilde(const std::string& path) {
    if (!path.starts_with('~')) {
        return path;
    }
    std::size_t slash = path.find('/');
    std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
    if (user.empty()) {
        return homeDirectory().string() + rest;
    }
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr) {
        return path;
    }
    return found->pw_dir + rest;
}

fs::path userDataDirectory() {
#ifdef __APPLE__
    return homeDirectory() / "Library" / "Application Support";
#else
    if (auto data = environment("XDG_DATA_HOME")) {
        return *data;
    }
    return homeDirectory() / ".local" / "share";
#endif
}

std::optional<std::string> computerName() {
#ifdef __APPLE__
    CFStringRef name = SCDynamicStoreCopyComputerName(nullptr, nullptr);
    if (name != nullptr) {
        char buffer[1024];
        bool converted = CFStringGetCString(name, buffer, sizeof buffer, kCFStringEncodingUTF8);
        CFRelease(name);
        if (converted && buffer[0] != '\0') {
            return std::string(buffer);
        }
    }
#endif
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) == 0 && buffer[0] != '\0') {
        return std::string(buffer);
    }
    return std::nullopt;
}

std::string programPath() {
    std::lock_guard lock(programPathLock);
    return recordedProgramPath;
}

void setProgramPath(std::string path) {
    std::lock_guard lock(programPathLock);
    recordedProgramPath = std::move(path);
}

} // namespace Platform
