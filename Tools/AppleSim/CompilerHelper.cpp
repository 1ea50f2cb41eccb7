// The compiler processes a hung build starts. They run in the build's process group and write
// to its log. One whose build is killed without it keeps going for a minute, as an orphaned
// compiler finishing its file would, so a caller that signals only the build leaves it behind.
#include "Tools.hpp"

#include "Failure.hpp"
#include "Processes.hpp"

#include <chrono>
#include <csignal>
#include <thread>
#include <unistd.h>

namespace AppleSim {

int compilerHelper(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2 || arguments[arguments.size() - 2] != "--apple-sim-helper") {
        throw ToolFailure("apple-sim: swift-frontend is only simulated as the helper of a hung "
                          "build",
                          64);
    }
    if (arguments.back() == "ignore-term") {
        std::signal(SIGTERM, SIG_IGN);
    }
    Processes::remember("swift-frontend");
    pid_t parent = ::getppid();
    while (::getppid() == parent) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::seconds(60));
    Processes::forget(::getpid());
    return 0;
}

} // namespace AppleSim
