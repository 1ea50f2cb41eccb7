// A stand-in for a zuq command that runs tools: forwards termination signals as zuq's main
// does, then runs each tool named on the command line in turn. Prints "returned" when every
// run has returned, and the message of any run that throws. With ZUQ_TEST_TOOL_RECORDS set,
// records its tools in that directory, as the agent does.
#include "ProcessRunner.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>

int main(int argc, char** argv) {
    ProcessRunner::forwardTerminationSignals();
    std::optional<ProcessRunner::ToolRecords> records;
    if (const char* directory = std::getenv("ZUQ_TEST_TOOL_RECORDS")) {
        records.emplace(directory);
    }
    for (int i = 1; i < argc; ++i) {
        try {
            ProcessRunner::run(argv[i], {}, std::nullopt, std::nullopt, 600, std::nullopt,
                               ProcessRunner::Failure::allowed);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
        }
    }
    std::printf("returned\n");
    return 0;
}
