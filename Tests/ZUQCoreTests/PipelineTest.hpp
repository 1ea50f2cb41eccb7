// A simulated Mac for the pipeline's tests: a fresh HOME whose Apple tools are the simulator's.
#pragma once

#include "API.hpp"
#include "JSON.hpp"
#include "RelayProcess.hpp"
#include "Storage.hpp"
#include "Support.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

/// Whether a process has ended: gone, or a zombie nobody has reaped yet (an orphan waits for
/// whatever reaps orphans here, which is not the test).
bool processEnded(pid_t pid);

/// Flips one bit of the byte at `offset` in the file at `path`.
void flipByte(const std::filesystem::path& path, std::size_t offset);

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

/// Two simulated Macs of one group on a real relay: a builder with the sample project
/// registered and the phone in its team, and a receiver with the phone attached.
class JobTest : public PipelineTest {
protected:
    struct Mac {
        std::filesystem::path home, state;
        Credentials credentials;
        std::optional<API> api;
    };

    /// This Mac's HOME and state directory for the life of the value: its simulator world, its
    /// registry and its job directories.
    class As {
    public:
        explicit As(const Mac& mac);

    private:
        TestSupport::ScopedEnvironment home_, state_;
    };

    void SetUp() override;
    void TearDown() override;

    /// Submits a job for the sample's SampleApp scheme to the phone from the builder.
    JSON submit(const std::string& mode = "adhoc", const std::string& configuration = "Release",
                const std::string& scheme = "SampleApp");
    /// Claims the waiting job as `mac`; fails the test when there is none.
    API::Claim claim(Mac& mac);
    /// The relay's state of the job.
    std::string state(const std::string& id);
    /// The names in a directory, sorted; empty when it does not exist.
    static std::vector<std::string> names(const std::filesystem::path& directory);

    /// The project registered on the builder.
    Project project;
    Mac builder, receiver;
    static constexpr const char* phoneName = "Test iPhone";
    std::unique_ptr<TestSupport::RelayProcess> relay;
};
