#include "FuzzTarget.hpp"

#include "Platform/File.hpp"

#include <unistd.h>

namespace Fuzz {

namespace {

struct Scratch {
    Scratch() {
        path = Platform::temporaryDirectory() / ("zuq-fuzz-" + std::to_string(::getpid()));
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

} // namespace

const std::filesystem::path& scratch() {
    static Scratch directory;
    return directory.path;
}

} // namespace Fuzz
