// xcrun: finds and runs the selected Xcode's developer tools. The simulator's Xcode has two:
// xcodebuild and devicectl.
#include "Tools.hpp"

#include "Devicectl.hpp"
#include "Failure.hpp"
#include "Options.hpp"
#include "World.hpp"
#include "Xcode.hpp"
#include "Xcodebuild.hpp"

#include <iostream>

namespace AppleSim {

namespace {

// devicectl came with Xcode 15.
bool provides(const WorldState& world, const std::string& tool) {
    if (!world.xcode) {
        return false;
    }
    if (tool == "devicectl") {
        return Xcode::atLeast(*world.xcode, 15);
    }
    return tool == "xcodebuild";
}

// xcrun's refusal, exit 72. For a tool the simulated Mac merely lacks (devicectl with only the
// Command Line Tools or an Xcode before 15) that one line is all; for anything else a second
// line says the simulator does not play it at all.
ToolFailure notFound(const std::string& tool, const std::vector<std::string>& arguments) {
    std::string message =
        "xcrun: error: unable to find utility \"" + tool + "\", not a developer tool or in PATH";
    if (tool != "devicectl") {
        message += "\napple-sim: `xcrun " + joinWords(arguments) + "` is not simulated on this Mac";
    }
    return ToolFailure(message, 72);
}

} // namespace

int xcrun(const std::vector<std::string>& arguments) {
    std::size_t index = 0;
    // SDK and toolchain choices do not change which tool runs here.
    while (index + 1 < arguments.size() &&
           (arguments[index] == "--sdk" || arguments[index] == "-sdk" ||
            arguments[index] == "--toolchain" || arguments[index] == "-toolchain")) {
        index += 2;
    }
    if (index >= arguments.size()) {
        throw ToolFailure("Usage: xcrun [options] <tool name> ... arguments ...", 64);
    }
    const std::string& tool = arguments[index];
    std::vector<std::string> rest(arguments.begin() + static_cast<long>(index) + 1,
                                  arguments.end());
    if (tool == "--version" || tool == "-version") {
        std::cout << "xcrun version 70.\n";
        return 0;
    }
    WorldState world = World::read();
    if (tool == "--find" || tool == "-f" || tool == "-find") {
        if (rest.size() != 1) {
            throw ToolFailure("Usage: xcrun --find <tool name>", 64);
        }
        if (!provides(world, rest[0])) {
            throw notFound(rest[0], arguments);
        }
        std::cout << Xcode::developerDirectory << "/usr/bin/" << rest[0] << "\n";
        return 0;
    }
    if (tool == "xcodebuild") {
        return xcodebuild(rest);
    }
    if (tool == "devicectl" && provides(world, tool)) {
        return devicectl(rest);
    }
    throw notFound(tool, arguments);
}

} // namespace AppleSim
