#include "BuildPipeline.hpp"
#include "BuildPipeline/Files.hpp"
#include "Platform/File.hpp"
#include "Platform/ZipArchive.hpp"
#include "ProcessRunner.hpp"

#include <cerrno>
#include <cstdint>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Platform::ZipArchive;
using Platform::ZipEntry;
using ProcessRunner::Failure;

namespace BuildPipeline {

namespace {

const std::string unsafePath = "Unsafe IPA archive path";
const std::string links = "IPAs containing symbolic links are not supported by this ZUQ version.";
const std::string specialFiles =
    "IPAs containing device files, pipes or sockets are not supported by this ZUQ version.";

// The file type bits of a Unix mode, as ZIP archives store them on every platform.
constexpr std::uint32_t typeMask = 0170000, regularType = 0100000, directoryType = 0040000,
                        linkType = 0120000;

bool isUnsafe(std::string_view name) {
    if (name.empty() || name.starts_with('/') || name.find('\\') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
        return true;
    }
    while (true) {
        std::size_t slash = name.find('/');
        if (name.substr(0, slash) == "..") {
            return true;
        }
        if (slash == std::string_view::npos) {
            return false;
        }
        name.remove_prefix(slash + 1);
    }
}

// Bytes free to this user on the file system that holds `path`, or its nearest existing
// parent; nothing when that cannot be told.
std::optional<std::uint64_t> freeSpace(fs::path path) {
    struct statvfs status {};
    while (::statvfs(path.c_str(), &status) != 0) {
        if (errno != ENOENT || !path.has_relative_path()) {
            return std::nullopt;
        }
        path = path.parent_path();
    }
    return std::uint64_t(status.f_bavail) * status.f_frsize;
}

ZipArchive open(const fs::path& ipa, const UnpackLimits& limits) {
    try {
        return ZipArchive(ipa, limits.entries);
    } catch (const Platform::ZipTooManyEntries& error) {
        throw ZUQError("The IPA lists " + std::to_string(error.count) +
                       " entries; this Mac unpacks at most " + std::to_string(limits.entries));
    } catch (const Platform::ZipError& error) {
        throw ZUQError(std::string("The IPA is not a well-formed ZIP archive: ") + error.what());
    }
}

// Everything decided from the archive itself, before a byte of it is written: names, kinds,
// the size it expands to, and that every entry holds exactly what it declares.
void screen(const ZipArchive& archive, const fs::path& destination, const UnpackLimits& limits,
            std::stop_token stop) {
    std::uint64_t total = 0;
    for (const ZipEntry& entry : archive.entries()) {
        if (isUnsafe(entry.name)) {
            throw ZUQError(unsafePath);
        }
        for (const std::string& name : entry.alternativeNames) {
            if (isUnsafe(name)) {
                throw ZUQError(unsafePath);
            }
        }
        std::uint32_t type = entry.unixMode() & typeMask;
        if (type == linkType) {
            throw ZUQError(links);
        }
        if (type != 0 && type != regularType && type != directoryType) {
            throw ZUQError(specialFiles);
        }
        total = entry.size > UINT64_MAX - total ? UINT64_MAX : total + entry.size;
    }
    if (total > limits.bytes) {
        throw ZUQError("The IPA expands to " + std::to_string(total) + " bytes, more than the " +
                       std::to_string(limits.bytes) + " this Mac unpacks");
    }
    if (std::optional<std::uint64_t> free = freeSpace(destination.parent_path());
        free && total > *free) {
        throw ZUQError("The IPA expands to " + std::to_string(total) + " bytes, more than the " +
                       std::to_string(*free) + " free in " + destination.parent_path().string());
    }
    for (const ZipEntry& entry : archive.entries()) {
        if (stop.stop_requested()) {
            throw CancellationError();
        }
        try {
            archive.verify(entry);
        } catch (const Platform::ZipError& error) {
            throw ZUQError(std::string("The IPA is not a well-formed ZIP archive: ") +
                           error.what());
        }
    }
}

// A new, empty folder only this user can enter, whatever stood at `destination` before.
void createPrivateDirectory(const fs::path& destination) {
    std::error_code ignored;
    fs::remove_all(destination, ignored); // a link is removed, never followed
    Platform::createDirectories(destination.parent_path(), 0700);
    if (::mkdir(destination.c_str(), 0700) != 0) {
        Platform::throwErrno("Cannot create", destination);
    }
    struct stat status {};
    if (::lstat(destination.c_str(), &status) != 0) {
        Platform::throwErrno("Cannot inspect", destination);
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() ||
        ::chmod(destination.c_str(), 0700) != 0) {
        Platform::throwSystemError(EPERM, "Cannot create", destination);
    }
}

// Refuses, and removes, anything the expansion made that is not a plain file or folder. The
// archive was screened already; this holds whatever the expanding tool does with it.
void inspectExpansion(const fs::path& destination) {
    std::error_code error;
    fs::recursive_directory_iterator entries(destination, error);
    for (; !error && entries != fs::recursive_directory_iterator(); entries.increment(error)) {
        fs::file_status status = entries->symlink_status(error);
        if (error) {
            break;
        }
        if (fs::is_regular_file(status) || fs::is_directory(status)) {
            continue;
        }
        fs::path found = entries->path();
        std::error_code ignored;
        fs::remove(found, ignored);
        throw ZUQError(fs::is_symlink(status) ? links : specialFiles);
    }
    if (error) {
        Platform::throwSystemError(error.value(), "Cannot list", destination);
    }
}

} // namespace

fs::path extractIPA(const fs::path& ipa, const fs::path& destination,
                    const std::optional<fs::path>& log, const std::optional<std::string>& job,
                    std::stop_token stop, const UnpackLimits& limits) {
    if (stop.stop_requested()) {
        throw CancellationError();
    }
    screen(open(ipa, limits), destination, limits, stop);

    createPrivateDirectory(destination);
    ProcessRunner::run("/usr/bin/ditto", {"-x", "-k", ipa.string(), destination.string()},
                       std::nullopt, log, 300, job, Failure::raised, stop);
    inspectExpansion(destination);

    std::vector<fs::path> apps = entriesWithExtension(destination / "Payload", ".app");
    if (apps.size() != 1) {
        throw ZUQError("IPA must contain exactly one iOS app");
    }
    return apps.front();
}

std::vector<fs::path> extensionBundles(const fs::path& app) {
    std::vector<fs::path> result;
    std::error_code error;
    fs::recursive_directory_iterator entries(app, fs::directory_options::skip_permission_denied,
                                             error);
    for (; !error && entries != fs::recursive_directory_iterator(); entries.increment(error)) {
        std::error_code ignored;
        if (entries->path().extension() == ".appex" && entries->is_directory(ignored)) {
            result.push_back(entries->path());
        }
    }
    return result;
}

} // namespace BuildPipeline
