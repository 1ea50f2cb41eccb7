// The fuzz targets' main in builds without libFuzzer: runs the target once on every file given,
// or found at any depth under a directory given, in name order, so that the example inputs and
// every input that once broke a target are checked by the ordinary test run, with any
// compiler and sanitizer. Fails when nothing was found to run.
#include "FuzzTarget.hpp"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

// Defined by the targets that need setting up.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::filesystem::path> inputs(const std::filesystem::path& root) {
    std::vector<std::filesystem::path> found;
    if (std::filesystem::is_directory(root)) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            // A dictionary beside the inputs is not one of them.
            if (entry.is_regular_file() && entry.path().extension() != ".dict") {
                found.push_back(entry.path());
            }
        }
        std::sort(found.begin(), found.end());
    } else if (std::filesystem::is_regular_file(root)) {
        found.push_back(root);
    } else {
        throw std::runtime_error("No such input: " + root.string());
    }
    return found;
}

} // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    std::size_t replayed = 0;
    try {
        for (int index = 1; index < argc; ++index) {
            for (const std::filesystem::path& path : inputs(argv[index])) {
                std::ifstream file(path, std::ios::binary);
                std::string bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
                if (!file.good() && !file.eof()) {
                    throw std::runtime_error("Cannot read " + path.string());
                }
                // Printed first, so that the input behind a crash is the last line shown.
                std::cout << "replaying " << path.string() << std::endl;
                LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                       bytes.size());
                ++replayed;
            }
        }
    } catch (const std::exception& failure) {
        std::cerr << failure.what() << "\n";
        return 1;
    }
    std::cout << replayed << " inputs replayed\n";
    return replayed > 0 ? 0 : 1;
}
