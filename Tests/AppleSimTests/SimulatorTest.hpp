// A test with its own simulated Mac (a fresh HOME), and ways to run the simulator's tools in it.
#pragma once

#include "Support.hpp"

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class SimulatorTest : public TestSupport::TemporaryDirectoryTest {
protected:
    /// Runs a tool from build/bin/apple-tools (xcrun, codesign, ...) in this test's HOME.
    TestSupport::Output tool(const std::string& name, const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>& environment = {});

    /// Runs `apple-sim` with `arguments`, expects success and returns the JSON it printed.
    nlohmann::json control(const std::vector<std::string>& arguments);

    /// Tools/AppleSim/SampleApp and Tests/AppleSimTests/Projects in the source tree.
    static std::filesystem::path sample();
    static std::filesystem::path inputs();
};
