#include "Platform/Host.hpp"

#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <unistd.h>

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
