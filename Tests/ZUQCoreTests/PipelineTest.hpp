// A simulated Mac for the pipeline's tests: a fresh HOME whose Apple tools are the simulator's.
#pragma once

#include "JSON.hpp"
#include "Support.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class PipelineTest : public TestSupport::TemporaryDirectoryTest {
protected:
    void SetUp() override;

    /// Runs `apple-sim` with `arguments`, expects success and returns what it printed.
    JSON simulate(const std::vector<std::string>& arguments);

    /// Archives the sample workspace's SampleApp scheme (Release) into `work` and exports it
    /// with `method` ("release-testing", "debugging"), as zuq does; returns the IPA.
    std::filesystem::path exportSample(const std::filesystem::path& work,
                                       const std::string& method);

    /// Tools/AppleSim/SampleApp/SampleApp.xcworkspace in the source tree.
    static std::filesystem::path sampleWorkspace();

    /// A phone registered with the team of this Mac's simulator.
    static constexpr const char* registered = "00008130-0011223344556677";

private:
    std::unique_ptr<TestSupport::ScopedEnvironment> tools_;
};
