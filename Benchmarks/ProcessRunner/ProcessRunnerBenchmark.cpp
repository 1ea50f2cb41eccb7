// What running a tool through ProcessRunner::run costs: the start of a tool that does nothing,
// against a bare spawn, and the capture of a tool that prints 1 GiB (ZUQ_BENCH_BYTES), in time
// and in peak memory of this process, against the same tool redirected to a file by the shell.
#include "Platform/File.hpp"
#include "Platform/Process.hpp"
#include "ProcessRunner.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include <benchmark/benchmark.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::int64_t printedBytes() {
    const char* value = std::getenv("ZUQ_BENCH_BYTES");
    return value && *value ? std::atoll(value) : std::int64_t(1) << 30;
}

// This process's peak resident memory. (Children's figures would be meaningless: until its
// exec a spawned child shares, and is charged for, the parent's memory.)
double peakResidentMiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
#ifdef __APPLE__
    return static_cast<double>(usage.ru_maxrss) / (1024.0 * 1024.0); // bytes
#else
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // KiB
#endif
}

// A directory holding the printing tool and the shell's output file, removed at exit.
class Scratch {
public:
    Scratch() {
        std::string pattern =
            (Platform::temporaryDirectory() / "zuq-runner-benchmark-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            Platform::throwErrno("Cannot create", pattern);
        }
        directory = pattern;
        tool = directory / "printer";
        // Lines shaped like a build log, as an archive build prints them.
        Platform::atomicWrite(tool,
                              "#!/bin/sh\n"
                              "yes 'CompileC /Users/dev/App/Build/Intermediates.noindex/App.build/"
                              "Release-iphoneos/App.build/Objects-normal/arm64/View.o View.m "
                              "normal arm64 objective-c com.apple.compilers.llvm.clang.1_0' |"
                              " head -c \"$1\"\n",
                              0755);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }

    fs::path directory;
    fs::path tool;
};

Scratch& scratch() {
    static Scratch shared;
    return shared;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        entries.emplace_back(*entry);
    }
    return entries;
}

void reportMemory(benchmark::State& state) {
    state.counters["peak_rss_MiB"] = peakResidentMiB();
}

void BM_BareSpawnTrue(benchmark::State& state) {
    Platform::SpawnRequest request{"/bin/true", {}, currentEnvironment(), std::nullopt};
    for (auto _ : state) {
        benchmark::DoNotOptimize(Platform::ChildProcess::spawn(request).reap());
    }
}

void BM_RunTrue(benchmark::State& state) {
    for (auto _ : state) {
        ProcessResult result = ProcessRunner::run("/bin/true", {}, std::nullopt, std::nullopt, 60,
                                                  std::nullopt, ProcessRunner::Failure::raised);
        benchmark::DoNotOptimize(result);
    }
}

void BM_ShellRedirectToFile(benchmark::State& state) {
    fs::path output = scratch().directory / "redirected";
    std::string bytes = std::to_string(printedBytes());
    Platform::SpawnRequest request{
        "/bin/sh",
        {"-c", "\"$0\" \"$1\" > \"$2\"", scratch().tool.string(), bytes, output.string()},
        currentEnvironment(),
        std::nullopt};
    for (auto _ : state) {
        if (Platform::ChildProcess::spawn(request).reap() != 0) {
            state.SkipWithError("the shell failed");
            break;
        }
        state.PauseTiming();
        fs::remove(output);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * printedBytes());
    reportMemory(state);
}

void BM_RunCapture(benchmark::State& state, bool withLog) {
    fs::path log = scratch().directory / "transcript.log";
    std::optional<fs::path> logFile;
    if (withLog) {
        logFile = log;
    }
    std::string bytes = std::to_string(printedBytes());
    for (auto _ : state) {
        ProcessResult result =
            ProcessRunner::run(scratch().tool.string(), {bytes}, std::nullopt, logFile, 600,
                               std::nullopt, ProcessRunner::Failure::raised);
        benchmark::DoNotOptimize(result);
        state.PauseTiming();
        fs::remove(log);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * printedBytes());
    reportMemory(state);
}

// Registered in this order on purpose: peak resident memory only ever grows, so the capture
// runs after the rows it is compared with.
BENCHMARK(BM_BareSpawnTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RunTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShellRedirectToFile)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_RunCapture, Capture, false)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_RunCapture, CaptureWithLog, true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("Peak resident memory of this process: %.1f MiB (goal while capturing: under 64 "
                "MiB); printed per capture: %lld bytes\n",
                peakResidentMiB(), static_cast<long long>(printedBytes()));
    return 0;
}
