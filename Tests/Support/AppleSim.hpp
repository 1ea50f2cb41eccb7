// The Apple tool simulator as tests use it: one simulated Mac is one HOME.
#pragma once

#include "Support.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace TestSupport {

/// build/bin/apple-tools: what ZUQ_TOOLS_DIR names to run zuq against the simulator.
std::filesystem::path appleTools();

/// Tools/AppleSim/SampleApp in the source tree: SampleApp.xcworkspace, and
/// SampleApp/SampleApp.xcodeproj inside it.
std::filesystem::path sampleApp();

/// Runs build/bin/apple-sim with `arguments` for the Mac whose HOME is the current one, and
/// fails the test when it does not succeed. Returns what it printed.
std::string appleSim(const std::vector<std::string>& arguments);

/// Copies the sample app to `destination` (a new folder) so that a test may change it.
void copySampleApp(const std::filesystem::path& destination);

/// A TemporaryDirectoryTest whose HOME is a simulated Mac: ZUQ_TOOLS_DIR names the
/// simulator's tools for the life of the test.
class SimulatedMacTest : public TemporaryDirectoryTest {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    std::unique_ptr<ScopedEnvironment> tools_;
};

} // namespace TestSupport
