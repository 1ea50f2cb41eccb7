#include "BuildPipeline.hpp"

#include "BuildPipeline/Files.hpp"
#include "Platform/File.hpp"
#include "ProcessRunner.hpp"

namespace fs = std::filesystem;
using ProcessRunner::Failure;

namespace BuildPipeline {

namespace {

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> result;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty()) {
            result.push_back(line);
        }
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return result;
}

bool isUnsafe(std::string_view name) {
    if (name.starts_with('/') || name.find('\\') != std::string_view::npos) {
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

} // namespace

fs::path extractIPA(const fs::path& ipa, const fs::path& destination,
                    const std::optional<fs::path>& log, const std::optional<std::string>& job,
                    std::stop_token stop) {
    ProcessResult names = ProcessRunner::run("/usr/bin/zipinfo", {"-1", ipa.string()},
                                             std::nullopt, std::nullopt, 60, job,
                                             Failure::raised, stop);
    for (std::string_view name : lines(names.output)) {
        if (isUnsafe(name)) {
            throw ZUQError("Unsafe IPA archive path");
        }
    }
    // The long listing starts each entry with its Unix permissions; a link's begin with "l".
    ProcessResult listing = ProcessRunner::run("/usr/bin/zipinfo", {"-l", ipa.string()},
                                               std::nullopt, std::nullopt, 60, job,
                                               Failure::raised, stop);
    for (std::string_view line : lines(listing.output)) {
        if (line.starts_with('l')) {
            throw ZUQError("IPAs containing symbolic links are not supported by this ZUQ version.");
        }
    }

    Platform::createDirectories(destination, 0700);
    ProcessRunner::run("/usr/bin/ditto", {"-x", "-k", ipa.string(), destination.string()},
                       std::nullopt, log, 300, job, Failure::raised, stop);

    std::vector<fs::path> apps = entriesWithExtension(destination / "Payload", ".app");
    if (apps.size() != 1) {
        throw ZUQError("IPA must contain exactly one iOS app");
    }
    return apps.front();
}

std::vector<fs::path> extensionBundles(const fs::path& app) {
    std::vector<fs::path> result;
    std::error_code error;
    fs::recursive_directory_iterator entries(
        app, fs::directory_options::skip_permission_denied, error);
    for (; !error && entries != fs::recursive_directory_iterator(); entries.increment(error)) {
        std::error_code ignored;
        if (entries->path().extension() == ".appex" && entries->is_directory(ignored)) {
            result.push_back(entries->path());
        }
    }
    return result;
}

} // namespace BuildPipeline
