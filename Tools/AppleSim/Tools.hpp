// The entry points of the simulated tools, each given the words after its name and returning
// its exit status. Failures are thrown as ToolFailure and printed by main.
#pragma once

#include <string>
#include <vector>

namespace AppleSim {

int xcrun(const std::vector<std::string>& arguments);
int xcodebuild(const std::vector<std::string>& arguments);
int devicectl(const std::vector<std::string>& arguments);
int control(const std::vector<std::string>& arguments);

} // namespace AppleSim
