// ZIP archives through libzip: writing an IPA from a directory tree and expanding one the
// way ditto does, symbolic links kept as links.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace AppleSim::Zip {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Writes `zip` holding `directory` under the entry name `top` ("Payload"): directories,
/// files with their permissions, symbolic links as links. Replaces `zip` only when whole.
void write(const std::filesystem::path& directory, const std::string& top,
           const std::filesystem::path& zip);

/// Expands `zip` into `destination` (created when missing). Refuses entries that would land
/// outside it. Throws Error with ditto's kind of message.
void extract(const std::filesystem::path& zip, const std::filesystem::path& destination);

} // namespace AppleSim::Zip
