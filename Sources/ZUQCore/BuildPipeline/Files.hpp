// File helpers shared by the pipeline's source files; not part of its interface.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace BuildPipeline {

/// The entries directly in `directory` whose name extension is exactly `extension` (".ipa"),
/// in the order the directory lists them. Throws std::system_error naming the directory when
/// it cannot be listed.
std::vector<std::filesystem::path> entriesWithExtension(const std::filesystem::path& directory,
                                                        std::string_view extension);

/// Removes each of `names` in `directory`, in order, with everything below it; failures are
/// ignored.
void removeQuietly(const std::filesystem::path& directory,
                   std::initializer_list<std::string_view> names) noexcept;

/// Throws ZUQError "Invalid job identifier" unless `id` is a UUID: it names a directory.
void requireJobIdentifier(const std::string& id);

/// Removes `names` in `directory` when constructed, so nothing a crashed earlier attempt left
/// is mistaken for new work, and again when dropped, whatever way the work ended.
class Temporaries {
public:
    Temporaries(std::filesystem::path directory, std::initializer_list<std::string_view> names)
        : directory_(std::move(directory)), names_(names) {
        remove();
    }
    Temporaries(const Temporaries&) = delete;
    Temporaries& operator=(const Temporaries&) = delete;
    ~Temporaries() { remove(); }

private:
    void remove() noexcept {
        for (std::string_view name : names_) {
            removeQuietly(directory_, {name});
        }
    }

    std::filesystem::path directory_;
    std::vector<std::string_view> names_;
};

} // namespace BuildPipeline
