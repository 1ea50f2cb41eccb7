// What every fuzz target shares: the entry points that libFuzzer calls (or, in builds without
// libFuzzer, the replay program), and the checks that stop a run at the first broken property,
// saying which.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace Fuzz {

[[noreturn]] inline void broken(const char* property, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, property);
    std::abort();
}

/// The input as text.
inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

/// A directory of this process's own under the temporary directory, made at first use and
/// removed at exit: where targets that read files put their inputs.
const std::filesystem::path& scratch();

} // namespace Fuzz

/// Aborts with the failed condition unless it holds; a crash is what a fuzzer reports.
#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? static_cast<void>(0) : ::Fuzz::broken(#condition, __FILE__, __LINE__))
