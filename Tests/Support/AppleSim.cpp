#include "AppleSim.hpp"

namespace fs = std::filesystem;

namespace TestSupport {

fs::path appleTools() {
    return binaryDirectory() / "apple-tools";
}

fs::path sampleApp() {
    return fs::path(ZUQ_SOURCE_DIRECTORY) / "Tools/AppleSim/SampleApp";
}

std::string appleSim(const std::vector<std::string>& arguments) {
    Output output = run(binaryDirectory() / "apple-sim", arguments);
    std::string command;
    for (const auto& argument : arguments) {
        command += " " + argument;
    }
    EXPECT_EQ(output.status, 0) << "apple-sim" << command << ": " << output.err;
    return output.out;
}

void copySampleApp(const fs::path& destination) {
    fs::create_directories(destination.parent_path());
    fs::copy(sampleApp(), destination, fs::copy_options::recursive);
}

void SimulatedMacTest::SetUp() {
    TemporaryDirectoryTest::SetUp();
    tools_ = std::make_unique<ScopedEnvironment>("ZUQ_TOOLS_DIR", appleTools().string());
}

void SimulatedMacTest::TearDown() {
    tools_.reset();
    TemporaryDirectoryTest::TearDown();
}

} // namespace TestSupport
