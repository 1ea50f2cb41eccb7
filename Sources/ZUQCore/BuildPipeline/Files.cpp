#include "BuildPipeline/Files.hpp"

#include "JSON.hpp"
#include "Platform/File.hpp"
#include "Platform/Random.hpp"

namespace fs = std::filesystem;

namespace BuildPipeline {

std::vector<fs::path> entriesWithExtension(const fs::path& directory, std::string_view extension) {
    std::error_code error;
    fs::directory_iterator entries(directory, error);
    std::vector<fs::path> result;
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        if (entries->path().extension() == extension) {
            result.push_back(entries->path());
        }
    }
    if (error) {
        Platform::throwSystemError(error.value(), "Cannot list", directory);
    }
    return result;
}

void removeQuietly(const fs::path& directory,
                   std::initializer_list<std::string_view> names) noexcept {
    for (std::string_view name : names) {
        std::error_code ignored;
        fs::remove_all(directory / name, ignored);
    }
}

void requireJobIdentifier(const std::string& id) {
    // The identifier names a directory under the state directory; the relay's are UUIDs.
    if (!Platform::isUUID(id)) {
        throw ZUQError("Invalid job identifier");
    }
}

} // namespace BuildPipeline
