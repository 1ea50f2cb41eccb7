// What xcodebuild prints while it builds: the steps of a build in Xcode's layout, each with
// its command, written to standard output as they happen, with the pauses of the timing mode.
#pragma once

#include <string>
#include <vector>

namespace AppleSim {

class BuildLog {
public:
    /// `realistic` adds the pauses a real build takes.
    explicit BuildLog(bool realistic);

    /// One step: its title line "(in target 'T' from project 'P')", the cd line and commands.
    void step(const std::string& title, const std::string& target, const std::string& project,
              const std::string& directory, const std::vector<std::string>& commands,
              double realisticSeconds);
    /// Plain lines, printed as they are.
    void note(const std::string& text);
    /// `bytes` of build output, in large writes.
    void flood(std::uint64_t bytes, const std::string& directory);

private:
    void pause(double realisticSeconds);

    bool realistic_;
};

} // namespace AppleSim
