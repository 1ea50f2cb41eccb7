// JSON as Apple's tools print it (Foundation's pretty printer): two-space indentation,
// `"key" : value`, keys in sorted order, slashes escaped as \/.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace AppleSim {

/// `value` printed the way xcodebuild and devicectl print their JSON, with a final line feed.
std::string appleJSON(const nlohmann::json& value);

} // namespace AppleSim
