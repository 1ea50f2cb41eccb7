// The entry points of the simulated tools, each given the words after its name and returning
// its exit status. Failures are thrown as ToolFailure and printed by main.
#pragma once

#include <string>
#include <vector>

namespace AppleSim {

int xcrun(const std::vector<std::string>& arguments);
int xcodebuild(const std::vector<std::string>& arguments);
int devicectl(const std::vector<std::string>& arguments);
int codesign(const std::vector<std::string>& arguments);
int security(const std::vector<std::string>& arguments);
int ditto(const std::vector<std::string>& arguments);
int launchctl(const std::vector<std::string>& arguments);
int caffeinate(const std::vector<std::string>& arguments);
/// The supervisor of a login agent (started by launchctl as apple-sim-launchd LABEL).
int launchdSupervisor(const std::vector<std::string>& arguments);
int control(const std::vector<std::string>& arguments);
/// A compiler helper of a hung build (started as swift-frontend).
int compilerHelper(const std::vector<std::string>& arguments);

} // namespace AppleSim
