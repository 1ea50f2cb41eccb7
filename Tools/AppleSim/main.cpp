// One program plays every simulated tool: it acts on the name it was started under
// (build/bin/apple-tools/xcrun is a link to it), and is the control command as apple-sim.
#include "Failure.hpp"
#include "Tools.hpp"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

struct Tool {
    const char* name;
    int (*run)(const std::vector<std::string>& arguments);
};

const Tool tools[] = {
    {"apple-sim", AppleSim::control},
    {"xcrun", AppleSim::xcrun},
    {"xcodebuild", AppleSim::xcodebuild},
    {"codesign", AppleSim::codesign},
    {"security", AppleSim::security},
    {"ditto", AppleSim::ditto},
    {"launchctl", AppleSim::launchctl},
    {"caffeinate", AppleSim::caffeinate},
    {"apple-sim-launchd", AppleSim::launchdSupervisor},
    {"swift-frontend", AppleSim::compilerHelper},
};

void report(bool control, const std::string& message) {
    if (control) {
        nlohmann::json error = {{"error", message}};
        std::cerr << error.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    } else {
        std::cerr << message << (message.empty() || message.back() != '\n' ? "\n" : "");
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string path = argc > 0 ? argv[0] : "apple-sim";
    std::string name = path.substr(path.find_last_of('/') + 1);
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    for (const Tool& tool : tools) {
        if (name != tool.name) {
            continue;
        }
        bool control = std::strcmp(tool.name, "apple-sim") == 0;
        try {
            int status = tool.run(arguments);
            std::cout.flush();
            return status;
        } catch (const AppleSim::ToolFailure& failure) {
            std::cout.flush();
            report(control, failure.what());
            return failure.status();
        } catch (const std::exception& failure) {
            std::cout.flush();
            report(control, std::string(control ? "" : "apple-sim: ") + failure.what());
            return 1;
        }
    }
    std::cerr << "apple-sim: started as '" << name
              << "', which is none of the tools it simulates\n";
    return 64;
}
