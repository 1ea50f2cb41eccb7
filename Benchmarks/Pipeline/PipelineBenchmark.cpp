// Times what zuq does itself around the Apple tools, on a builder and on a receiver, against
// the same passes made by standard tools over the same bytes, in one run, interleaved:
//
//   in a whole build and install as the agent runs them (tool time excluded by the timestamps
//   a shim around every tool records):
//     the IPA's digest for the manifest       against openssl dgst -sha256
//     pack and encrypt                         against cp, twice
//     upload, with its digest                  against openssl dgst -sha256 and curl -T
//     download, decrypt and unpack, with the
//     digests they check                       against curl -o, cp twice, openssl dgst twice
//   and each of those stages alone, in a process of its own, against its own pass.
//
//   pipeline-benchmark compare RELAY_URL BOOTSTRAP_FILE WORK_DIRECTORY RUNS SIZE...
//   pipeline-benchmark pipeline build|install CREDENTIALS CLAIM      (internal)
//   pipeline-benchmark stage NAME ARGUMENTS...                       (internal)
//
// SIZE is what `apple-sim next-build payload` takes (200M, 1G): incompressible resources the
// app carries. The simulator's tools must be in apple-tools beside this program.
#include "Comparison.hpp"
#include "Stages.hpp"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        if (arguments.size() == 4 && arguments[0] == "pipeline") {
            return Stages::pipeline(arguments[1], arguments[2], arguments[3]);
        }
        if (arguments.size() >= 2 && arguments[0] == "stage") {
            return Stages::stage({arguments.begin() + 1, arguments.end()});
        }
        if (arguments.size() >= 6 && arguments[0] == "compare") {
            std::vector<std::string> sizes(arguments.begin() + 5, arguments.end());
            int runs = std::stoi(arguments[4]);
            Comparison comparison(arguments[1], arguments[2], arguments[3]);
            comparison.setUp();
            for (int run = 0; run < runs; ++run) {
                for (const std::string& size : sizes) {
                    std::fprintf(stderr, "run %d of %d, payload %s\n", run + 1, runs, size.c_str());
                    comparison.round(size, run % 2 == 1);
                }
            }
            return comparison.report(sizes) ? 0 : 3;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: pipeline-benchmark compare RELAY_URL BOOTSTRAP_FILE WORK RUNS SIZE...\n");
    return 2;
}
