#include "SimulatorTest.hpp"

namespace fs = std::filesystem;

TestSupport::Output SimulatorTest::tool(const std::string& name,
                                        const std::vector<std::string>& arguments,
                                        const std::map<std::string, std::string>& environment) {
    return TestSupport::run(TestSupport::binaryDirectory() / "apple-tools" / name, arguments,
                            environment);
}

nlohmann::json SimulatorTest::control(const std::vector<std::string>& arguments) {
    TestSupport::Output output = TestSupport::run(TestSupport::binaryDirectory() / "apple-sim",
                                                  arguments);
    EXPECT_EQ(output.status, 0) << output.err;
    nlohmann::json result = nlohmann::json::parse(output.out, nullptr, false);
    EXPECT_FALSE(result.is_discarded()) << output.out;
    return result;
}

fs::path SimulatorTest::sample() {
    return fs::path(ZUQ_SOURCE_DIRECTORY) / "Tools" / "AppleSim" / "SampleApp";
}

fs::path SimulatorTest::inputs() {
    return fs::path(ZUQ_SOURCE_DIRECTORY) / "Tests" / "AppleSimTests" / "Projects";
}
